// The UTF-8 counted string Str: allocation, copy-on-write appends, slicing,
// comparison, case mapping and the conversions from UTF-16.
#include "str.h"

#include "shortcopy.h"

#include "error.h"
#include "strreport.h"
#include "strsize.h"
#include "win.h"

#include <climits>
#include <cstring>
#include <cwchar>

// ---------------------------------------------------------------------------------------------
// Size arithmetic

namespace {

// Steps 1 and 2 of the allocation-size rule, shared by Str and WStr: the byte total for a
// request of `bytes` (text bytes plus terminator room, before the header).
uint64_t RoundedTotal(uint64_t bytes) {
  uint64_t total = (bytes + 23) & ~uint64_t(7);
  // Large blocks come from 16-byte size classes: the next multiple of 16 strictly above the
  // multiple-of-16 floor (1032 -> 1040, 1040 -> 1056).
  if (total > 1024) total = (total | 15) + 1;
  return total;
}

}  // namespace

uint32_t StrCapacityFor(uint32_t n) noexcept {
  uint64_t capacity = RoundedTotal(n) - 13;
  return capacity > 0xFFFFFFFFu ? n : static_cast<uint32_t>(capacity);
}

uint32_t WStrCapacityFor(uint32_t n) noexcept {
  uint64_t capacity = (RoundedTotal(uint64_t(n) * 2) - 14) / 2;
  return capacity > 0xFFFFFFFFu ? n : static_cast<uint32_t>(capacity);
}

uint32_t GrowthCapacity(uint64_t n, bool fast) noexcept {
  if (fast) {
    if (n <= 512) return 1024;
    if (n <= 0x4000000) return static_cast<uint32_t>(2 * n);
    if (n <= 0xFBFFFFFF) return static_cast<uint32_t>(n + 0x4000000);
    return 0xFFFFFFFFu;
  }
  if (n < 512) return static_cast<uint32_t>(n + 32);
  if (n < 8192) return static_cast<uint32_t>(n + n / 16);
  if (n <= 0xFFFFFDFF) return static_cast<uint32_t>(n + 512);
  return 0xFFFFFFFFu;
}

// ---------------------------------------------------------------------------------------------
// Buffers

namespace {

StrHeader* AllocHeader(uint32_t capacity, uint32_t length) {
  const uint32_t rounded = StrCapacityFor(capacity);
  void* block = AllocParticle(StrBlockSize(rounded));
  if (!block) {
    ReportStringAllocationFailure(1, int64_t(capacity) + 16, int64_t(capacity));
    return nullptr;
  }
  StrHeader* h = static_cast<StrHeader*>(block);
  h->ref.useCount = 1;
  h->capacity = rounded;
  h->length = length;
  h->Text()[0] = 0;
  h->Text()[rounded] = 0;
  return h;
}

void ReportOverflow(uint64_t length1, uint64_t length2) {
  ReportLibraryEvent(2, "String overflow detected",
                     {{"length1", int64_t(length1)}, {"length2", int64_t(length2)}});
  ::SetLastError(ERROR_OUTOFMEMORY);
}

// An exact-size copy of a run (n >= 1); null after a report.
StrHeader* NewCopy(const char* text, size_t n) {
  if (n > 0xFFFFFFFFu) {
    ReportOverflow(0, n);
    return nullptr;
  }
  StrHeader* h = AllocHeader(static_cast<uint32_t>(n), static_cast<uint32_t>(n));
  if (!h) return nullptr;
  std::memcpy(h->Text(), text, n);
  h->Text()[n] = 0;
  return h;
}

bool Unshared(const StrHeader* h) { return ReferenceCount(&h->ref) < 2; }

}  // namespace

Str StrAlloc(uint32_t capacity, uint32_t length) {
  if (capacity == 0) return Str();
  return Str::Attach(AllocHeader(capacity, length));
}

void Str::Release(StrHeader* header) noexcept {
  if (header && UnlinkReference(&header->ref) == 0) FreeParticle(StrBlockSize(header->capacity), header);
}

// ---------------------------------------------------------------------------------------------
// Construction and assignment

