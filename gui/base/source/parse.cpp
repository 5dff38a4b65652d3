// The strict unsigned-number parser.
#include "format.h"

#include <cstring>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

const char* SkipBlanks(const char* p) {
  while (IsBlank(*p)) ++p;
  return p;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A sign text of the locale, with its no-break spaces read as plain spaces (French writes
// U+00A0 there, while people type a space).
Str SignText(LCTYPE item, const char* defaultText) {
  Str raw;
  GetLocaleText(item, defaultText, raw);
  Str sign;
  for (const char* p = raw.c_str(); *p;) {
    if (p[0] == '\xC2' && p[1] == '\xA0') {
      sign.Append(' ');
      p += 2;
    } else {
      sign.Append(*p++);
    }
  }
  return sign;
}

bool StartsWith(const char* text, const Str& prefix) {
  return !prefix.IsEmpty() && strncmp(text, prefix.c_str(), prefix.Length()) == 0;
}

template <typename UInt>
int ParseUnsigned(const char* text, const char** end, UInt* result, bool acceptSign, uint32_t maxDigits) {
  if (!text) return kParseEmpty;
  const char* p = SkipBlanks(text);
  if (!*p) return kParseEmpty;

  bool negative = false;
  if (acceptSign) {
    bool signed_ = false;
    if (*p == '+') {
      ++p;
      signed_ = true;
    } else if (Str positive = SignText(LOCALE_SPOSITIVESIGN, ""); StartsWith(p, positive)) {
      p += positive.Length();
      signed_ = true;
    } else if (Str minus = SignText(LOCALE_SNEGATIVESIGN, "-"); StartsWith(p, minus)) {
      p += minus.Length();
      signed_ = negative = true;
    }
    if (signed_) {
      p = SkipBlanks(p);
      if (!*p) return kParseInvalid;
    }
  }

  unsigned base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexValue(p[2]) >= 0) {
    base = 16;
    p += 2;
  }
  const UInt limit = static_cast<UInt>(~UInt{0});
  UInt value = 0;
  uint32_t digits = 0;
  for (; digits < maxDigits; ++digits, ++p) {
    int d = base == 16 ? HexValue(*p) : (*p >= '0' && *p <= '9' ? *p - '0' : -1);
    if (d < 0) break;
    if (value > (limit - static_cast<UInt>(d)) / base) return kParseInvalid;
    value = value * base + static_cast<UInt>(d);
  }
  // A text without a single digit is not a number, with or without an end pointer.
  if (digits == 0) return kParseInvalid;
  // The result is unsigned: "-5" is no spelling of 5.
  if (negative && value != 0) return kParseInvalid;

  if (end) {
    *end = p;
  } else if (*SkipBlanks(p)) {
    return kParseInvalid;
  }
  if (result) *result = value;
  return kParseOk;
}

}  // namespace

int ParseUInt32(const char* text, const char** end, uint32_t* result, bool acceptSign, uint32_t maxDigits) {
  return ParseUnsigned<uint32_t>(text, end, result, acceptSign, maxDigits);
}

int ParseUInt64(const char* text, const char** end, uint64_t* result, bool acceptSign, uint32_t maxDigits) {
  return ParseUnsigned<uint64_t>(text, end, result, acceptSign, maxDigits);
}
