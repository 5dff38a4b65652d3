// Counted strings: the UTF-8 string Str and its UTF-16 twin WStr.
//
// Both are one pointer to a shared buffer from the particle allocator whose header holds the use
// count, the capacity and the length. A buffer whose count is 2 or more is never written; the one
// handle that holds a buffer with count 1 may write it in place (copy-on-write). Failures are
// reported (events 1, 2, 600, 601 of source "QELGUI") and leave the target unchanged or empty with
// the last-error value ERROR_OUTOFMEMORY; nothing throws.
//
// Lengths, positions and capacities are code units: bytes for Str, 16-bit units for WStr.
#pragma once

#include "reference.h"
#include "strbuffer.h"
#include "utf.h"

#include <cstddef>
#include <cstdint>
#include <utility>

// ---------------------------------------------------------------------------------------------
// Str: UTF-8 text. A null pointer is the empty string.

class WStr;

class Str {
 public:
  Str() noexcept = default;
  // Exact-size copy of a zero-terminated text; null or "" gives the empty (null) Str.
  Str(const char* text);
  // Exact-size copy of a run of bytes (which may contain zero bytes); count 0 gives the empty Str.
  Str(const char* text, size_t count);
  Str(const Str& other) noexcept : h_(other.h_) {
    if (h_) LinkReference(&h_->ref);
  }
  Str(Str&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  // The new target is Linked before the old one is Unlinked: self-assignment is safe.
  Str& operator=(const Str& other) noexcept;
  Str& operator=(Str&& other) noexcept;
  ~Str() { Release(h_); }

  // The text, never null: a static "" for the empty Str.
  const char* c_str() const noexcept { return h_ ? h_->Text() : ""; }
  // Length in bytes, measured and stored first if the header says "not measured".
  uint32_t Length() const noexcept {
    if (!h_) return 0;
    if (h_->length == 0 && h_->Text()[0] != 0) [[unlikely]]
      return MeasureLength();
    return h_->length;
  }
  bool IsEmpty() const noexcept { return !h_ || (h_->length == 0 && h_->Text()[0] == 0); }
  uint32_t Capacity() const noexcept { return h_ ? h_->capacity : 0; }
  char operator[](uint32_t index) const noexcept { return c_str()[index]; }

  // Appends a run of `count` bytes: in place when this handle is the only owner and the capacity
  // suffices, else into a new buffer sized by the growth policy (`fast` for text builders).
  // Appending 0 bytes does nothing. A total of 2^32 bytes or more reports event 2 ("String
  // overflow detected"), sets ERROR_OUTOFMEMORY and leaves the string unchanged (false); so does
  // a failed allocation (event 1).
  bool Append(const char* text, size_t count, bool fast = false);
  bool Append(const Str& text);
  // A zero-terminated text; null appends nothing.
  bool Append(const char* text);
  // One byte; the zero byte appends nothing.
  bool Append(char c);
  // UTF-16 text through the library's encoder; ill-formed text appends nothing (false).
  bool Append(const WStr& text);
  // One UTF-16 unit through the encoder; the zero unit and a lone surrogate append nothing.
  bool AppendUnit(wchar_t unit);

  // Replaces the content by a run: in place when unshared, large enough and the run does not lie
  // inside this buffer; otherwise a new exact-size buffer. count 0 empties the string.
  bool Assign(const char* text, size_t count);
  Str& operator=(const char* text);

  // Hands out a writable buffer of at least `capacity` bytes (at least 1) with length 0 and zero
  // bytes at positions 0 and `capacity`. The caller writes at most `capacity` bytes and a
  // terminator; the length is then measured lazily. The plain form always allocates a new
  // buffer; with `reuse` (the formatter's form) an unshared buffer of enough capacity is kept.
  // Null on allocation failure (the string is then unchanged).
  char* GetBuffer(uint32_t capacity, bool reuse = false);

  // Makes the string empty (null), releasing its buffer.
  void Clear() noexcept { Release(std::exchange(h_, nullptr)); }

  // UTF-16 -> UTF-8 by the two-pass conversion; count -1 means zero-terminated. Ill-formed text
  // gives the empty Str with the converter's last-error value; success sets the last error to 0.
  static Str FromUtf16(const wchar_t* text, int count = -1);
  static Str FromUtf16(const WStr& text);
  // Text in a code page: 65001 (CP_UTF8) uses the library's encoder, any other code page
  // WideCharToMultiByte with the same two-pass sizing.
  static Str FromCodePage(unsigned codePage, const wchar_t* text, int count = -1);

  // Searching on the UTF-8 bytes, byte by byte whatever the ANSI code page; FindNoCase folds
  // ASCII letters only. Byte offsets, -1 when not found. A search ends at the first zero byte;
  // the zero byte and the empty text are never found; `start` beyond the length finds nothing.
  int32_t Find(char c, uint32_t start = 0) const noexcept;
  int32_t FindNoCase(char c, uint32_t start = 0) const noexcept;
  int32_t FindLast(char c) const noexcept;
  int32_t Find(const char* text, uint32_t start = 0) const noexcept;

  // Raw access for containers that store string buffers (dynamic values, arrays).
  StrHeader* Header() const noexcept { return h_; }
  // Hands this handle's reference to the caller; the Str becomes empty.
  [[nodiscard]] StrHeader* Detach() noexcept { return std::exchange(h_, nullptr); }
  // Takes over one reference the caller holds on `header` (null is the empty Str).
  [[nodiscard]] static Str Attach(StrHeader* header) noexcept {
    Str s;
    s.h_ = header;
    return s;
  }
  // Unlinks a buffer and frees it at count 0 (null is ignored).
  static void Release(StrHeader* header) noexcept;

  // For tests and diagnostics: the buffer's address (null for the empty Str) and its count.
  const void* BufferIdentity() const noexcept { return h_; }
  int32_t UseCount() const noexcept { return h_ ? ReferenceCount(&h_->ref) : 0; }

 private:
  // Lazy length: counts the bytes up to the terminator and stores the count in the header.
  uint32_t MeasureLength() const noexcept;

  StrHeader* h_ = nullptr;
};

// A new buffer with the rounded capacity for `capacity`, count 1, the given length and a zero
// first byte; capacity 0 gives the empty Str. A failure reports event 1 and gives the empty Str.
Str StrAlloc(uint32_t capacity, uint32_t length);

inline uint32_t Length(const Str& s) noexcept { return s.Length(); }

// a followed by b (a shared, then b appended with the normal policy).
Str Concat(const Str& a, const Str& b);
// a followed by one byte.
Str Concat(const Str& a, char c);
// Empty for n = 0, a shared copy when n >= length, else a new string of the first n bytes.
Str Left(const Str& s, uint32_t n);
// Empty for count 0, empty s or start >= length; count is cut to length - start.
Str Mid(const Str& s, uint32_t start, uint32_t count);
// Strips one pair of enclosing characters. close 0 defaults by open: ( ) < > [ ] { }, any other
// open to itself. Applies when s has at least 2 bytes, starts with open and its last character
// (the lead byte of its last UTF-8 sequence) is close; otherwise the result shares s.
Str Unquote(const Str& s, char open, char close = 0);
// Without ASCII white space (space, \t, \n, \v, \f, \r) at both ends; shares s when neither
// end is white space.
Str Trim(const Str& s);

// Locale comparison with CompareStringW in the thread's locale (byte comparison if that fails):
// -1, 0 or 1. CompareN compares the first n bytes of each. Detail beyond the design: a text that
// does not decode as UTF-8 (CompareN cutting a sequence in two) is compared by its bytes too,
// since its UTF-16 form would be empty.
int Compare(const Str& a, const Str& b);
int CompareNoCase(const Str& a, const Str& b);
int CompareN(const Str& a, const Str& b, uint32_t n);

// Case mapping in place: ASCII letters always; a multi-byte sequence only if its mapped form has
// the same byte count. The length never changes. A shared buffer is copied first.
void ToUpper(Str& s);
void ToLower(Str& s);

// Byte-exact equality.
bool operator==(const Str& a, const Str& b) noexcept;
bool operator==(const Str& a, const char* b) noexcept;

// ---------------------------------------------------------------------------------------------
// WStr: UTF-16 text for the Windows "W" calls. Never null: the empty WStr is one process-wide
// static buffer (capacity 0, length 0) that is never counted down or freed. Detail: its count is
// constant-initialised to 1 (the design raises it from 0 to 1 at first use; no caller can tell
// the difference), and copies of it are not counted up either, so its count never changes.

class WStr {
 public:
  // The shared empty buffer.
  WStr() noexcept;
  // Exact copy of a zero-terminated UTF-16 text; null or "" gives the shared empty buffer.
  WStr(const wchar_t* text);
  // Exact copy of a run of units.
  WStr(const wchar_t* text, size_t count);
  // UTF-8 through the library's decoder, exactly sized; ill-formed text gives the empty WStr.
  explicit WStr(const char* utf8);
  explicit WStr(const Str& utf8);
  WStr(const WStr& other) noexcept;
  // The moved-from WStr is the shared empty buffer.
  WStr(WStr&& other) noexcept;
  WStr& operator=(const WStr& other) noexcept;
  WStr& operator=(WStr&& other) noexcept;
  ~WStr() { Release(text_); }