Str::Str(const char* text) {
  if (text && *text) h_ = NewCopy(text, std::strlen(text));
}

Str::Str(const char* text, size_t count) {
  if (text && count) h_ = NewCopy(text, count);
}

Str& Str::operator=(const Str& other) noexcept {
  StrHeader* old = h_;
  h_ = other.h_;
  if (h_) LinkReference(&h_->ref);
  Release(old);
  return *this;
}

Str& Str::operator=(Str&& other) noexcept {
  if (this != &other) Release(std::exchange(h_, std::exchange(other.h_, nullptr)));
  return *this;
}

Str& Str::operator=(const char* text) {
  Assign(text, text ? std::strlen(text) : 0);
  return *this;
}

bool Str::Assign(const char* text, size_t count) {
  if (!text || count == 0) {
    Clear();
    return true;
  }
  if (h_ && Unshared(h_) && h_->capacity >= count) {
    const char* begin = h_->Text();
    const bool inside = text >= begin && text <= begin + h_->capacity;
    if (!inside) {
      std::memcpy(h_->Text(), text, count);
      h_->Text()[count] = 0;
      h_->length = static_cast<uint32_t>(count);
      return true;
    }
  }
  StrHeader* fresh = NewCopy(text, count);
  if (!fresh) return false;
  Release(std::exchange(h_, fresh));
  return true;
}

uint32_t Str::MeasureLength() const noexcept {
  // Concurrent measurements of one shared buffer all store the same value.
  h_->length = static_cast<uint32_t>(strnlen(h_->Text(), h_->capacity));
  return h_->length;
}

char* Str::GetBuffer(uint32_t capacity, bool reuse) {
  if (capacity == 0) capacity = 1;
  if (reuse && h_ && Unshared(h_) && h_->capacity >= capacity) {
    h_->length = 0;
    h_->Text()[0] = 0;
    h_->Text()[capacity] = 0;
    return h_->Text();
  }
  StrHeader* fresh = AllocHeader(capacity, 0);
  if (!fresh) return nullptr;
  fresh->Text()[capacity] = 0;
  Release(std::exchange(h_, fresh));
  return h_->Text();
}

// ---------------------------------------------------------------------------------------------
// Append

bool Str::Append(const char* text, size_t count, bool fast) {
  if (count == 0) return true;
  const uint64_t length = Length();
  // Written so that a huge count cannot wrap the sum: length + count >= 2^32.
  if (count > 0xFFFFFFFFu - length) {
    ReportOverflow(length, count);
    return false;
  }
  const uint32_t n = static_cast<uint32_t>(length + count);
  if (h_ && h_->capacity >= n && Unshared(h_)) {
    char* t = h_->Text();
    h_->length = n;
    char* to = t + length;
    // The run may lie in this very buffer; only a run that reaches past the text's end can
    // overlap where it goes.
    const uintptr_t from = reinterpret_cast<uintptr_t>(text);
    const uintptr_t at = reinterpret_cast<uintptr_t>(to);
    if (from + count <= at || from >= at + count)
      CopyShort(to, text, count);
    else
      std::memmove(to, text, count);
    t[n] = 0;
    return true;
  }
  StrHeader* fresh = AllocHeader(GrowthCapacity(n, fast), n);
  if (!fresh) return false;  // reported; the string keeps its content
  std::memcpy(fresh->Text(), c_str(), length);
  std::memcpy(fresh->Text() + length, text, count);
  fresh->Text()[n] = 0;
  // The old buffer goes only now: `text` may have pointed into it.
  Release(std::exchange(h_, fresh));
  return true;
}

bool Str::Append(const Str& text) { return Append(text.c_str(), text.Length()); }

bool Str::Append(const char* text) { return text ? Append(text, std::strlen(text)) : true; }

bool Str::Append(char c) { return c ? Append(&c, 1) : true; }

bool Str::Append(const WStr& text) {
  if (text.IsEmpty()) return true;
  Str utf8 = FromUtf16(text);
  return !utf8.IsEmpty() && Append(utf8);
}

