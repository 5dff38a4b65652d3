// The JSON writer and its string escaper.
// Date-times carry the UTC offset of their local time; the test fixes the zone.
// ctest-property: ENVIRONMENT TZ=Europe/Berlin
#include "json.h"

#include "dict.h"
#include "error.h"
#include "win.h"

#include <unknwn.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <cstring>
#include <functional>
#include <random>
#include <string>

namespace {

// ---------------------------------------------------------------------------------------------
// A strict reader (RFC 8259) that checks the writer's output and gives strings back as UTF-8.

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}
  // True when the whole text is one JSON value (surrounding white space allowed).
  bool Valid() {
    pos_ = 0;
    Space();
    if (!ValueAt()) return false;
    Space();
    return pos_ == s_.size();
  }
  // Decodes one JSON string that is the whole text.
  bool DecodeString(std::string* out) {
    pos_ = 0;
    return String(out) && pos_ == s_.size();
  }

 private:
  void Space() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) ++pos_;
  }
  bool Literal(const char* word) {
    size_t n = strlen(word);
    if (s_.compare(pos_, n, word) != 0) return false;
    pos_ += n;
    return true;
  }
  bool Digits() {
    size_t start = pos_;
    while (pos_ < s_.size() && isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    return pos_ > start;
  }
  bool Number() {
    if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
    if (pos_ < s_.size() && s_[pos_] == '0') {
      ++pos_;
    } else if (!Digits()) {
      return false;
    }
    if (pos_ < s_.size() && s_[pos_] == '.') {
      ++pos_;
      if (!Digits()) return false;
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      if (!Digits()) return false;
    }
    return true;
  }
  bool Hex4(uint32_t* unit) {
    if (pos_ + 4 > s_.size()) return false;
    *unit = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s_[pos_++];
      if (!isxdigit(static_cast<unsigned char>(c))) return false;
      *unit = *unit * 16 + uint32_t(isdigit(static_cast<unsigned char>(c)) ? c - '0' : (tolower(c) - 'a' + 10));
    }
    return true;
  }
  static void PutUtf8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
      *out += char(cp);
    } else if (cp < 0x800) {
      *out += char(0xC0 | cp >> 6);
      *out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out += char(0xE0 | cp >> 12);
      *out += char(0x80 | (cp >> 6 & 0x3F));
      *out += char(0x80 | (cp & 0x3F));
    } else {
      *out += char(0xF0 | cp >> 18);
      *out += char(0x80 | (cp >> 12 & 0x3F));
      *out += char(0x80 | (cp >> 6 & 0x3F));
      *out += char(0x80 | (cp & 0x3F));
    }
  }
  bool String(std::string* out) {
    if (pos_ >= s_.size() || s_[pos_] != '"') return false;
    ++pos_;
    while (pos_ < s_.size()) {
      unsigned char c = static_cast<unsigned char>(s_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c >= 0x80) return false;  // this writer promises pure ASCII
      if (c != '\\') {
        if (out) *out += char(c);
        continue;
      }
      if (pos_ >= s_.size()) return false;
      char e = s_[pos_++];
      const char* simple = strchr("\"\\/bfnrt", e);
      if (e && simple) {
        static const char kMap[] = "\"\\/\b\f\n\r\t";
        if (out) *out += kMap[simple - "\"\\/bfnrt"];
        continue;
      }
      if (e != 'u') return false;
      uint32_t unit;
      if (!Hex4(&unit)) return false;
      // A lone surrogate is legal JSON syntax but no text; the writer must never emit one.
      if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        uint32_t low;
        if (!Literal("\\u") || !Hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      }
      if (out) PutUtf8(out, unit);
    }
    return false;
  }
  bool ValueAt() {
    if (pos_ >= s_.size()) return false;
    char c = s_[pos_];
    if (c == '{') {
      ++pos_;
      Space();
      if (pos_ < s_.size() && s_[pos_] == '}') return ++pos_, true;
      for (;;) {
        Space();
        if (!String(nullptr)) return false;
        Space();
        if (!Literal(":")) return false;
        Space();
        if (!ValueAt()) return false;
        Space();
        if (Literal("}")) return true;
        if (!Literal(",")) return false;
      }
    }
    if (c == '[') {
      ++pos_;
      Space();
      if (pos_ < s_.size() && s_[pos_] == ']') return ++pos_, true;
      for (;;) {
        Space();
        if (!ValueAt()) return false;
        Space();
        if (Literal("]")) return true;
        if (!Literal(",")) return false;
      }
    }
    if (c == '"') return String(nullptr);
    if (c == 't') return Literal("true");
    if (c == 'f') return Literal("false");
    if (c == 'n') return Literal("null");
    return Number();
  }

  const std::string& s_;
  size_t pos_ = 0;
};