  // Text in a code page: 65001 uses the library's decoder, any other code page
  // MultiByteToWideChar with the two-pass sizing. count -1 means zero-terminated.
  static WStr FromCodePage(unsigned codePage, const char* text, int count = -1);

  const wchar_t* c_str() const noexcept { return text_; }
  // Length in units, measured and stored first if the header says "not measured".
  uint32_t Length() const noexcept {
    WStrHeader* h = Header();
    if (h->length == 0 && text_[0] != 0) [[unlikely]]
      return MeasureLength();
    return h->length;
  }
  bool IsEmpty() const noexcept { return Header()->length == 0 && text_[0] == 0; }
  uint32_t Capacity() const noexcept { return Header()->capacity; }

  // Appends with the normal growth policy (event 601 on overflow, 600 on allocation failure;
  // the text then stays unchanged and the result is false).
  bool Append(const wchar_t* text, size_t count);
  bool Append(const WStr& text);
  bool Append(const wchar_t* text);
  // The zero unit appends nothing.
  bool Append(wchar_t unit);

  // A writable buffer of at least `capacity` units (new, unshared), length 0, zero units at 0
  // and `capacity`; the length is measured lazily. Null on failure (the text is then unchanged).
  wchar_t* GetBuffer(uint32_t capacity);

  // Copies into out[0..n): at most n - 1 units of text and a terminator. Returns the number of
  // text units copied. n = 0 copies nothing.
  uint32_t CopyTo(wchar_t* out, uint32_t n) const noexcept;