bool Str::AppendUnit(wchar_t unit) {
  if (unit == 0) return true;
  Str utf8 = FromUtf16(&unit, 1);
  return !utf8.IsEmpty() && Append(utf8);
}

// ---------------------------------------------------------------------------------------------
// Conversions from UTF-16

namespace {

// The two-pass conversion of n >= 1 input units into a Str. `convert(out, outSize)` converts the
// whole input (outSize 0 measures) and answers the byte count or 0 with the last error set.
template <typename Convert>
Str TwoPassConvert(size_t n, Convert convert) {
  if (n > INT_MAX) {
    ::SetLastError(ERROR_ARITHMETIC_OVERFLOW);
    return Str();
  }
  // 1. Guess: most texts are ASCII or close to it.
  uint64_t guess = n < 4 ? n + 1 : n < 8 ? n + n / 2 : n + n / 8;
  if (guess > INT_MAX) guess = INT_MAX;
  // 2. Convert straight into a buffer of the guessed capacity.
  Str result = StrAlloc(static_cast<uint32_t>(guess), static_cast<uint32_t>(n));
  StrHeader* h = result.Header();
  if (!h) return Str();
  int written = convert(h->Text(), static_cast<int>(guess));
  if (written <= 0) {
    // 3. Measure exactly, then convert again into a buffer that fits.
    const int needed = convert(nullptr, 0);
    if (needed <= 0) {
      const DWORD error = ::GetLastError();
      result.Clear();
      ::SetLastError(error);
      return Str();
    }
    if (h->capacity < static_cast<uint32_t>(needed) || !Unshared(h)) {
      result = StrAlloc(static_cast<uint32_t>(needed), static_cast<uint32_t>(needed));
      h = result.Header();
      if (!h) return Str();
    }
    h->length = static_cast<uint32_t>(needed);
    written = convert(h->Text(), needed);
    if (written <= 0) {
      const DWORD error = ::GetLastError();
      result.Clear();
      ::SetLastError(error);
      return Str();
    }
  }
  h->Text()[written] = 0;
  h->length = static_cast<uint32_t>(written);
  ::SetLastError(0);
  return result;
}

}  // namespace

Str Str::FromUtf16(const wchar_t* text, int count) {
  if (!text) return Str();
  const size_t n = count < 0 ? std::wcslen(text) : static_cast<size_t>(count);
  if (n == 0) return Str();
  return TwoPassConvert(n, [&](char* out, int outSize) {
    return Utf16ToUtf8(text, static_cast<int>(n), out, outSize);
  });
}

Str Str::FromUtf16(const WStr& text) {
  const size_t n = text.Length();
  if (n == 0) return Str();
  return TwoPassConvert(n, [&](char* out, int outSize) {
    return Utf16ToUtf8(text.c_str(), static_cast<int>(n), out, outSize);
  });
}

Str Str::FromCodePage(unsigned codePage, const wchar_t* text, int count) {
  if (codePage == CP_UTF8) return FromUtf16(text, count);
  if (!text) return Str();
  const size_t n = count < 0 ? std::wcslen(text) : static_cast<size_t>(count);
  if (n == 0) return Str();
  return TwoPassConvert(n, [&](char* out, int outSize) {
    return ::WideCharToMultiByte(codePage, 0, text, static_cast<int>(n), out, outSize, nullptr, nullptr);
  });
}

// ---------------------------------------------------------------------------------------------
// Searching
//
// Byte by byte, whatever the ANSI code page. The shell's StrChrA family steps through text by
// the characters of the ANSI code page, and on a double-byte code page (932, 936, 949, 950) a
// UTF-8 continuation byte reads as a lead byte that swallows the byte after it: "\xE3\x83\x88."
// (a katakana letter and a dot) hides its dot in the pair 88 2E under code page 932. As with those
// functions, a search ends at the first zero byte, and neither the zero byte nor an empty text
// is ever found. Letter case is folded for ASCII letters only, as names are compared.

