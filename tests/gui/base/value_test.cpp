// The Value word: encodings, lifetimes, accessors, display text and field lines.
#include "value.h"

#include "dict.h"
#include "childrun.h"
#include "win.h"

#include <unknwn.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

constexpr int64_t kTwo55 = int64_t(1) << 55;

std::string Text(const Value& v) {
  Str out("stale");
  EXPECT_TRUE(ValueToText(v, out));
  return out.c_str();
}

// ---------------------------------------------------------------------------------------------
// Encodings

TEST(ValueEncoding, Integers) {
  struct Case {
    int64_t v;
    bool inlined;
    const char* text;
  };
  const Case cases[] = {
      {0, true, "0"},
      {42, true, "42"},
      {-1, true, "-1"},
      {kTwo55 - 1, true, "36028797018963967"},
      {-kTwo55, true, "-36028797018963968"},
      {kTwo55, false, "36028797018963968"},
      {-kTwo55 - 1, false, "-36028797018963969"},
      {std::numeric_limits<int64_t>::max(), false, "9223372036854775807"},
      {std::numeric_limits<int64_t>::min(), false, "-9223372036854775808"},
  };
  for (const Case& c : cases) {
    Value v(c.v);
    EXPECT_EQ(v.Tag(), uint32_t(ValueInteger)) << c.text;
    EXPECT_EQ(v.OnHeap(), !c.inlined) << c.text;
    EXPECT_EQ(v.AsInteger(), c.v) << c.text;
    EXPECT_EQ(Text(v), c.text);
    if (c.inlined) {
      EXPECT_EQ(v.Word(), (uint64_t(c.v) << 8) | ValueInteger) << c.text;
    }
    Value copy = v;  // a boxed integer is shared, not re-boxed
    EXPECT_EQ(copy.Word(), v.Word());
    EXPECT_EQ(copy.AsInteger(), c.v);
  }
}

TEST(ValueEncoding, CountsAreAlwaysInline) {
  Value v(uint32_t(0xFFFFFFFFu));
  EXPECT_FALSE(v.OnHeap());
  EXPECT_EQ(v.AsInteger(), 0xFFFFFFFFll);
}

TEST(ValueEncoding, Doubles) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double d;
    bool inlined;
  };
  // Only bit patterns in the signed 56-bit range fit inline: +0.0 and tiny subnormals.
  const Case cases[] = {{0.0, true}, {5e-324, true}, {-0.0, false}, {1.5, false},
                        {-2.25, false}, {1e300, false}, {inf, false}, {nan, false}};
  for (const Case& c : cases) {
    Value v = Value::Double(c.d);
    EXPECT_EQ(v.Tag(), uint32_t(ValueDouble)) << c.d;
    EXPECT_EQ(v.OnHeap(), !c.inlined) << c.d;
    double back = v.AsDouble();
    if (std::isnan(c.d)) {
      EXPECT_TRUE(std::isnan(back));
    } else {
      EXPECT_EQ(back, c.d);
      EXPECT_EQ(std::signbit(back), std::signbit(c.d));
    }
  }
}

TEST(ValueEncoding, DateTimeFieldsSitInTheirBits) {
  DateTimeFields f{};
  f.year = 2024;
  f.month = 7;
  f.day = 15;
  f.hour = 13;
  f.minute = 5;
  f.second = 9;
  f.millisecond = 321;
  f.bias = -120;  // two hours east: 8 quarter hours, negative
  uint64_t packed = PackDateTime(f);
  EXPECT_EQ(packed & 0x3FF, 321u);
  EXPECT_EQ(packed >> 10 & 0x3F, 9u);
  EXPECT_EQ(packed >> 16 & 0x3F, 5u);
  EXPECT_EQ(packed >> 22 & 0x1F, 13u);
  EXPECT_EQ(packed >> 27 & 0x1F, 15u);
  EXPECT_EQ(packed >> 32 & 0xF, 7u);
  EXPECT_EQ(packed >> 36 & 0xFFF, 2024u);
  EXPECT_EQ(packed >> 48, 0x48u);

  Value v = Value::DateTime(f);
  EXPECT_EQ(v.Tag(), uint32_t(ValueDateTime));
  EXPECT_FALSE(v.OnHeap());
  EXPECT_EQ(v.Word(), packed << 8 | ValueDateTime);
  DateTimeFields back = v.AsDateTime();
  EXPECT_EQ(back.year, 2024);
  EXPECT_EQ(back.millisecond, 321);
  EXPECT_EQ(back.bias, -120);
  EXPECT_EQ(Text(v), "2024-07-15T13:05:09.321");
}