  WStrHeader* Header() const noexcept {
    return reinterpret_cast<WStrHeader*>(reinterpret_cast<char*>(text_) - sizeof(WStrHeader));
  }
  bool IsSharedEmpty() const noexcept;
  const void* BufferIdentity() const noexcept { return Header(); }
  int32_t UseCount() const noexcept { return ReferenceCount(&Header()->ref); }

  // The process-wide empty buffer's text.
  static wchar_t* SharedEmpty() noexcept;
  // Takes over one reference on the buffer whose text is `text` (never null).
  [[nodiscard]] static WStr Attach(wchar_t* text) noexcept {
    WStr s(text, AttachTag{});
    return s;
  }
  // Hands this handle's reference to the caller; the WStr becomes the shared empty buffer.
  [[nodiscard]] wchar_t* Detach() noexcept { return std::exchange(text_, SharedEmpty()); }
  // Unlinks a buffer (the shared empty buffer is never counted down).
  static void Release(wchar_t* text) noexcept;

 private:
  struct AttachTag {};
  uint32_t MeasureLength() const noexcept;
  WStr(wchar_t* text, AttachTag) noexcept : text_(text) {}
  wchar_t* text_;
};

// A new WStr buffer with the rounded capacity, count 1, the given length, zero first unit;
// capacity 0 gives the shared empty buffer; failure reports event 600.
WStr WStrAlloc(uint32_t capacity, uint32_t length);

// a followed by b in an exactly sized new buffer (event 601 on overflow).
WStr Concat(const WStr& a, const WStr& b);
// The first n units (the whole text, shared, when n >= length; empty for n = 0).
WStr Left(const WStr& s, uint32_t n);

bool operator==(const WStr& a, const WStr& b) noexcept;
bool operator==(const WStr& a, const wchar_t* b) noexcept;