namespace {

int32_t Offset(const char* base, const char* found) { return found ? static_cast<int32_t>(found - base) : -1; }

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

int32_t Str::Find(char c, uint32_t start) const noexcept {
  if (c == 0 || start >= Length()) return -1;
  return Offset(c_str(), std::strchr(c_str() + start, c));
}

int32_t Str::FindNoCase(char c, uint32_t start) const noexcept {
  if (c == 0 || start >= Length()) return -1;
  const char folded = FoldAscii(c);
  for (const char* p = c_str() + start; *p; ++p)
    if (FoldAscii(*p) == folded) return Offset(c_str(), p);
  return -1;
}

int32_t Str::FindLast(char c) const noexcept {
  if (c == 0 || IsEmpty()) return -1;
  return Offset(c_str(), std::strrchr(c_str(), c));
}

int32_t Str::Find(const char* text, uint32_t start) const noexcept {
  if (!text || !*text || start > Length()) return -1;
  return Offset(c_str(), std::strstr(c_str() + start, text));
}

// ---------------------------------------------------------------------------------------------
// Slicing

Str Concat(const Str& a, const Str& b) {
  Str result(a);
  result.Append(b);
  return result;
}

Str Concat(const Str& a, char c) {
  Str result(a);
  result.Append(c);
  return result;
}

Str Left(const Str& s, uint32_t n) {
  if (n == 0) return Str();
  if (n >= s.Length()) return s;
  return Str(s.c_str(), n);
}

Str Mid(const Str& s, uint32_t start, uint32_t count) {
  const uint32_t length = s.Length();
  if (count == 0 || length == 0 || start >= length) return Str();
  if (count > length - start) count = length - start;
  return Str(s.c_str() + start, count);
}

Str Unquote(const Str& s, char open, char close) {
  if (close == 0) {
    switch (open) {
      case '(': close = ')'; break;
      case '<': close = '>'; break;
      case '[': close = ']'; break;
      case '{': close = '}'; break;
      default: close = open; break;
    }
  }
  const uint32_t length = s.Length();
  const char* t = s.c_str();
  if (length < 2 || t[0] != open) return s;
  // The last character is the lead byte of the last UTF-8 sequence.
  uint32_t last = length - 1;
  while (last > 0 && (static_cast<unsigned char>(t[last]) & 0xC0) == 0x80) --last;
  if (last == 0 || t[last] != close) return s;
  return Mid(s, 1, last - 1);
}

namespace {

bool IsAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

Str Trim(const Str& s) {
  const uint32_t length = s.Length();
  const char* t = s.c_str();
  if (length == 0 || (!IsAsciiSpace(t[0]) && !IsAsciiSpace(t[length - 1]))) return s;
  uint32_t begin = 0;
  while (begin < length && IsAsciiSpace(t[begin])) ++begin;
  if (begin == length) return Str();
  // The trailing run of white space is found from the back, character by character, so that the
  // text is copied once, already cut: a character is a lead byte and the continuation bytes
  // after it (the first byte of the rest always starts one), and it counts as white space when
  // its lead byte does.
  uint32_t end = length;
  for (;;) {
    uint32_t lead = end - 1;
    while (lead > begin && (static_cast<unsigned char>(t[lead]) & 0xC0) == 0x80) --lead;
    if (!IsAsciiSpace(t[lead])) break;
    end = lead;
  }
  return Str(t + begin, end - begin);
}

// ---------------------------------------------------------------------------------------------
// Comparison

namespace {

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

// The byte fallback: unsigned bytes up to the terminator or `limit` bytes.
int ByteCompare(const char* a, const char* b, size_t limit, bool ignoreCase) {
  for (size_t i = 0; i < limit; ++i) {
    unsigned char ca = static_cast<unsigned char>(ignoreCase ? AsciiLower(a[i]) : a[i]);
    unsigned char cb = static_cast<unsigned char>(ignoreCase ? AsciiLower(b[i]) : b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

int LocaleCompare(const char* a, uint32_t lengthA, const char* b, uint32_t lengthB, DWORD flags,
                  size_t fallbackLimit) {
  LCID locale = ::GetThreadLocale();
  if (locale == 0) locale = LOCALE_USER_DEFAULT;
  // Runs of zero length convert to the empty WStr; a run that does not decode (a cut sequence
  // in CompareN) makes the locale comparison impossible, so the bytes decide.
  WStr wa = lengthA ? WStr::FromCodePage(CP_UTF8, a, static_cast<int>(lengthA)) : WStr();
  WStr wb = lengthB ? WStr::FromCodePage(CP_UTF8, b, static_cast<int>(lengthB)) : WStr();
  if ((lengthA == 0 || !wa.IsEmpty()) && (lengthB == 0 || !wb.IsEmpty())) {
    switch (::CompareStringW(locale, flags, wa.c_str(), -1, wb.c_str(), -1)) {
      case CSTR_LESS_THAN: return -1;
      case CSTR_EQUAL: return 0;
      case CSTR_GREATER_THAN: return 1;
      default: break;
    }
  }
  return Sign(ByteCompare(a, b, fallbackLimit, flags & NORM_IGNORECASE));
}

}  // namespace

int Compare(const Str& a, const Str& b) {
  return LocaleCompare(a.c_str(), a.Length(), b.c_str(), b.Length(), 0, SIZE_MAX);
}

int CompareNoCase(const Str& a, const Str& b) {
  return LocaleCompare(a.c_str(), a.Length(), b.c_str(), b.Length(), NORM_IGNORECASE, SIZE_MAX);
}

int CompareN(const Str& a, const Str& b, uint32_t n) {
  const uint32_t lengthA = a.Length() < n ? a.Length() : n;
  const uint32_t lengthB = b.Length() < n ? b.Length() : n;
  return LocaleCompare(a.c_str(), lengthA, b.c_str(), lengthB, 0, n);
}

bool operator==(const Str& a, const Str& b) noexcept {
  if (a.Header() == b.Header()) return true;
  const uint32_t length = a.Length();
  return length == b.Length() && std::memcmp(a.c_str(), b.c_str(), length) == 0;
}

bool operator==(const Str& a, const char* b) noexcept {
  if (!b) return a.IsEmpty();
  const size_t length = std::strlen(b);
  return length == a.Length() && std::memcmp(a.c_str(), b, length) == 0;
}

// ---------------------------------------------------------------------------------------------
// Case mapping

namespace {

void MapCase(Str& s, bool upper) {
  if (s.IsEmpty()) return;
  if (s.UseCount() >= 2) {
    // A shared buffer is never written: take a private copy first.
    Str copy(s.c_str(), s.Length());
    if (copy.IsEmpty()) return;  // allocation failed and was reported; leave s as it is
    s = std::move(copy);
  }
  unsigned char* t = reinterpret_cast<unsigned char*>(s.Header()->Text());
  const uint32_t length = s.Length();
  for (uint32_t i = 0; i < length && t[i];) {
    const unsigned char c = t[i];
    if (c < 0x80) {
      if (upper && c >= 'a' && c <= 'z') t[i] = static_cast<unsigned char>(c - ('a' - 'A'));
      if (!upper && c >= 'A' && c <= 'Z') t[i] = static_cast<unsigned char>(c + ('a' - 'A'));
      ++i;
      continue;
    }
    uint32_t end = i + 1;
    while (end < length && (t[end] & 0xC0) == 0x80) ++end;
    const int size = static_cast<int>(end - i);
    wchar_t unit = 0;
    char* sequence = reinterpret_cast<char*>(t + i);
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, sequence, size, &unit, 1) == 1 &&
        ::IsCharAlphaW(unit)) {
      if (upper)
        ::CharUpperBuffW(&unit, 1);
      else
        ::CharLowerBuffW(&unit, 1);
      char mapped[5];
      // The text never changes length: a mapping to another byte count is left out.
      if (::WideCharToMultiByte(CP_UTF8, 0, &unit, 1, mapped, sizeof mapped, nullptr, nullptr) == size)
        std::memcpy(sequence, mapped, size);
    }
    i = end;
  }
}

}  // namespace

void ToUpper(Str& s) { MapCase(s, true); }

void ToLower(Str& s) { MapCase(s, false); }
