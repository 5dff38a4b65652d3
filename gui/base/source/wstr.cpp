// The UTF-16 counted string WStr, used only where a Windows "W" function is called.
#include "str.h"

#include "error.h"
#include "strreport.h"
#include "strsize.h"
#include "win.h"

#include <climits>
#include <cstddef>
#include <cstring>
#include <cwchar>

namespace {

// The process-wide empty WStr: capacity 0, length 0, one zero unit. Its count is 1 from its
// first use on and it is never counted down or freed: every release checks for it first.
struct EmptyWStrBuffer {
  WStrHeader header;
  wchar_t text[2];
};
static_assert(offsetof(EmptyWStrBuffer, text) == sizeof(WStrHeader));

WStrHeader* HeaderOf(wchar_t* text) {
  return reinterpret_cast<WStrHeader*>(reinterpret_cast<char*>(text) - sizeof(WStrHeader));
}

void ReportOverflow(uint64_t length1, uint64_t length2) {
  ReportLibraryEvent(601, "String overflow detected",
                     {{"length1", int64_t(length1)}, {"length2", int64_t(length2)}});
  ::SetLastError(ERROR_OUTOFMEMORY);
}

// A new buffer (capacity >= 1); null after event 600.
WStrHeader* AllocHeader(uint32_t capacity, uint32_t length) {
  const uint32_t rounded = WStrCapacityFor(capacity);
  void* block = AllocParticle(WStrBlockSize(rounded));
  if (!block) {
    ReportStringAllocationFailure(600, int64_t(capacity) * 2 + 16, int64_t(capacity));
    return nullptr;
  }
  WStrHeader* h = static_cast<WStrHeader*>(block);
  h->ref.useCount = 1;
  h->capacity = rounded;
  h->length = length;
  h->Text()[0] = 0;
  h->Text()[rounded] = 0;
  return h;
}

bool Unshared(const WStrHeader* h) { return ReferenceCount(&h->ref) < 2; }

// An exact-size copy of a run (n >= 1); null after a report.
wchar_t* NewCopy(const wchar_t* text, size_t n) {
  if (n > 0xFFFFFFFFu) {
    ReportOverflow(0, n);
    return nullptr;
  }
  WStrHeader* h = AllocHeader(static_cast<uint32_t>(n), static_cast<uint32_t>(n));
  if (!h) return nullptr;
  std::memcpy(h->Text(), text, n * sizeof(wchar_t));
  h->Text()[n] = 0;
  return h->Text();
}

// UTF-8 -> a new exactly sized WStr through the library's decoder; the shared empty buffer on
// failure (with the decoder's last-error value).
wchar_t* Decode(const char* text, size_t n) {
  if (!text || n == 0) return WStr::SharedEmpty();
  if (n > INT_MAX) {
    ::SetLastError(ERROR_ARITHMETIC_OVERFLOW);
    return WStr::SharedEmpty();
  }
  // A UTF-8 text never has more UTF-16 units than bytes.
  WStrHeader* h = AllocHeader(static_cast<uint32_t>(n), 0);
  if (!h) return WStr::SharedEmpty();
  const int units = Utf8ToUtf16(text, static_cast<int>(n), h->Text(), static_cast<int>(n));
  if (units <= 0) {
    const DWORD error = ::GetLastError();
    WStr::Release(h->Text());
    ::SetLastError(error);
    return WStr::SharedEmpty();
  }
  h->Text()[units] = 0;
  h->length = static_cast<uint32_t>(units);
  return h->Text();
}

}  // namespace

wchar_t* WStr::SharedEmpty() noexcept {
  // Constant-initialised function-local static: no guard, ready before any dynamic initialiser.
  static EmptyWStrBuffer s_empty = {{{1}, 0, 0}, {0, 0}};
  return s_empty.text;
}

bool WStr::IsSharedEmpty() const noexcept { return text_ == SharedEmpty(); }