TEST(ValueEncoding, DateTimeOutOfRangeGivesTheEmptyValue) {
  auto with = [](auto change) {
    DateTimeFields f{};
    f.year = 2000;
    f.month = 1;
    f.day = 1;
    change(f);
    return Value::DateTime(f);
  };
  EXPECT_FALSE(with([](DateTimeFields&) {}).IsEmpty());
  EXPECT_TRUE(with([](DateTimeFields& f) { f.year = 4096; }).IsEmpty());
  EXPECT_TRUE(with([](DateTimeFields& f) { f.month = 13; }).IsEmpty());
  EXPECT_TRUE(with([](DateTimeFields& f) { f.month = 0; }).IsEmpty());
  EXPECT_TRUE(with([](DateTimeFields& f) { f.day = 32; }).IsEmpty());
  EXPECT_TRUE(with([](DateTimeFields& f) { f.hour = 24; }).IsEmpty());
  EXPECT_TRUE(with([](DateTimeFields& f) { f.millisecond = 1000; }).IsEmpty());
  EXPECT_TRUE(with([](DateTimeFields& f) { f.second = 60; }).IsEmpty());
}

TEST(ValueEncoding, BorrowedBoxesOfBooleansAndDateTimesAreRead) {
  static BoolBox boolBox = {{1}, 1};
  static DateTimeBox timeBox = {{1}, 0, 0, 0};
  DateTimeFields f{};
  f.year = 1999;
  f.month = 12;
  f.day = 31;
  f.hour = 23;
  uint64_t packed = PackDateTime(f);
  timeBox.time = uint32_t(packed);
  timeBox.date = uint16_t(packed >> 32);
  {
    Value b = Value::AdoptWord(MakeValuePointerWord(ValueBool, &boolBox));
    Value t = Value::AdoptWord(MakeValuePointerWord(ValueDateTime, &timeBox));
    Value copy = b;
    EXPECT_TRUE(b.AsBool());
    EXPECT_EQ(Text(t), "1999-12-31T23:00:00.000");
  }
  EXPECT_EQ(boolBox.ref.useCount, 1);  // never counted, never freed
  EXPECT_EQ(timeBox.ref.useCount, 1);
}

// ---------------------------------------------------------------------------------------------
// Lifetimes

TEST(ValueLifetime, TextSharesTheStrBuffer) {
  Str s("shared text");
  {
    Value a(s);
    EXPECT_EQ(s.UseCount(), 2);
    Value b = a;
    EXPECT_EQ(s.UseCount(), 3);
    b = b;  // self-assignment changes nothing
    EXPECT_EQ(s.UseCount(), 3);
    b = Value(1);
    EXPECT_EQ(s.UseCount(), 2);
    Value c = std::move(a);
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(s.UseCount(), 2);
    EXPECT_EQ(c.AsText().BufferIdentity(), s.BufferIdentity());
    c.Clear();
    EXPECT_EQ(c.Word(), 0u);
  }
  EXPECT_EQ(s.UseCount(), 1);
}

TEST(ValueLifetime, EmptyTextHasNoBuffer) {
  Value v("");
  EXPECT_EQ(v.Tag(), uint32_t(ValueText));
  EXPECT_FALSE(v.OnHeap());
  EXPECT_TRUE(v.AsText().IsEmpty());
}

class CountingObject : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
  ULONG STDMETHODCALLTYPE Release() override { return --count; }
  ULONG count = 1;
};