bool IsValidJson(const std::string& text) { return JsonReader(text).Valid(); }

std::string Json(const Value& v, bool compact = true, bool wrap = false) {
  Str out;
  Str error;
  EXPECT_TRUE(ValueToJson(out, v, compact, wrap, &error)) << error.c_str();
  std::string text(out.c_str(), out.Length());
  EXPECT_TRUE(IsValidJson(text)) << text;
  return text;
}

// The escaped form of one text, written as a JSON string.
std::string Escaped(const std::string& text, std::string* error = nullptr) {
  JsonWriter writer;
  bool ok = writer.WriteString(text.data(), text.size());
  if (error) *error = writer.Error().c_str();
  Str out = writer.Finish();
  EXPECT_EQ(ok, !writer.Failed());
  return std::string(out.c_str(), out.Length());
}

// ---------------------------------------------------------------------------------------------
// The escaper

TEST(JsonEscaper, Outputs) {
  struct Case {
    std::string in;
    const char* out;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"plain text 123", R"("plain text 123")"},
      {"\tA\"", R"("\tA\"")"},
      {"back\\slash", R"("back\\slash")"},
      {"\b\f\n\r", R"("\b\f\n\r")"},
      {"\x01", R"("\u0001")"},
      {"\x1f", R"("\u001f")"},
      {std::string("a\0b", 3), R"("a\u0000b")"},  // counted text: an inner zero byte is kept
      {"\x7f/", "\"\x7f/\""},                     // DEL and the slash need no escape
      {"\xC3\xA9", R"("\u00e9")"},                // U+00E9
      {"caf\xC3\xA9!", R"("caf\u00e9!")"},
      {"\xE2\x82\xAC", R"("\u20ac")"},            // U+20AC
      {"\xEF\xBF\xBF", R"("\uffff")"},            // U+FFFF, the last one-unit code point
      {"\xF0\x9F\x98\x80", R"("\ud83d\ude00")"},  // U+1F600 as a surrogate pair
      {"\xF4\x8F\xBF\xBF", R"("\udbff\udfff")"},  // U+10FFFF
      {"\xF0\x90\x80\x80", R"("\ud800\udc00")"},  // U+10000
  };
  for (const Case& c : cases) {
    std::string error;
    std::string out = Escaped(c.in, &error);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(error, "");
    std::string decoded;
    EXPECT_TRUE(JsonReader(out).DecodeString(&decoded)) << out;
    EXPECT_EQ(decoded, c.in);
  }
}

TEST(JsonEscaper, IllFormedUtf8FailsWithItsMessage) {
  struct Case {
    std::string in;
    const char* error;
  };
  const Case cases[] = {
      {"\xC0\x80", "invalid utf-8 character (encoding length)"},           // overlong NUL
      {"\xE0\x80\xAF", "invalid utf-8 character (encoding length)"},       // overlong '/'
      {"\xF0\x8F\xBF\xBF", "invalid utf-8 character (encoding length)"},  // overlong U+FFFF
      {"\xED\xA0\x80", "invalid utf-8 character (invalid code point, surrogate halves)"},
      {"\xED\xBF\xBF", "invalid utf-8 character (invalid code point, surrogate halves)"},
      {"\xF4\x90\x80\x80", "invalid utf-8 character (not in unicode range)"},
      {"\xF7\xBF\xBF\xBF", "invalid utf-8 character (not in unicode range)"},
      {"\xF8\x88\x80\x80\x80", "invalid utf-8 character"},  // five-byte form
      {"\xFC\x84\x80\x80\x80\x80", "invalid utf-8 character"},
      // Stray bytes: continuation bytes without a lead, leads without their continuations.
      {"\x80", "invalid utf-8 character"},
      {"ok\xBF", "invalid utf-8 character"},
      {"\xC3" "A", "invalid utf-8 character"},
      {"\xC3", "invalid utf-8 character"},                   // cut by the end of the text
      {"\xE2\x82", "invalid utf-8 character"},
      {"\xC3\xA9\xA9", "invalid utf-8 character"},           // one continuation too many
      {"\xFF", "invalid utf-8 character"},
      {"\xFE", "invalid utf-8 character"},
  };
  for (const Case& c : cases) {
    std::string error;
    Escaped(c.in, &error);
    EXPECT_EQ(error, c.error) << testing::PrintToString(c.in);

    // Through ValueToJson: an empty result, the message, and the thread's error text.
    Dictionary d;
    d.Set("ok", Value(1));
    d.Set("bad", Value(Str(c.in.data(), c.in.size())));
    Str out("previous");
    Str message;
    ::SetLastError(0);
    EXPECT_FALSE(ValueToJson(out, Value(d), true, true, &message));
    EXPECT_EQ(::GetLastError(), ERROR_LIBRARY_TEXT);
    EXPECT_TRUE(out.IsEmpty());
    EXPECT_STREQ(message.c_str(), c.error);
    EXPECT_STREQ(GetErrorText(ERROR_LIBRARY_TEXT).c_str(), c.error);
  }
}