void WStr::Release(wchar_t* text) noexcept {
  if (!text || text == SharedEmpty()) return;
  WStrHeader* h = HeaderOf(text);
  if (UnlinkReference(&h->ref) == 0) FreeParticle(WStrBlockSize(h->capacity), h);
}

WStr WStrAlloc(uint32_t capacity, uint32_t length) {
  if (capacity == 0) return WStr();
  WStrHeader* h = AllocHeader(capacity, length);
  return h ? WStr::Attach(h->Text()) : WStr();
}

// ---------------------------------------------------------------------------------------------
// Construction and assignment

WStr::WStr() noexcept : text_(SharedEmpty()) {}

WStr::WStr(const wchar_t* text) : text_(SharedEmpty()) {
  if (text && *text) {
    if (wchar_t* copy = NewCopy(text, std::wcslen(text))) text_ = copy;
  }
}

WStr::WStr(const wchar_t* text, size_t count) : text_(SharedEmpty()) {
  if (text && count) {
    if (wchar_t* copy = NewCopy(text, count)) text_ = copy;
  }
}

WStr::WStr(const char* utf8) : text_(Decode(utf8, utf8 ? std::strlen(utf8) : 0)) {}

WStr::WStr(const Str& utf8) : text_(Decode(utf8.c_str(), utf8.Length())) {}

WStr::WStr(const WStr& other) noexcept : text_(other.text_) {
  if (!IsSharedEmpty()) LinkReference(&Header()->ref);
}

WStr::WStr(WStr&& other) noexcept : text_(std::exchange(other.text_, SharedEmpty())) {}

WStr& WStr::operator=(const WStr& other) noexcept {
  wchar_t* old = text_;
  text_ = other.text_;
  if (!IsSharedEmpty()) LinkReference(&Header()->ref);
  Release(old);
  return *this;
}

WStr& WStr::operator=(WStr&& other) noexcept {
  if (this != &other) Release(std::exchange(text_, std::exchange(other.text_, SharedEmpty())));
  return *this;
}