TEST(ValueLifetime, InterfacePointersUseSlotsOneAndTwo) {
  CountingObject object;
  {
    Value v = Value::Interface(&object);
    EXPECT_EQ(object.count, 2u);
    Value copy = v;
    EXPECT_EQ(object.count, 3u);
    // The formatter's %p form: "0x" and the pointer's hexadecimal digits.
    std::string text = Text(v);
    ASSERT_EQ(text.substr(0, 2), "0x");
    EXPECT_EQ(std::strtoull(text.c_str() + 2, nullptr, 16),
              uint64_t(reinterpret_cast<uintptr_t>(static_cast<IUnknown*>(&object))));
  }
  EXPECT_EQ(object.count, 1u);
  EXPECT_TRUE(Value::Interface(nullptr).IsEmpty());
}

struct TestList {
  ValueListObject header;
  bool* destroyed;
};

TEST(ValueLifetime, CollectionsAreReleasedAtZero) {
  bool destroyed = false;
  auto* list = static_cast<TestList*>(AllocParticle(sizeof(TestList)));
  list->header.useCount = 1;
  list->header.destroy = [](ValueListObject* self) {
    auto* l = reinterpret_cast<TestList*>(self);
    *l->destroyed = true;
    FreeParticle(sizeof(TestList), l);
  };
  list->header.count = [](const ValueListObject*) { return 3u; };
  list->destroyed = &destroyed;
  {
    Value v = Value::AdoptList(&list->header);
    Value copy = v;
    EXPECT_EQ(Text(copy), "[3 entries]");
  }
  EXPECT_TRUE(destroyed);

  Str row("row");
  ValueRecordSet* records = NewCounted<ValueRecordSet>();
  ASSERT_NE(records, nullptr);
  records->rows.Resize(4, 0);
  records->rows.Set(0, Value(row).Word());
  {
    Value v = Value::AdoptRecords(records);
    EXPECT_EQ(Text(v), "[1 entry]");
    EXPECT_EQ(row.UseCount(), 2);
  }
  EXPECT_EQ(row.UseCount(), 1);
}

// ---------------------------------------------------------------------------------------------
// Accessors and display text

TEST(ValueAccess, OnlyMatchingTagsAnswer) {
  Dictionary d;
  d.Set("k", Value(1));
  ValueArray a;
  a.Append(Value(2));
  const Value values[] = {Value(),          Value::Bool(true), Value(7),  Value::Double(2.5),
                          Value("1"),       Value(d),          Value(a),  Value::Bytes("ab", 2)};
  for (const Value& v : values) {
    uint32_t tag = v.Tag();
    EXPECT_EQ(v.AsBool(), tag == ValueBool) << tag;
    EXPECT_EQ(v.AsDouble(), tag == ValueInteger ? 7.0 : tag == ValueDouble ? 2.5 : 0.0) << tag;
    EXPECT_EQ(v.AsInteger(), tag == ValueInteger ? 7 : 0) << tag;
    EXPECT_EQ(v.AsDictionary().Record() != nullptr, tag == ValueDictionary) << tag;
    EXPECT_EQ(v.AsArray().Header() != nullptr, tag == ValueArrayTag) << tag;
    EXPECT_EQ(v.AsText().IsEmpty(), tag != ValueText) << tag;
    EXPECT_EQ(v.AsBytes().IsEmpty(), tag != ValueBytes) << tag;
  }
  EXPECT_FALSE(Value::Bool(false).AsBool());
}

TEST(ValueText, DisplayForms) {
  Dictionary one;
  one.Set("a", Value(1));
  Dictionary two = one;
  two.Set("", Value(2));  // an empty key still counts as an entry
  ValueArray three;
  for (int i = 0; i < 3; ++i) three.Append(Value(i));
  struct Case {
    Value v;
    const char* text;
  };
  const Case cases[] = {
      {Value(), ""},
      {Value::Bool(true), "true"},
      {Value::Bool(false), "false"},
      {Value(-12345), "-12345"},
      {Value::Double(1e300), "overflow"},
      {Value::Double(-1e17), "underflow"},
      {Value::Double(std::numeric_limits<double>::infinity()), "overflow"},
      {Value::Double(std::numeric_limits<double>::quiet_NaN()), "NaN"},
      {Value("plain text"), "plain text"},
      {Value(Dictionary()), "[0 entries]"},
      {Value(one), "[1 entry]"},
      {Value(two), "[2 entries]"},
      {Value(ValueArray()), "[0 entries]"},
      {Value(three), "[3 entries]"},
      {Value::Bytes("\0\1\2\3\4", 5), "[5 bytes]"},
      {Value::AdoptWord(12), "[unknown type 12]"},
      {Value::AdoptWord(127), "[unknown type 127]"},
  };
  for (const Case& c : cases) EXPECT_EQ(Text(c.v), c.text) << "tag " << c.v.Tag();
}

