// StrFormat, qelvsnprintf and qelvsnwprintf.
#include "format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

// The cases below pass deliberately odd formats and arguments; the compiler's printf checks
// would flag exactly what is being tested.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
#pragma GCC diagnostic ignored "-Wformat-zero-length"
#endif

namespace {

// An address that is never mapped: a caller's wild pointer.
const char* const kWild = reinterpret_cast<const char*>(0x10);
const wchar_t* const kWildW = reinterpret_cast<const wchar_t*>(0x10);

struct FormatCase {
  const char* name;
  bool (*call)(Str& out);
  const char* expected;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class StrFormatCases : public ::testing::TestWithParam<FormatCase> {};

TEST_P(StrFormatCases, GivesTheExpectedText) {
  Str out("previous");
  ASSERT_TRUE(GetParam().call(out));
  EXPECT_STREQ(out.c_str(), GetParam().expected);
}

const FormatCase kForms[] = {
    {"sequential", [](Str& s) { return StrFormat(s, "%s=%d;", "x", 5); }, "x=5;"},
    {"positional swap", [](Str& s) { return StrFormat(s, "%2$s-%1$s", "a", "b"); }, "b-a"},
    {"positional reuse", [](Str& s) { return StrFormat(s, "%1$s%1$s %2$d", "ab", 7); }, "abab 7"},
    {"positional gap reads the slot between", [](Str& s) { return StrFormat(s, "%3$d %1$d", 1, 2, 3); }, "3 1"},
    {"positional star width", [](Str& s) { return StrFormat(s, "%2$*1$d|", 5, 42); }, "   42|"},
    {"positional star precision", [](Str& s) { return StrFormat(s, "%2$.*1$f", 2, 3.14159); }, "3.14"},
    {"no directives", [](Str& s) { return StrFormat(s, "plain text"); }, "plain text"},
    {"empty format", [](Str& s) { return StrFormat(s, ""); }, ""},
};
INSTANTIATE_TEST_SUITE_P(Forms, StrFormatCases, ::testing::ValuesIn(kForms));

const FormatCase kWidths[] = {
    {"star width", [](Str& s) { return StrFormat(s, "%*d", 5, 42); }, "   42"},
    {"left aligned", [](Str& s) { return StrFormat(s, "%-5d|", 42); }, "42   |"},
    {"negative star width aligns left", [](Str& s) { return StrFormat(s, "%*d|", -5, 42); }, "42   |"},
    {"star precision", [](Str& s) { return StrFormat(s, "%.*f", 2, 3.14159); }, "3.14"},
    {"negative star precision is none", [](Str& s) { return StrFormat(s, "%.*s", -1, "abc"); }, "abc"},
    {"star width and precision", [](Str& s) { return StrFormat(s, "%-*.*s|", 6, 2, "abcdef"); }, "ab    |"},
    {"precision cuts text", [](Str& s) { return StrFormat(s, "%.2s", "abcdef"); }, "ab"},
    {"zero padding", [](Str& s) { return StrFormat(s, "%08X", 0xBEEFu); }, "0000BEEF"},
    {"plus flag", [](Str& s) { return StrFormat(s, "%+d", 3); }, "+3"},
    {"alternate hex", [](Str& s) { return StrFormat(s, "%#x", 255u); }, "0xff"},
    {"float width", [](Str& s) { return StrFormat(s, "%6.2f", 3.14159); }, "  3.14"},
    // The Microsoft runtime's rules where Wine's differs (see FormatLayouts below).
    {"zero flag ignored beside a precision", [](Str& s) { return StrFormat(s, "[%06.3d|%+08.0d]", 42, 0); },
     "[   042|       +]"},
    {"precision on a character has no effect", [](Str& s) { return StrFormat(s, "[%3.0c|%-2.c]", 'x', 'y'); },
     "[  x|y ]"},
    {"width beyond the limit", [](Str& s) { return StrFormat(s, "[%*d]", kMaxFormatWidth + 1, 1); }, "[(error)]"},
};
INSTANTIATE_TEST_SUITE_P(Widths, StrFormatCases, ::testing::ValuesIn(kWidths));

const FormatCase kSlots[] = {
    {"negative int", [](Str& s) { return StrFormat(s, "%d", -1); }, "-1"},
    {"int reads the low half of the slot", [](Str& s) { return StrFormat(s, "%u", uint64_t{0x100000005}); }, "5"},
    {"I64d minimum", [](Str& s) { return StrFormat(s, "%I64d", INT64_MIN); }, "-9223372036854775808"},
    {"lld", [](Str& s) { return StrFormat(s, "%lld", 0x123456789LL); }, "4886718345"},
    {"llu maximum", [](Str& s) { return StrFormat(s, "%llu", UINT64_MAX); }, "18446744073709551615"},
    {"I64X", [](Str& s) { return StrFormat(s, "%I64X", 0xABCDEF0123ull); }, "ABCDEF0123"},
    {"zu", [](Str& s) { return StrFormat(s, "%zu", size_t{1} << 40); }, "1099511627776"},
    {"I alone is pointer sized", [](Str& s) { return StrFormat(s, "%Iu|%d", size_t{1} << 33, 4); }, "8589934592|4"},
    {"I32", [](Str& s) { return StrFormat(s, "%I32d", -7); }, "-7"},
    {"32 and 64 bit mixed", [](Str& s) { return StrFormat(s, "%d %I64d %d", 1, int64_t{1} << 40, 3); },
     "1 1099511627776 3"},
    {"hex", [](Str& s) { return StrFormat(s, "%x %X", 0xDEADBEEFu, 0xDEADBEEFu); }, "deadbeef DEADBEEF"},
    {"octal", [](Str& s) { return StrFormat(s, "%o", 8u); }, "10"},
    {"h narrows without width", [](Str& s) { return StrFormat(s, "%hd", 70000); }, "4464"},
    {"h narrows with width", [](Str& s) { return StrFormat(s, "%5hd", 70000); }, " 4464"},
    {"hhd taken as h", [](Str& s) { return StrFormat(s, "%hhd", 300); }, "300"},
    {"char", [](Str& s) { return StrFormat(s, "%c%c", 'o', 'k'); }, "ok"},
    {"double", [](Str& s) { return StrFormat(s, "%g|%.3f", 0.5, 2.0); }, "0.5|2.000"},
};
INSTANTIATE_TEST_SUITE_P(Slots, StrFormatCases, ::testing::ValuesIn(kSlots));

const FormatCase kSpecial[] = {
    {"null text", [](Str& s) { return StrFormat(s, "[%s]", static_cast<const char*>(nullptr)); }, "[(null)]"},
    {"null wide text", [](Str& s) { return StrFormat(s, "[%ls]", static_cast<const wchar_t*>(nullptr)); }, "[(null)]"},
    {"pointer", [](Str& s) { return StrFormat(s, "%p", reinterpret_cast<void*>(0x1234abcd)); }, "0x000000001234ABCD"},
    {"null pointer", [](Str& s) { return StrFormat(s, "%p", nullptr); }, "0x0000000000000000"},
    {"doubled percent", [](Str& s) { return StrFormat(s, "100%% %d%%", 5); }, "100% 5%"},
    {"unknown conversion keeps its letter", [](Str& s) { return StrFormat(s, "%y"); }, "y"},
    {"unknown conversion with width", [](Str& s) { return StrFormat(s, "a%5yb"); }, "ayb"},
    {"unknown conversion reads no argument", [](Str& s) { return StrFormat(s, "%y%d", 7); }, "y7"},
    {"%n writes nothing", [](Str& s) { return StrFormat(s, "%n|%d", 7); }, "n|7"},
    {"percent at the end", [](Str& s) { return StrFormat(s, "a%"); }, "a"},
    {"percent ending a directive is literal", [](Str& s) { return StrFormat(s, "%5%d"); }, "%d"},
};
INSTANTIATE_TEST_SUITE_P(Special, StrFormatCases, ::testing::ValuesIn(kSpecial));

const FormatCase kWide[] = {
    {"ls", [](Str& s) { return StrFormat(s, "%ls", L"h\u00e9llo"); }, "h\xc3\xa9llo"},
    {"S", [](Str& s) { return StrFormat(s, "%S!", L"wide"); }, "wide!"},
    {"hs", [](Str& s) { return StrFormat(s, "%hs", "narrow"); }, "narrow"},
    {"UTF-8 passes through s", [](Str& s) { return StrFormat(s, "%s", "\xe2\x82\xac"); }, "\xe2\x82\xac"},
    {"lc", [](Str& s) { return StrFormat(s, "%lc", L'\u00e9'); }, "\xc3\xa9"},
    {"C", [](Str& s) { return StrFormat(s, "%C", L'\u03a9'); }, "\xce\xa9"},
    {"surrogate pair", [](Str& s) { return StrFormat(s, "%ls", L"\U0001F600"); }, "\xf0\x9f\x98\x80"},
    {"wide width", [](Str& s) { return StrFormat(s, "%-6ls|", L"ab"); }, "ab    |"},
    {"wide precision", [](Str& s) { return StrFormat(s, "%.2ls", L"abcdef"); }, "ab"},
    {"lone surrogate", [](Str& s) { return StrFormat(s, "[%ls]", L"a\xD800"); }, "[(error)]"},
};
INSTANTIATE_TEST_SUITE_P(Wide, StrFormatCases, ::testing::ValuesIn(kWide));

struct RejectedCase {
  const char* name;
  bool (*call)(Str& out);
};
void PrintTo(const RejectedCase& c, std::ostream* os) { *os << c.name; }
class StrFormatRejects : public ::testing::TestWithParam<RejectedCase> {};

TEST_P(StrFormatRejects, LeavesTheResultEmpty) {
  Str out("previous");
  EXPECT_FALSE(GetParam().call(out));
  EXPECT_TRUE(out.IsEmpty());
}

const RejectedCase kRejected[] = {
    {"unnumbered after numbered", [](Str& s) { return StrFormat(s, "%1$s %s", "a", "b"); }},
    {"numbered after unnumbered", [](Str& s) { return StrFormat(s, "%s %2$s", "a", "b"); }},
    {"unnumbered star in numbered form", [](Str& s) { return StrFormat(s, "%1$*d", 5, 42); }},
    {"numbered star in unnumbered form", [](Str& s) { return StrFormat(s, "%*1$d", 5, 42); }},
    {"argument zero", [](Str& s) { return StrFormat(s, "%0$s", "a"); }},
    {"argument beyond the limit", [](Str& s) { return StrFormat(s, "%382$d", 1); }},
    {"null format", [](Str& s) { return StrFormat(s, nullptr); }},
};
INSTANTIATE_TEST_SUITE_P(Rejected, StrFormatRejects, ::testing::ValuesIn(kRejected));

TEST(StrFormatLimits, TextFromThe128thDirectiveOnStaysAsWritten) {
  std::string format, expected;
  for (uint32_t i = 0; i < kMaxFormatDirectives; ++i) {
    format += "%1$d,";
    expected += "7,";
  }
  format += "%1$d %2$s end";
  expected += "%1$d %2$s end";
  Str out;
  ASSERT_TRUE(StrFormat(out, format.c_str(), 7));
  EXPECT_EQ(std::string(out.c_str()), expected);
}

TEST(StrFormatLimits, DoubledPercentSignsAreNoDirectives) {
  std::string format(2 * 300, '%');
  format += "%d";
  Str out;
  ASSERT_TRUE(StrFormat(out, format.c_str(), 5));
  EXPECT_EQ(std::string(out.c_str()), std::string(300, '%') + "5");
}

TEST(StrFormatLimits, LargeOutputsAreNotCut) {
  Str out;
  ASSERT_TRUE(StrFormat(out, "%2000d|%f", 1, 1e300));
  std::string text = out.c_str();
  EXPECT_EQ(text.substr(1995, 6), "    1|");
  EXPECT_EQ(text.size(), 2001u + 301u + 7u);  // 1e300 has 301 integer digits, then ".000000"
  std::string longText(5000, 'x');
  ASSERT_TRUE(StrFormat(out, "<%s>", longText.c_str()));
  EXPECT_EQ(out.Length(), 5002u);
}

TEST(StrFormatLimits, ResultMayReplaceItsOwnArgument) {
  Str s("abc");
  ASSERT_TRUE(StrFormat(s, "%s-%s", s.c_str(), s.c_str()));
  EXPECT_STREQ(s.c_str(), "abc-abc");
  // A shorter result goes into the same buffer its arguments' texts lie in.
  Str t("0123456789abcdefghij");
  const void* buffer = t.BufferIdentity();
  ASSERT_TRUE(StrFormat(t, "%s%.2s", t.c_str() + 12, t.c_str()));
  EXPECT_STREQ(t.c_str(), "cdefghij01");
  EXPECT_EQ(t.BufferIdentity(), buffer);
}

// A fault in the runtime's formatter (a wild pointer behind %s) is caught by the guard: only
// that directive's output becomes "(error)", and the process goes on.
TEST(FormatGuard, WildTextPointerGivesErrorForThatDirectiveOnly) {
  Str out;
  ASSERT_TRUE(StrFormat(out, "[%s] %d", kWild, 42));
  EXPECT_STREQ(out.c_str(), "[(error)] 42");
  ASSERT_TRUE(StrFormat(out, "[%ls|%.3s|%-10s] %s", kWildW, kWild, kWild, "after"));
  EXPECT_STREQ(out.c_str(), "[(error)|(error)|(error)] after");
  ASSERT_TRUE(StrFormat(out, "%s", "still working"));
  EXPECT_STREQ(out.c_str(), "still working");
}

TEST(FormatGuard, HoldsOnEveryThread) {
  std::vector<std::thread> threads;
  std::vector<int> good(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&good, t] {
      for (int i = 0; i < 100; ++i) {
        Str out;
        if (StrFormat(out, "%d:%s:%d", t, kWild, i)) {
          std::string expected = std::to_string(t) + ":(error):" + std::to_string(i);
          if (expected == out.c_str()) ++good[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(good[t], 100) << "thread " << t;
}

int CallNarrow(Str& out, uint32_t n, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = qelvsnprintf(out, n, format, args);
  va_end(args);
  return result;
}

int CallWide(WStr& out, uint32_t n, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  int result = qelvsnwprintf(out, n, format, args);
  va_end(args);
  return result;
}

struct RuntimeCase {
  const char* name;
  uint32_t n;
  const char* argument;
  int result;
  const char* expected;
};
void PrintTo(const RuntimeCase& c, std::ostream* os) { *os << c.name; }
class RuntimeCalls : public ::testing::TestWithParam<RuntimeCase> {};

TEST_P(RuntimeCalls, NarrowAndWideAgree) {
  const RuntimeCase& c = GetParam();
  Str out;
  EXPECT_EQ(CallNarrow(out, c.n, "%s", c.argument), c.result);
  EXPECT_STREQ(out.c_str(), c.expected);
  EXPECT_EQ(out.Length(), strlen(c.expected));

  WStr wideOut;
  WStr wideArgument(c.argument == kWild ? "" : c.argument);
  EXPECT_EQ(CallWide(wideOut, c.n, L"%ls", c.argument == kWild ? kWildW : wideArgument.c_str()), c.result);
  EXPECT_STREQ(Str::FromUtf16(wideOut).c_str(), c.expected);
}

const RuntimeCase kRuntime[] = {
    {"fits", 8, "abc", 3, "abc"},
    // The legacy call may fill all n + 1 places without a terminator; the text must still end.
    {"fills n + 1 exactly", 4, "abcde", 5, "abcde"},
    {"too long", 4, "abcdefgh", -1, "(error)"},
    {"n of 0 counts as 1", 0, "a", 1, "a"},
    {"wild pointer", 64, kWild, -1, "(error)"},
};
INSTANTIATE_TEST_SUITE_P(Runtime, RuntimeCalls, ::testing::ValuesIn(kRuntime));

TEST(RuntimeCallsBuffer, UnsharedBufferIsReused) {
  Str out;
  ASSERT_EQ(CallNarrow(out, 200, "%s", "first"), 5);
  const void* buffer = out.BufferIdentity();
  ASSERT_EQ(CallNarrow(out, 100, "%s", "second"), 6);
  EXPECT_EQ(out.BufferIdentity(), buffer);
  EXPECT_STREQ(out.c_str(), "second");

  Str shared = out;
  ASSERT_EQ(CallNarrow(out, 100, "%d", 3), 1);
  EXPECT_NE(out.BufferIdentity(), buffer);
  EXPECT_STREQ(shared.c_str(), "second");
  EXPECT_STREQ(out.c_str(), "3");
}

}  // namespace

// Formats of only literal text, "%%" and plain integers take the direct path; its output must be
// the general path's, digit for digit (the general path is reached by adding a width of 1,
// which changes nothing for these values).
TEST(FormatDirectIntegers, MatchesTheGeneralPath) {
  using Call = bool (*)(Str&, const char*);
  struct Case {
    const char* direct;
    const char* general;
    Call format;
    const char* expected;
  } cases[] = {
      {"Result code %u", "Result code %1u", [](Str& s, const char* f) { return StrFormat(s, f, 7u); }, "Result code 7"},
      {"%d|%i", "%1d|%1i", [](Str& s, const char* f) { return StrFormat(s, f, INT32_MIN, -1); }, "-2147483648|-1"},
      {"%u %lu %I32u", "%1u %1lu %1I32u",
       [](Str& s, const char* f) { return StrFormat(s, f, 4294967295u, 4294967295ul, 4294967295u); },
       "4294967295 4294967295 4294967295"},
      {"%lld %I64d", "%1lld %1I64d", [](Str& s, const char* f) { return StrFormat(s, f, -1ll, -1ll); }, "-1 -1"},
      {"%llu", "%1llu", [](Str& s, const char* f) { return StrFormat(s, f, 18446744073709551615ull); },
       "18446744073709551615"},
      {"%x %X %o", "%1x %1X %1o", [](Str& s, const char* f) { return StrFormat(s, f, 255u, 255u, 8u); }, "ff FF 10"},
      {"100%% %u%%", "100%% %1u%%", [](Str& s, const char* f) { return StrFormat(s, f, 5u); }, "100% 5%"},
  };
  for (const Case& c : cases) {
    Str direct, general;
    ASSERT_TRUE(c.format(direct, c.direct)) << c.direct;
    ASSERT_TRUE(c.format(general, c.general)) << c.general;
    EXPECT_STREQ(direct.c_str(), c.expected) << c.direct;
    EXPECT_STREQ(general.c_str(), c.expected) << c.general;
  }
}

// Plain integers are sized before they are written: every digit count, in every base, must
// come out exactly as the runtime writes it.
TEST(FormatDirectIntegers, DigitCountsAtEveryBoundary) {
  std::vector<uint64_t> values = {0, UINT32_MAX, uint64_t{UINT32_MAX} + 1, UINT64_MAX, 0x8000000000000000ull};
  for (uint64_t power = 1; power <= 10000000000000000000ull; power *= 10) {
    values.push_back(power - 1);
    values.push_back(power);
    if (power > UINT64_MAX / 10) break;
  }
  for (int shift = 1; shift < 64; ++shift) {
    values.push_back((uint64_t{1} << shift) - 1);
    values.push_back(uint64_t{1} << shift);
  }
  const char* formats[] = {"<%I64u>", "<%I64d>", "<%I64x>", "<%I64o>", "<%u>", "<%d>", "<%X>", "<%o>"};
  int mismatches = 0;
  for (const char* format : formats) {
    for (uint64_t value : values) {
      Str ours;
      ASSERT_TRUE(StrFormat(ours, format, value));
      char runtime[64];
      ASSERT_GT(_snprintf(runtime, sizeof runtime, format, value), 0);
      if (std::string(ours.c_str()) != runtime && ++mismatches <= 10) {
        ADD_FAILURE() << format << " of " << value << ": " << ours.c_str() << ", the runtime gives " << runtime;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// Whether the library writes a directive itself (format.h): integers unless '#' or a sign flag on
// an unsigned conversion asks for more, and narrow texts and characters in a layout with no
// flag but '-'. Everything else (floating point, %p, wide characters, the rarer flags) is handed
// to the runtime.
bool WrittenByTheLibrary(const std::string& flags, const std::string& conversion) {
  const char c = conversion.back();
  if (strchr("diouxX", c)) {
    const bool isSigned = c == 'd' || c == 'i';
    return flags.find('#') == std::string::npos &&
           (isSigned || flags.find_first_of("+ ") == std::string::npos);
  }
  const bool plainLayout = flags.find_first_not_of('-') == std::string::npos;
  if (c == 's' || c == 'S') return plainLayout;
  if (c == 'c' || c == 'C') return plainLayout && (conversion == "c" || conversion == "hC");
  return false;
}

// The forms the library hands to the runtime, against the texts the Microsoft runtime writes
// for them (comparing them with the runtime itself would compare the runtime with itself).
TEST(FormatRuntimeForms, GiveTheMicrosoftRuntimesTexts) {
  // msvcrt.dll writes at least three exponent digits, the universal runtime two.
#if defined(_MSC_VER) || defined(_UCRT)
  const bool threeDigitExponent = false;
#else
  const bool threeDigitExponent = true;
#endif
  using Call = bool (*)(Str&, const char*);
  const Call kDouble = [](Str& s, const char* f) { return StrFormat(s, f, -3.25); };
  const Call kLarge = [](Str& s, const char* f) { return StrFormat(s, f, 12345.678); };
  const Call kSmall = [](Str& s, const char* f) { return StrFormat(s, f, 1e-7); };
  const Call kPointer = [](Str& s, const char* f) { return StrFormat(s, f, reinterpret_cast<void*>(0x1234ABCD)); };
  const Call k255 = [](Str& s, const char* f) { return StrFormat(s, f, 255u); };
  const Call kZero = [](Str& s, const char* f) { return StrFormat(s, f, 0u); };
  const Call kLong = [](Str& s, const char* f) { return StrFormat(s, f, 0x123456789ull); };
  const Call kText = [](Str& s, const char* f) { return StrFormat(s, f, "abc"); };
  const Call kNullText = [](Str& s, const char* f) { return StrFormat(s, f, static_cast<const char*>(nullptr)); };
  const Call kChar = [](Str& s, const char* f) { return StrFormat(s, f, 'x'); };
  const Call kWideChar = [](Str& s, const char* f) { return StrFormat(s, f, L'w'); };
  struct Case {
    const char* format;
    Call call;
    const char* expected;
  };
  const Case cases[] = {
      {"[%f]", kDouble, "[-3.250000]"},
      {"[%10.2f]", kDouble, "[     -3.25]"},
      {"[%-10.2f]", kDouble, "[-3.25     ]"},
      {"[%010.2f]", kDouble, "[-000003.25]"},
      {"[%+.3f]", kLarge, "[+12345.678]"},
      {"[% .0f]", kLarge, "[ 12346]"},
      {"[%#.0f]", kLarge, "[12346.]"},
      {"[%g]", kLarge, "[12345.7]"},
      {"[%.3E]", kLarge, threeDigitExponent ? "[1.235E+004]" : "[1.235E+04]"},
      {"[%g]", kSmall, threeDigitExponent ? "[1e-007]" : "[1e-07]"},
      // %p: the runtime's sixteen digits with "0x" before whatever the runtime wrote.
      {"[%p]", kPointer, "[0x000000001234ABCD]"},
      {"[%20p]", kPointer, "[0x    000000001234ABCD]"},
      {"[%-20p]", kPointer, "[0x000000001234ABCD    ]"},
      {"[%#x|%#X|%#o]", [](Str& s, const char* f) { return StrFormat(s, f, 255u, 255u, 8u); }, "[0xff|0XFF|010]"},
      {"[%#x|%#o]", [](Str& s, const char* f) { return StrFormat(s, f, 0u, 0u); }, "[0|0]"},  // no prefix for 0
      {"[%#08x]", k255, "[0x0000ff]"},
      {"[%-#8x]", k255, "[0xff    ]"},
      {"[%#.4x]", k255, "[0x00ff]"},
      {"[%#I64x]", kLong, "[0x123456789]"},
      {"[%+u|% u|%+x]", [](Str& s, const char* f) { return StrFormat(s, f, 5u, 5u, 255u); }, "[5|5|ff]"},  // no sign
      {"[%+5u]", kZero, "[    0]"},
      {"[%05s]", kText, "[00abc]"},  // the Microsoft runtime pads texts with zeros too
      {"[%-05s]", kText, "[abc  ]"},
      {"[%+s|% 5s|%#s]", [](Str& s, const char* f) { return StrFormat(s, f, "abc", "abc", "abc"); }, "[abc|  abc|abc]"},
      {"[%08s]", kNullText, "[00(null)]"},
      {"[%05c]", kChar, "[0000x]"},
      {"[%lc]", kWideChar, "[w]"},
      {"[%3C]", kWideChar, "[  w]"},
      {"[%-3lc]", kWideChar, "[w  ]"},
  };
  for (const Case& c : cases) {
    Str out;
    ASSERT_TRUE(c.call(out, c.format)) << c.format;
    EXPECT_STREQ(out.c_str(), c.expected) << c.format;
  }
}

// Integers, texts and characters in their common forms are written by the library itself, and
// every combination of flags, width and precision that reaches its own code must read exactly as
// the runtime's formatter writes it. The forms the library hands to the runtime are left out
// here (see the fixed texts above). Two kinds are left out because Wine's runtime departs from
// the Microsoft one there, and the library keeps the Microsoft behaviour (its cases are in the
// Widths table): an integer's '0' flag with a precision (Microsoft ignores the '0', Wine pads
// with zeros) and a precision on %c (no effect on Windows, Wine prints no character).
TEST(FormatLayouts, MatchTheRuntimeForEveryCombination) {
  const char* flagSets[] = {"", "-", "0", "+", " ", "-0", "+0", " 0", "-+", "+ ", "#", "#0", "-#"};
  const char* widths[] = {"", "1", "6", "22"};
  const char* precisions[] = {"", ".", ".0", ".1", ".4", ".12"};
  struct Argument {
    const char* conversion;
    uint64_t value;
  };
  const Argument integers[] = {
      {"d", 0},
      {"d", 1},
      {"d", static_cast<uint32_t>(-1)},
      {"i", static_cast<uint32_t>(INT32_MIN)},
      {"d", INT32_MAX},
      {"u", 0},
      {"u", 4294967295u},
      {"o", 8},
      {"o", 0},
      {"x", 0},
      {"x", 0xBEEF},
      {"X", 0xDEADBEEF},
      {"hd", 70000},
      {"hd", 40000},
      {"hu", 70000},
      {"hx", 0x12345},
      {"I64d", static_cast<uint64_t>(INT64_MIN)},
      {"I64u", UINT64_MAX},
      {"I64x", 0x123456789ull},
      {"lld", static_cast<uint64_t>(-42)},
  };
  const Argument others[] = {
      {"s", reinterpret_cast<uintptr_t>("")},
      {"s", reinterpret_cast<uintptr_t>("abc")},
      {"s", reinterpret_cast<uintptr_t>("abcdefghijklmnopqrstuvwxyz0123456789")},
      {"hs", reinterpret_cast<uintptr_t>("narrow")},
      {"s", 0},
      {"c", 'x'},
      {"hC", 'y'},
      {"ls", reinterpret_cast<uintptr_t>(L"wide")},
      {"S", reinterpret_cast<uintptr_t>(L"")},
  };
  int mismatches = 0;
  int checked = 0;
  auto check = [&](const Argument& a) {
    for (const char* flags : flagSets) {
      for (const char* width : widths) {
        for (const char* precision : precisions) {
          if (!WrittenByTheLibrary(flags, a.conversion)) continue;
          const bool integer = strchr("diouxX", a.conversion[strlen(a.conversion) - 1]) != nullptr;
          const bool character = strchr("cC", a.conversion[strlen(a.conversion) - 1]) != nullptr;
          if (*precision && ((integer && strchr(flags, '0')) || character)) continue;
          std::string format = std::string("[%") + flags + width + precision + a.conversion + "]";
          Str ours;
          ASSERT_TRUE(StrFormat(ours, format.c_str(), a.value)) << format;
          char runtime[256];
          int n = _snprintf(runtime, sizeof runtime - 1, format.c_str(), a.value);
          ASSERT_GE(n, 0) << format;
          runtime[n] = 0;
          const std::string expected = runtime;
          ++checked;
          if (expected != ours.c_str() && ++mismatches <= 20) {
            ADD_FAILURE() << format << " of 0x" << std::hex << a.value << ": \"" << ours.c_str()
                          << "\", the runtime gives \"" << expected << "\"";
          }
        }
      }
    }
  };
  for (const Argument& a : integers) check(a);
  for (const Argument& a : others) check(a);
  EXPECT_EQ(mismatches, 0) << "of " << checked;
}

// ---------------------------------------------------------------------------------------------
// Block-wise reads. The formatter scans the format and measures %s texts sixteen bytes at a time
// where those lie in one page. Placed against an inaccessible page, every length must still come
// out exactly: a read past the format would fault the test, one past a text would show as
// "(error)" in place of the text.

#include "pageedge.h"

namespace {

std::string Letters(size_t n) {
  std::string text;
  for (size_t i = 0; i < n; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

std::string PadRight(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

}  // namespace

TEST(FormatPageEdges, TextsAndFormatsEndingAtAnInaccessiblePage) {
  test::PageEdge edge;
  ASSERT_TRUE(edge.Ready());
  for (size_t n = 0; n <= 40; ++n) {
    const std::string text = Letters(n);
    Str out;

    const char* terminated = edge.Place(text.c_str(), n + 1);
    ASSERT_TRUE(StrFormat(out, "[%s|%-20s]", terminated, terminated));
    EXPECT_EQ(std::string(out.c_str()), "[" + text + "|" + PadRight(text, 20) + "]") << n;

    // A precision may stop at a run's end without any terminator behind it.
    const char* bare = edge.Place(text.data(), n);
    ASSERT_TRUE(StrFormat(out, "[%.*s|%-3.*s]", static_cast<int>(n), bare, static_cast<int>(n), bare));
    EXPECT_EQ(std::string(out.c_str()), "[" + text + "|" + PadRight(text, 3) + "]") << n;

    // The format itself, unnumbered, with a literal '$', and numbered.
    std::string format = text + "%%%u";
    ASSERT_TRUE(StrFormat(out, edge.Place(format.c_str(), format.size() + 1), 7u));
    EXPECT_EQ(std::string(out.c_str()), text + "%7") << format;
    format = text + "$%d";
    ASSERT_TRUE(StrFormat(out, edge.Place(format.c_str(), format.size() + 1), -5));
    EXPECT_EQ(std::string(out.c_str()), text + "$-5") << format;
    format = text + "%2$s%1$s";
    ASSERT_TRUE(StrFormat(out, edge.Place(format.c_str(), format.size() + 1), "b", "a"));
    EXPECT_EQ(std::string(out.c_str()), text + "ab") << format;
    format = "%%" + text + "%%%2$s%%%1$s%y" + text + "%%";
    ASSERT_TRUE(StrFormat(out, edge.Place(format.c_str(), format.size() + 1), "b", "a"));
    EXPECT_EQ(std::string(out.c_str()), "%" + text + "%a%by" + text + "%") << format;
  }
}
