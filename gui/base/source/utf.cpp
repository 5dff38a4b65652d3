// UTF-16 <-> UTF-8 converters of the base library.
//
// The library converts with its own code rather than WideCharToMultiByte/MultiByteToWideChar so
// that the error rules are the same everywhere: unpaired surrogates in UTF-16 are errors, while
// overlong UTF-8 forms and encoded surrogates pass (they appear in texts that other programs of
// the client wrote).
#include "utf.h"

#include "win.h"

#include <climits>
#include <cwchar>

namespace {

// Resolves the input count: -1 (any negative) means up to and including the terminator.
template <typename Unit>
size_t InputCount(const Unit* in, int count) {
  if (count >= 0) return static_cast<size_t>(count);
  size_t n = 0;
  while (in[n] != 0) ++n;
  return n + 1;
}

int Fail(DWORD code) {
  ::SetLastError(code);
  return 0;
}

}  // namespace

int Utf16ToUtf8(const wchar_t* in, int count, char* out, int outSize) {
  if (!in || count == 0 || outSize < 0 || (outSize > 0 && !out)) return Fail(ERROR_INVALID_PARAMETER);
  const size_t n = InputCount(in, count);
  const bool measure = outSize == 0;
  uint64_t total = 0;  // bytes needed (measuring) or written
  unsigned char* o = reinterpret_cast<unsigned char*>(out);

  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = static_cast<uint16_t>(in[i]);
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      // A high surrogate must be followed by a low one inside the input; anything else is
      // ill-formed, including a low surrogate first and a high surrogate at the end.
      if (cp > 0xDBFF || i + 1 >= n) return Fail(ERROR_NO_UNICODE_TRANSLATION);
      uint32_t low = static_cast<uint16_t>(in[i + 1]);
      if (low < 0xDC00 || low > 0xDFFF) return Fail(ERROR_NO_UNICODE_TRANSLATION);
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    const unsigned size = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    if (measure) {
      total += size;
      if (total > INT_MAX) return Fail(ERROR_ARITHMETIC_OVERFLOW);
      continue;
    }
    // The whole sequence of one code point must fit, or nothing of it is written.
    if (total + size > static_cast<uint64_t>(outSize)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    unsigned char* p = o + total;
    switch (size) {
      case 1:
        p[0] = static_cast<unsigned char>(cp);
        break;
      case 2:
        p[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        p[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        break;
      case 3:
        p[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        p[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        p[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        break;
      default:
        p[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
        p[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
        p[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        p[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        break;
    }
    total += size;
  }
  return static_cast<int>(total);
}

int Utf8ToUtf16(const char* in, int count, wchar_t* out, int outSize) {
  if (!in || count == 0 || outSize < 0 || (outSize > 0 && !out)) return Fail(ERROR_INVALID_PARAMETER);
  const size_t n = InputCount(in, count);
  const bool measure = outSize == 0;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(in);
  uint64_t total = 0;  // units needed (measuring) or written

  for (size_t i = 0; i < n;) {
    uint32_t cp = s[i];
    unsigned more;
    if (cp < 0x80) {
      more = 0;
    } else if (cp < 0xC0 || cp > 0xF7) {
      return Fail(ERROR_NO_UNICODE_TRANSLATION);  // a continuation byte as lead, or F8-FF
    } else if (cp < 0xE0) {
      cp &= 0x1F;
      more = 1;
    } else if (cp < 0xF0) {
      cp &= 0x0F;
      more = 2;
    } else {
      cp &= 0x07;
      more = 3;
    }
    if (more > n - i - 1) return Fail(ERROR_NO_UNICODE_TRANSLATION);  // cut by the end of input
    for (unsigned k = 1; k <= more; ++k) {
      const uint32_t c = s[i + k];
      if ((c & 0xC0) != 0x80) return Fail(ERROR_NO_UNICODE_TRANSLATION);
      cp = (cp << 6) | (c & 0x3F);
    }
    i += more + 1;
    // Overlong forms and encoded surrogates are deliberately not rejected.
    if (cp > 0x10FFFF) return Fail(ERROR_NO_UNICODE_TRANSLATION);
    const unsigned units = cp > 0xFFFF ? 2 : 1;
    if (measure) {
      total += units;
      if (total > INT_MAX) return Fail(ERROR_ARITHMETIC_OVERFLOW);
      continue;
    }
    if (total + units > static_cast<uint64_t>(outSize)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (units == 1) {
      out[total] = static_cast<wchar_t>(cp);
    } else {
      out[total] = static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
      out[total + 1] = static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    }
    total += units;
  }
  return static_cast<int>(total);
}