TEST(JsonEscaper, EveryCodePointRoundTrips) {
  // Each code point of every encoding length, as the writer's escape and back.
  std::string text;
  for (uint32_t cp = 1; cp < 0x110000; cp += (cp < 0x1000 ? 1 : 61)) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::string one;
    if (cp < 0x80) {
      one += char(cp);
    } else if (cp < 0x800) {
      one += char(0xC0 | cp >> 6);
      one += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      one += char(0xE0 | cp >> 12);
      one += char(0x80 | (cp >> 6 & 0x3F));
      one += char(0x80 | (cp & 0x3F));
    } else {
      one += char(0xF0 | cp >> 18);
      one += char(0x80 | (cp >> 12 & 0x3F));
      one += char(0x80 | (cp >> 6 & 0x3F));
      one += char(0x80 | (cp & 0x3F));
    }
    text += one;
  }
  std::string out = Escaped(text);
  std::string decoded;
  ASSERT_TRUE(JsonReader(out).DecodeString(&decoded));
  EXPECT_TRUE(decoded == text);
}

// ---------------------------------------------------------------------------------------------
// Values

TEST(JsonValues, Scalars) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    Value v;
    const char* json;
  };
  const Case cases[] = {
      {Value(), "null"},
      {Value::Bool(true), "true"},
      {Value::Bool(false), "false"},
      {Value(0), "0"},
      {Value(-42), "-42"},
      {Value((int64_t(1) << 55) - 1), "36028797018963967"},
      {Value(int64_t(1) << 55), "36028797018963968"},
      {Value(std::numeric_limits<int64_t>::min()), "-9223372036854775808"},
      {Value::Double(1.5), "1.5"},
      {Value::Double(0.0), "0"},
      {Value::Double(-0.0), "-0"},
      {Value::Double(1e300), "1e+300"},
      {Value::Double(1e-7), "1e-07"},
      {Value::Double(0.1), "0.1"},
      {Value::Double(123456789012345678.0), "1.23456789012346e+17"},
      // JSON has no NaN or infinity.
      {Value::Double(std::numeric_limits<double>::quiet_NaN()), "null"},
      {Value::Double(inf), "null"},
      {Value::Double(-inf), "null"},
      {Value("text"), R"("text")"},
      {Value(""), R"("")"},
      {Value::Bytes("ab", 2), "null"},
      {Value::AdoptWord(12), "null"},
  };
  for (const Case& c : cases) EXPECT_EQ(Json(c.v), c.json) << "tag " << c.v.Tag();
}

TEST(JsonValues, DateTimesCarryTheOffsetOfTheirLocalTime) {
  auto at = [](uint16_t year, uint8_t month, int16_t zoneByteBias) {
    DateTimeFields f{};
    f.year = year;
    f.month = month;
    f.day = 15;
    f.hour = 12;
    f.minute = 30;
    f.second = 5;
    f.millisecond = 7;
    f.bias = zoneByteBias;  // not used by the writer
    return Value::DateTime(f);
  };
  // Europe/Berlin: +02:00 in summer, +01:00 in winter.
  EXPECT_EQ(Json(at(2024, 7, 0)), R"("2024-07-15T12:30:05.007+02:00")");
  EXPECT_EQ(Json(at(2024, 1, 0)), R"("2024-01-15T12:30:05.007+01:00")");
  EXPECT_EQ(Json(at(2024, 1, 300)), R"("2024-01-15T12:30:05.007+01:00")");
}

TEST(JsonValues, WrapFlag) {
  Dictionary d;
  d.Set("a", Value(1));
  ValueArray a;
  a.Append(Value(1));
  struct Case {
    Value v;
    const char* wrapped;
  };
  const Case cases[] = {
      {Value(42), "[42]"},
      {Value("x"), R"(["x"])"},
      {Value(), "[null]"},
      {Value(d), R"({"a":1})"},
      {Value(a), "[1]"},
      {Value(Dictionary()), "{}"},
      {Value(ValueArray()), "[]"},
  };
  for (const Case& c : cases) EXPECT_EQ(Json(c.v, true, true), c.wrapped);
}