WStr WStr::FromCodePage(unsigned codePage, const char* text, int count) {
  if (!text) return WStr();
  const size_t n = count < 0 ? std::strlen(text) : static_cast<size_t>(count);
  if (codePage == CP_UTF8) return WStr::Attach(Decode(text, n));
  if (n == 0) return WStr();
  if (n > INT_MAX) {
    ::SetLastError(ERROR_ARITHMETIC_OVERFLOW);
    return WStr();
  }
  auto convert = [&](wchar_t* out, int outSize) {
    return ::MultiByteToWideChar(codePage, 0, text, static_cast<int>(n), out, outSize);
  };
  // The two-pass sizing of Str's conversions: a guessed capacity first, an exact one second.
  uint64_t guess = n < 4 ? n + 1 : n < 8 ? n + n / 2 : n + n / 8;
  if (guess > INT_MAX) guess = INT_MAX;
  WStr result = WStrAlloc(static_cast<uint32_t>(guess), static_cast<uint32_t>(n));
  if (result.IsSharedEmpty()) return WStr();
  WStrHeader* h = result.Header();
  int written = convert(h->Text(), static_cast<int>(guess));
  if (written <= 0) {
    const int needed = convert(nullptr, 0);
    if (needed <= 0) {
      const DWORD error = ::GetLastError();
      result = WStr();
      ::SetLastError(error);
      return WStr();
    }
    if (h->capacity < static_cast<uint32_t>(needed) || !Unshared(h)) {
      result = WStrAlloc(static_cast<uint32_t>(needed), static_cast<uint32_t>(needed));
      if (result.IsSharedEmpty()) return WStr();
      h = result.Header();
    }
    h->length = static_cast<uint32_t>(needed);
    written = convert(h->Text(), needed);
    if (written <= 0) {
      const DWORD error = ::GetLastError();
      result = WStr();
      ::SetLastError(error);
      return WStr();
    }
  }
  h->Text()[written] = 0;
  h->length = static_cast<uint32_t>(written);
  ::SetLastError(0);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Access

uint32_t WStr::MeasureLength() const noexcept {
  // Concurrent measurements of one shared buffer all store the same value.
  WStrHeader* h = Header();
  h->length = static_cast<uint32_t>(wcsnlen(text_, h->capacity));
  return h->length;
}

uint32_t WStr::CopyTo(wchar_t* out, uint32_t n) const noexcept {
  if (!out || n == 0) return 0;
  uint32_t count = Length();
  if (count > n - 1) count = n - 1;
  std::memcpy(out, text_, size_t(count) * sizeof(wchar_t));
  out[count] = 0;
  return count;
}

wchar_t* WStr::GetBuffer(uint32_t capacity) {
  if (capacity == 0) capacity = 1;
  WStrHeader* h = AllocHeader(capacity, 0);
  if (!h) return nullptr;
  h->Text()[capacity] = 0;
  Release(std::exchange(text_, h->Text()));
  return text_;
}

// ---------------------------------------------------------------------------------------------
// Append

bool WStr::Append(const wchar_t* text, size_t count) {
  if (!text || count == 0) return true;
  const uint64_t length = Length();
  // Written so that a huge count cannot wrap the sum: length + count >= 2^32.
  if (count > 0xFFFFFFFFu - length) {
    ReportOverflow(length, count);
    return false;
  }
  const uint32_t n = static_cast<uint32_t>(length + count);
  WStrHeader* h = Header();
  if (!IsSharedEmpty() && h->capacity >= n && Unshared(h)) {
    h->length = n;
    std::memmove(text_ + length, text, count * sizeof(wchar_t));  // may be this very buffer
    text_[n] = 0;
    return true;
  }
  WStrHeader* fresh = AllocHeader(GrowthCapacity(n, false), n);
  if (!fresh) return false;
  std::memcpy(fresh->Text(), text_, length * sizeof(wchar_t));
  std::memcpy(fresh->Text() + length, text, count * sizeof(wchar_t));
  fresh->Text()[n] = 0;
  Release(std::exchange(text_, fresh->Text()));
  return true;
}

bool WStr::Append(const WStr& text) { return Append(text.c_str(), text.Length()); }

bool WStr::Append(const wchar_t* text) { return text ? Append(text, std::wcslen(text)) : true; }

bool WStr::Append(wchar_t unit) { return unit ? Append(&unit, 1) : true; }

// ---------------------------------------------------------------------------------------------
// Free functions

WStr Concat(const WStr& a, const WStr& b) {
  const uint64_t lengthA = a.Length();
  const uint64_t lengthB = b.Length();
  if (lengthA + lengthB >= (uint64_t(1) << 32)) {
    ReportOverflow(lengthA, lengthB);
    return WStr();
  }
  const uint32_t n = static_cast<uint32_t>(lengthA + lengthB);
  if (n == 0) return WStr();
  WStrHeader* h = AllocHeader(n, n);
  if (!h) return WStr();
  std::memcpy(h->Text(), a.c_str(), lengthA * sizeof(wchar_t));
  std::memcpy(h->Text() + lengthA, b.c_str(), lengthB * sizeof(wchar_t));
  h->Text()[n] = 0;
  return WStr::Attach(h->Text());
}

WStr Left(const WStr& s, uint32_t n) {
  if (n == 0) return WStr();
  if (n >= s.Length()) return s;
  return WStr(s.c_str(), n);
}

bool operator==(const WStr& a, const WStr& b) noexcept {
  if (a.c_str() == b.c_str()) return true;
  const uint32_t length = a.Length();
  return length == b.Length() && std::memcmp(a.c_str(), b.c_str(), size_t(length) * sizeof(wchar_t)) == 0;
}

bool operator==(const WStr& a, const wchar_t* b) noexcept {
  if (!b) return a.IsEmpty();
  const size_t length = std::wcslen(b);
  return length == a.Length() && std::memcmp(a.c_str(), b, length * sizeof(wchar_t)) == 0;
}