TEST(ValueText, DoublesUseTheLocaleDigits) {
  // en-US under Wine: two fractional digits.
  EXPECT_EQ(Text(Value::Double(2.5)), "2.50");
  EXPECT_EQ(Text(Value::Double(-0.126)), "-0.13");
}

TEST(ValueText, FieldLines) {
  Dictionary inner;
  inner.Set("lockname", Value("Str s_modulename"));
  inner.Set("threshold", Value(300));
  ValueArray list;
  list.Append(Value("first"));
  Dictionary nested;
  nested.Set("x", Value::Bool(true));
  list.Append(Value(nested));
  Dictionary fields;
  fields.Set("qelgui", Value(inner));
  fields.Set("args", Value(list));
  fields.Set("empty", Value(Dictionary()));
  fields.Set("command", Value("msiexec.exe"));

  Str out("QELGUI-00700: Lock held too long\n");
  ASSERT_TRUE(AppendValueLines(out, "", Value(fields)));
  EXPECT_STREQ(out.c_str(),
               "QELGUI-00700: Lock held too long\n"
               "qelgui.lockname: Str s_modulename\n"
               "qelgui.threshold: 300\n"
               "args[0]: first\n"
               "args[1].x: true\n"
               "command: msiexec.exe");

  Str more("message");
  ASSERT_TRUE(AppendValueLines(more, "processid", Value(42)));
  EXPECT_STREQ(more.c_str(), "message\nprocessid: 42");
}

// ---------------------------------------------------------------------------------------------
// Value arrays

TEST(ValueArrays, AppendAtLengthAndCopyOnWrite) {
  ValueArray a;
  EXPECT_FALSE(a.Set(1, Value(1)));  // beyond the end: nothing stored
  EXPECT_EQ(a.Length(), 0u);
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(a.Set(uint32_t(i), Value(i)));
  EXPECT_EQ(a.Length(), 30u);
  EXPECT_TRUE(a.Get(30).IsEmpty());

  Value held(a);
  ValueArray b = held.AsArray();
  EXPECT_EQ(b.BufferIdentity(), a.BufferIdentity());
  b.Set(0, Value("changed"));
  b.Append(Value(99));
  EXPECT_NE(b.BufferIdentity(), a.BufferIdentity());
  EXPECT_EQ(a.Get(0).AsInteger(), 0);
  EXPECT_EQ(held.Count(), 30u);
  EXPECT_STREQ(b.Get(0).AsText().c_str(), "changed");
  EXPECT_EQ(b.Length(), 31u);
}

// ---------------------------------------------------------------------------------------------
// Fatal misuse

constexpr wchar_t kChildFlag[] = L"CINDRAVALE_VALUE_TEST_CHILD";

TEST(ValueFatal, PointerOutsideThePayloadRange) {
  if (::GetEnvironmentVariableW(kChildFlag, nullptr, 0) != 0) {
    (void)MakeValuePointerWord(ValueText, reinterpret_cast<void*>(uintptr_t(1) << 60));
    std::exit(0);  // not reached when the check works
  }
  test::ChildResult child = test::RunTestInChild(L"ValueFatal.PointerOutsideThePayloadRange", kChildFlag);
  ASSERT_TRUE(child.started);
  EXPECT_EQ(child.exitCode, 3u);
  EXPECT_NE(child.debugOutput.find("not within supported range"), std::string::npos) << child.debugOutput;
}

}  // namespace
