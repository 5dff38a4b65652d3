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
#if defined(_M_X64) || defined(__x86_64__)
#include <emmintrin.h>
#endif

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

#if defined(_M_X64) || defined(__x86_64__)
// Whether the 8 units at `in` are all ASCII; if so, their bytes packed into the low 8 bytes.
inline bool AsciiUnits(const wchar_t* in, __m128i* bytes) {
  const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i high = _mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xFF80)));
  if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) return false;
  *bytes = _mm_packus_epi16(units, units);
  return true;
}
#endif

// One code point from the units at in[i] (a pair counts as one): its UTF-8 size, or 0 when
// the units are ill-formed. `i` moves past the pair's second unit.
inline uint32_t CodePointAt(const wchar_t* in, size_t n, size_t& i, uint32_t* codePoint) {
  uint32_t cp = static_cast<uint16_t>(in[i]);
  if (cp >= 0xD800 && cp <= 0xDFFF) {
    // A high surrogate must be followed by a low one inside the input; anything else is
    // ill-formed, including a low surrogate first and a high surrogate at the end.
    if (cp > 0xDBFF || i + 1 >= n) return 0;
    const uint32_t low = static_cast<uint16_t>(in[i + 1]);
    if (low < 0xDC00 || low > 0xDFFF) return 0;
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    ++i;
  }
  *codePoint = cp;
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

int MeasureUtf8(const wchar_t* in, size_t n) {
  uint64_t total = 0;
  size_t i = 0;
  while (i < n) {
#if defined(_M_X64) || defined(__x86_64__)
    // Most text is ASCII: eight units at a time while they are.
    __m128i bytes;
    if (n - i >= 8 && AsciiUnits(in + i, &bytes)) {
      total += 8;
      i += 8;
      if (total > INT_MAX) return Fail(ERROR_ARITHMETIC_OVERFLOW);
      continue;
    }
#endif
    uint32_t cp;
    const uint32_t size = CodePointAt(in, n, i, &cp);
    if (size == 0) return Fail(ERROR_NO_UNICODE_TRANSLATION);
    ++i;
    total += size;
    if (total > INT_MAX) return Fail(ERROR_ARITHMETIC_OVERFLOW);
  }
  return static_cast<int>(total);
}

int WriteUtf8(const wchar_t* in, size_t n, unsigned char* out, int outSize) {
  const uint64_t room = static_cast<uint64_t>(outSize);
  uint64_t total = 0;  // bytes written
  size_t i = 0;
  while (i < n) {
#if defined(_M_X64) || defined(__x86_64__)
    __m128i bytes;
    if (n - i >= 8 && room - total >= 8 && AsciiUnits(in + i, &bytes)) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + total), bytes);
      total += 8;
      i += 8;
      continue;
    }
#endif
    uint32_t cp;
    const uint32_t size = CodePointAt(in, n, i, &cp);
    if (size == 0) return Fail(ERROR_NO_UNICODE_TRANSLATION);
    ++i;
    // The whole sequence of one code point must fit, or nothing of it is written.
    if (total + size > room) return Fail(ERROR_INSUFFICIENT_BUFFER);
    unsigned char* p = out + total;
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

}  // namespace

int Utf16ToUtf8(const wchar_t* in, int count, char* out, int outSize) {
  if (!in || count == 0 || outSize < 0 || (outSize > 0 && !out)) return Fail(ERROR_INVALID_PARAMETER);
  const size_t n = InputCount(in, count);
  if (outSize == 0) return MeasureUtf8(in, n);
  return WriteUtf8(in, n, reinterpret_cast<unsigned char*>(out), outSize);
}

int Utf8ToUtf16(const char* in, int count, wchar_t* out, int outSize) {
  if (!in || count == 0 || outSize < 0 || (outSize > 0 && !out)) return Fail(ERROR_INVALID_PARAMETER);
  const size_t n = InputCount(in, count);
  const bool measure = outSize == 0;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(in);
  uint64_t total = 0;  // units needed (measuring) or written

  for (size_t i = 0; i < n;) {
#if defined(_M_X64) || defined(__x86_64__)
    // Most text is ASCII: sixteen bytes at a time while they are (and, writing, while they fit).
    if (n - i >= 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      if (_mm_movemask_epi8(bytes) == 0) {
        if (measure) {
          total += 16;
          i += 16;
          if (total > INT_MAX) return Fail(ERROR_ARITHMETIC_OVERFLOW);
          continue;
        }
        if (static_cast<uint64_t>(outSize) - total >= 16) {
          const __m128i zero = _mm_setzero_si128();
          _mm_storeu_si128(reinterpret_cast<__m128i*>(out + total), _mm_unpacklo_epi8(bytes, zero));
          _mm_storeu_si128(reinterpret_cast<__m128i*>(out + total + 8), _mm_unpackhi_epi8(bytes, zero));
          total += 16;
          i += 16;
          continue;
        }
      }
    }
#endif
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
