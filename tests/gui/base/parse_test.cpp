// The unsigned-number parser and the locale's number texts.
#include "format.h"

#include "win.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr int kNoEnd = -1;  // the case passes no end pointer

struct ParseCase {
  const char* name;
  const char* text;
  bool sign;
  uint32_t maxDigits;
  bool withEnd;
  int result;
  uint32_t value;
  int endOffset;  // where *end points, for cases with an end pointer
};
void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }
class ParseUInt32Cases : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseUInt32Cases, GiveResultValueAndEnd) {
  const ParseCase& c = GetParam();
  uint32_t value = 0xABCDABCD;
  const char* end = nullptr;
  EXPECT_EQ(ParseUInt32(c.text, c.withEnd ? &end : nullptr, &value, c.sign, c.maxDigits), c.result);
  // The result is written on success only.
  EXPECT_EQ(value, c.result == kParseOk ? c.value : 0xABCDABCD);
  if (c.withEnd && c.result == kParseOk) {
    EXPECT_EQ(end - c.text, c.endOffset);
  }
}

constexpr uint32_t kAll = UINT32_MAX;
const ParseCase kLimits[] = {
    {"zero", "0", false, kAll, false, kParseOk, 0, kNoEnd},
    {"largest", "4294967295", false, kAll, false, kParseOk, 4294967295u, kNoEnd},
    {"one more", "4294967296", false, kAll, false, kParseInvalid, 0, kNoEnd},
    {"far more", "99999999999999999999", false, kAll, false, kParseInvalid, 0, kNoEnd},
    {"leading zeros", "000000000000000000042", false, kAll, false, kParseOk, 42, kNoEnd},
    {"hex", "0x1F", false, kAll, false, kParseOk, 31, kNoEnd},
    {"hex upper", "0XfF", false, kAll, false, kParseOk, 255, kNoEnd},
    {"hex largest", "0xFFFFFFFF", false, kAll, false, kParseOk, 0xFFFFFFFFu, kNoEnd},
    {"hex one more", "0x100000000", false, kAll, false, kParseInvalid, 0, kNoEnd},
    {"digit count limit with end", "12345", false, 3, true, kParseOk, 123, 3},
    {"digit count limit without end", "12345", false, 3, false, kParseInvalid, 0, kNoEnd},
};
INSTANTIATE_TEST_SUITE_P(Limits, ParseUInt32Cases, ::testing::ValuesIn(kLimits));

const ParseCase kShapes[] = {
    {"null", nullptr, false, kAll, false, kParseEmpty, 0, kNoEnd},
    {"empty", "", false, kAll, false, kParseEmpty, 0, kNoEnd},
    {"only blanks", " \t\r\n", false, kAll, false, kParseEmpty, 0, kNoEnd},
    {"leading blanks", "  \t42", false, kAll, false, kParseOk, 42, kNoEnd},
    {"trailing blanks", "42 \r\n", false, kAll, false, kParseOk, 42, kNoEnd},
    {"junk after digits", "12ab", false, kAll, false, kParseInvalid, 0, kNoEnd},
    {"junk after digits with end", "12ab", false, kAll, true, kParseOk, 12, 2},
    {"junk only", "abc", false, kAll, false, kParseInvalid, 0, kNoEnd},
    {"junk only with end is no number either", "abc", false, kAll, true, kParseInvalid, 0, kNoEnd},
    {"0x without hex digits", "0x", false, kAll, false, kParseInvalid, 0, kNoEnd},
    {"0x without hex digits with end", "0xg", false, kAll, true, kParseOk, 0, 1},
    {"inner blank", "4 2", false, kAll, false, kParseInvalid, 0, kNoEnd},
};
INSTANTIATE_TEST_SUITE_P(Shapes, ParseUInt32Cases, ::testing::ValuesIn(kShapes));

// en-US: positive sign empty, negative sign "-".
const ParseCase kSigns[] = {
    {"plus without sign flag", "+5", false, kAll, false, kParseInvalid, 0, kNoEnd},
    {"minus without sign flag", "-5", false, kAll, false, kParseInvalid, 0, kNoEnd},
    {"plus", "+5", true, kAll, false, kParseOk, 5, kNoEnd},
    {"plus and blanks", "  + 5", true, kAll, false, kParseOk, 5, kNoEnd},
    {"plus alone", "+", true, kAll, false, kParseInvalid, 0, kNoEnd},
    {"plus and blanks alone", "+  ", true, kAll, false, kParseInvalid, 0, kNoEnd},
    {"minus zero", "-0", true, kAll, false, kParseOk, 0, kNoEnd},
    {"minus is never dropped", "-5", true, kAll, false, kParseInvalid, 0, kNoEnd},
    {"plus hex", "+0x10", true, kAll, false, kParseOk, 16, kNoEnd},
    {"two signs", "+-5", true, kAll, false, kParseInvalid, 0, kNoEnd},
};
INSTANTIATE_TEST_SUITE_P(Signs, ParseUInt32Cases, ::testing::ValuesIn(kSigns));

