// The thread locale's texts and the locale-aware display form of numbers.
#include "format.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kLocaleTextUnits = 256;
constexpr int kMaxFractionDigits = 100;

LCID ThreadLocale() {
  LCID locale = ::GetThreadLocale();
  return locale ? locale : LOCALE_USER_DEFAULT;
}

// The first UTF-8 character of a text (a lead byte and its continuation bytes).
Str FirstCharacter(const Str& text) {
  const char* p = text.c_str();
  if (!*p) return Str();
  size_t n = 1;
  while (p[n] && (static_cast<unsigned char>(p[n]) & 0xC0) == 0x80) ++n;
  return Str(p, n);
}

}  // namespace

bool GetLocaleText(LCTYPE item, const char* defaultText, Str& out) {
  wchar_t buffer[kLocaleTextUnits];
  int n = ::GetLocaleInfoW(ThreadLocale(), item, buffer, kLocaleTextUnits);
  if (n > 0) {
    // n counts the terminator.
    Str text = Str::FromUtf16(buffer, n - 1);
    if (!text.IsEmpty() || n == 1) {
      out = text;
      return true;
    }
  }
  out = defaultText;
  return false;
}

uint32_t GetLocaleNumber(LCTYPE item, uint32_t defaultValue) {
  Str text;
  uint32_t value = 0;
  if (!GetLocaleText(item, "", text) || ParseUInt32(text.c_str(), nullptr, &value) != kParseOk) return defaultValue;
  return value;
}

bool FormatLocaleNumber(Str& out, double value, int fractionDigits) {
  out.Clear();
  if (!std::isfinite(value)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (fractionDigits < 0) fractionDigits = 0;
  if (fractionDigits > kMaxFractionDigits) fractionDigits = kMaxFractionDigits;

  Str negative, decimal, thousands, grouping;
  GetLocaleText(LOCALE_SNEGATIVESIGN, "-", negative);
  GetLocaleText(LOCALE_SDECIMAL, ".", decimal);
  GetLocaleText(LOCALE_STHOUSAND, ",", thousands);
  GetLocaleText(LOCALE_SGROUPING, "3;0", grouping);
  negative = FirstCharacter(negative);
  decimal = FirstCharacter(decimal);
  thousands = FirstCharacter(thousands);
  uint32_t group = 3;
  const char* afterGroup = nullptr;
  if (ParseUInt32(grouping.c_str(), &afterGroup, &group) != kParseOk) group = 3;
  bool leadingZero = GetLocaleNumber(LOCALE_ILZERO, 1) == 1;

  // The runtime's fixed-point conversion of the magnitude: at most 309 integer digits, the
  // point and the fraction.
  char digits[330 + kMaxFractionDigits];
  int n = snprintf(digits, sizeof digits, "%.*f", fractionDigits, std::fabs(value));
  if (n <= 0 || n >= static_cast<int>(sizeof digits)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const char* point = strchr(digits, '.');
  size_t integerCount = point ? static_cast<size_t>(point - digits) : static_cast<size_t>(n);
  const char* fraction = point ? point + 1 : "";
  // "0.5" has no integer digits in the locale's sense: ILZERO decides whether "0" is shown.
  if (integerCount == 1 && digits[0] == '0') integerCount = 0;
  // A value that rounds to zero is shown without a sign.
  bool anyDigit = strspn(digits, "0.") != static_cast<size_t>(n);

  Str text;
  if (value < 0 && anyDigit) text.Append(negative);
  if (integerCount == 0) {
    if (leadingZero || fractionDigits == 0) text.Append('0');
  } else {
    for (size_t i = 0; i < integerCount; ++i) {
      if (i > 0 && group > 0 && (integerCount - i) % group == 0) text.Append(thousands);
      text.Append(digits[i]);
    }
  }
  if (fractionDigits > 0) {
    text.Append(decimal);
    text.Append(fraction, strlen(fraction));
  }
  out = text;
  return true;
}