Value SampleRecord() {
  Dictionary inner;
  inner.Set("lockname", Value("Str s_modulename"));
  inner.Set("ms", Value(301));
  ValueArray list;
  list.Append(Value(1));
  list.Append(Value("two"));
  Dictionary element;
  element.Set("x", Value::Bool(true));
  list.Append(Value(element));
  Dictionary d;
  d.Set("message", Value("Lock held too long"));
  d.Set("qelgui", Value(inner));
  d.Set("list", Value(list));
  d.Set("", Value("left out"));
  d.Set("processid", Value(1234));
  return Value(d);
}

TEST(JsonValues, ObjectsInInsertionOrder) {
  EXPECT_EQ(Json(SampleRecord()),
            R"({"message":"Lock held too long","qelgui":{"lockname":"Str s_modulename","ms":301},)"
            R"("list":[1,"two",{"x":true}],"processid":1234})");
}

TEST(JsonValues, NonCompactPutsContainerMembersOnTheirOwnLines) {
  EXPECT_EQ(Json(SampleRecord(), false),
            "{\"message\":\"Lock held too long\",\r\n \"qelgui\":{\"lockname\":\"Str s_modulename\",\"ms\":301},"
            "\r\n \"list\":[1,\"two\",{\"x\":true}],\"processid\":1234}");
}

TEST(JsonValues, KeysAreEscaped) {
  Dictionary d;
  d.Set("quote\"key", Value(1));
  d.Set("caf\xC3\xA9", Value(2));
  EXPECT_EQ(Json(Value(d)), R"({"quote\"key":1,"caf\u00e9":2})");
}

TEST(JsonValues, MembersWithoutANameAreLeftOut) {
  Dictionary d;
  d.Set("", Value(1));
  d.Set("b", Value(2));
  EXPECT_EQ(Json(Value(d)), R"({"b":2})");
  Dictionary only;
  only.Set("", Value(1));
  EXPECT_EQ(Json(Value(only)), "{}");
}

class NoInterface : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

TEST(JsonValues, InterfaceValuesFailTheWriter) {
  NoInterface object;
  ValueArray a;
  a.Append(Value(1));
  a.Append(Value::Interface(&object));
  Str out("previous");
  Str error;
  EXPECT_FALSE(ValueToJson(out, Value(a), true, true, &error));
  EXPECT_TRUE(out.IsEmpty());
  EXPECT_STREQ(error.c_str(), "unsupported value (IUnknown)");
  EXPECT_EQ(::GetLastError(), ERROR_LIBRARY_TEXT);
}

TEST(JsonWriterTest, ObjectWithATypeName) {
  JsonWriter writer;
  ASSERT_TRUE(writer.OpenObject("EventRecord"));
  ASSERT_TRUE(writer.WriteRaw(",", 1));
  ASSERT_TRUE(writer.WriteMember("id", 2, Value("QELGUI-00001")));
  ASSERT_TRUE(writer.WriteRaw("}", 1));
  Str out = writer.Finish();
  EXPECT_STREQ(out.c_str(), R"({ "_":"EventRecord","id":"QELGUI-00001"})");
  EXPECT_TRUE(IsValidJson(out.c_str()));
}

TEST(JsonWriterTest, ReusesOnlyAnUnsharedBuffer) {
  Str out;
  ASSERT_TRUE(ValueToJson(out, Value("first, a longer text"), true, false));
  const void* buffer = out.BufferIdentity();
  ASSERT_TRUE(ValueToJson(out, Value(7), true, false));
  EXPECT_EQ(out.BufferIdentity(), buffer);
  EXPECT_STREQ(out.c_str(), "7");
  EXPECT_EQ(out.Length(), 1u);

  Str kept = out;  // now shared: the writer must not write into it
  ASSERT_TRUE(ValueToJson(out, Value(123456), true, false));
  EXPECT_STREQ(kept.c_str(), "7");
  EXPECT_STREQ(out.c_str(), "123456");
}