TEST(ParseUInt64, SameRulesWithSixtyFourBits) {
  const struct {
    const char* text;
    int result;
    uint64_t value;
  } cases[] = {
      {"18446744073709551615", kParseOk, UINT64_MAX},
      {"18446744073709551616", kParseInvalid, 0},
      {"0xFFFFFFFFFFFFFFFF", kParseOk, UINT64_MAX},
      {"0x10000000000000000", kParseInvalid, 0},
      {"4294967296", kParseOk, 4294967296ull},
      {" 7 ", kParseOk, 7},
      {"", kParseEmpty, 0},
      {"7x", kParseInvalid, 0},
  };
  for (const auto& c : cases) {
    uint64_t value = 0;
    EXPECT_EQ(ParseUInt64(c.text, nullptr, &value), c.result) << c.text;
    if (c.result == kParseOk) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

// The locale's texts. The thread locale is set per test, so the results do not depend on the
// machine's settings.
class LocaleTexts : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = ::GetThreadLocale();
    ASSERT_TRUE(::SetThreadLocale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT)));
  }
  void TearDown() override { ::SetThreadLocale(saved_); }

 private:
  LCID saved_ = 0;
};

TEST_F(LocaleTexts, ReadItemsOrTheirDefaults) {
  Str text;
  EXPECT_TRUE(GetLocaleText(LOCALE_SDECIMAL, "?", text));
  EXPECT_STREQ(text.c_str(), ".");
  EXPECT_FALSE(GetLocaleText(0x7FFF, "fallback", text));
  EXPECT_STREQ(text.c_str(), "fallback");

  EXPECT_EQ(GetLocaleNumber(LOCALE_IDIGITS, 9), 2u);
  EXPECT_EQ(GetLocaleNumber(LOCALE_SDECIMAL, 77), 77u);  // "." is no number
  EXPECT_EQ(GetLocaleNumber(0x7FFF, 5), 5u);
}

struct NumberCase {
  const char* name;
  double value;
  int digits;
  const char* expected;
};
void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.name; }
class LocaleNumbers : public LocaleTexts, public ::testing::WithParamInterface<NumberCase> {};

TEST_P(LocaleNumbers, UseTheLocaleSeparators) {
  Str out("previous");
  ASSERT_TRUE(FormatLocaleNumber(out, GetParam().value, GetParam().digits));
  EXPECT_STREQ(out.c_str(), GetParam().expected);
}

const NumberCase kNumbers[] = {
    {"grouped twice", 1234567.891, 2, "1,234,567.89"},
    {"negative", -1234.5, 2, "-1,234.50"},
    {"three digits", 999, 0, "999"},
    {"four digits", 1000, 0, "1,000"},
    {"exact groups", 123456789, 0, "123,456,789"},
    {"below one", 0.5, 2, "0.50"},
    {"zero", 0, 0, "0"},
    {"zero with digits", 0, 3, "0.000"},
    {"rounds to zero", -0.001, 2, "0.00"},
    {"large", 1e15, 1, "1,000,000,000,000,000.0"},
};
INSTANTIATE_TEST_SUITE_P(EnglishUS, LocaleNumbers, ::testing::ValuesIn(kNumbers));

TEST_F(LocaleTexts, NumberInAnotherLocale) {
  ASSERT_TRUE(::SetThreadLocale(MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT)));
  Str out;
  ASSERT_TRUE(FormatLocaleNumber(out, -1234567.891, 2));
  EXPECT_STREQ(out.c_str(), "-1.234.567,89");
}

TEST_F(LocaleTexts, NumbersThatHaveNoDigitsAreRefused) {
  for (double value : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()}) {
    Str out("previous");
    ::SetLastError(0);
    EXPECT_FALSE(FormatLocaleNumber(out, value, 2));
    EXPECT_TRUE(out.IsEmpty());
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
}

}  // namespace