TEST(JsonWriterTest, LongOutputGrowsCorrectly) {
  std::string big;
  for (int i = 0; i < 200000; ++i) big += char('a' + i % 26);
  big += "\xC3\xA9\n";
  Dictionary d;
  for (int i = 0; i < 300; ++i) d.Set(Str(("key" + std::to_string(i)).c_str()), Value(i));
  d.Set("big", Value(big.c_str()));
  Str out;
  ASSERT_TRUE(ValueToJson(out, Value(d), true, true));
  std::string text(out.c_str(), out.Length());
  EXPECT_EQ(text.size(), strlen(out.c_str()));
  EXPECT_TRUE(IsValidJson(text));
  EXPECT_NE(text.find(big.substr(0, 200000) + "\\u00e9\\n\"}"), std::string::npos);
}

// Random trees of every writable kind, checked by the strict reader.
TEST(JsonWriterTest, RandomTreesAreValidJson) {
  std::mt19937 random(12345);
  const char* pieces[] = {"a", "\"", "\\", "\x01", "\t", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", " ", "}"};
  auto randomText = [&]() {
    std::string s;
    int n = int(random() % 12);
    for (int i = 0; i < n; ++i) s += pieces[random() % 10];
    return s;
  };
  std::function<Value(int)> make = [&](int depth) -> Value {
    switch (random() % (depth > 3 ? 5 : 7)) {
      case 0: return Value(int64_t(random()) * (random() % 2 ? -1 : 1) << (random() % 40));
      case 1: return Value::Double(std::ldexp(double(random()), int(random() % 200) - 100));
      case 2: return Value::Bool(random() % 2);
      case 3: return Value(randomText().c_str());
      case 4: return Value();
      case 5: {
        Dictionary d;
        int n = int(random() % 6);
        for (int i = 0; i < n; ++i) d.Set(Str(randomText().c_str()), make(depth + 1));
        return Value(d);
      }
      default: {
        ValueArray a;
        int n = int(random() % 6);
        for (int i = 0; i < n; ++i) a.Append(make(depth + 1));
        return Value(a);
      }
    }
  };
  for (int round = 0; round < 300; ++round) {
    Value v = make(0);
    for (bool compact : {true, false}) {
      Str out;
      ASSERT_TRUE(ValueToJson(out, v, compact, true));
      std::string text(out.c_str(), out.Length());
      ASSERT_TRUE(IsValidJson(text)) << text;
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Block-wise escaping. The escaper checks and copies sixteen bytes at a time and takes short texts
// in one load where they lie in one page. Every length up to past two blocks, with a byte that
// needs an escape at every position, must come out exactly, also for a text that ends where an
// inaccessible page begins.

#include "pageedge.h"

namespace {

// The escape of one character, by the table of the escaper's contract.
std::string EscapeOf(const std::string& character) {
  static const char* const kTwo[] = {"\b\\b", "\t\\t", "\n\\n", "\f\\f", "\r\\r", "\"\\\"", "\\\\\\"};
  for (const char* pair : kTwo) {
    if (character[0] == pair[0]) return pair + 1;
  }
  if (character == "\x01") return "\\u0001";
  if (character == "\xC3\xA9") return "\\u00e9";
  if (character == "\xF0\x9F\x98\x80") return "\\ud83d\\ude00";
  return character;
}

}  // namespace

TEST(JsonEscaperBlocks, EveryLengthAndPositionEndingAtAnInaccessiblePage) {
  test::PageEdge edge;
  ASSERT_TRUE(edge.Ready());
  const std::string specials[] = {"\"", "\\", "\n", "\x01", "\xC3\xA9", "\xF0\x9F\x98\x80"};
  for (size_t n = 0; n <= 40; ++n) {
    for (size_t position = 0; position <= n; ++position) {  // position n: no special byte
      for (const std::string& special : specials) {
        std::string text, expected = "\"";
        for (size_t i = 0; i < n; ++i) {
          const std::string plain(1, static_cast<char>('A' + i % 26));
          const std::string& piece = i == position ? special : plain;
          text += piece;
          expected += EscapeOf(piece);
        }
        expected += "\"";
        const char* placed = edge.Place(text.data(), text.size());
        JsonWriter writer;
        ASSERT_TRUE(writer.WriteString(placed, text.size()));
        Str out = writer.Finish();
        ASSERT_EQ(std::string(out.c_str(), out.Length()), expected) << testing::PrintToString(text);

        // As a member's name, with the colon written behind it.
        JsonWriter member;
        ASSERT_TRUE(member.OpenObject() && member.WriteMember(placed, text.size(), Value(1)) &&
                    member.WriteRaw("}", 1));
        out = member.Finish();
        ASSERT_EQ(std::string(out.c_str(), out.Length()), "{" + expected + ":1}") << testing::PrintToString(text);
        if (position == n) break;  // the plain text once is enough
      }
    }
  }
}
