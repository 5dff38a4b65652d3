// Buffer headers of Str and WStr. Not an interface of its own: str.h includes it because the
// inline fast paths there (c_str, Length, IsEmpty, Capacity) read the header directly, and the
// containers that store string buffers (dynamic values, key arrays, path lists) hold them as
// StrHeader pointers. Callers use Str and WStr, never these records.
#pragma once

#include "reference.h"

#include <cstdint>

// Header of a Str buffer; the text (capacity + 1 bytes, always zero-terminated) follows directly
// at offset 12. The block is capacity + 16 bytes.
//
// length 0 with a non-zero first text byte means "not measured yet": the first operation that
// needs the length counts the bytes up to the terminator and stores the count (lazy length).
struct StrHeader {
  Reference ref;
  uint32_t capacity;
  uint32_t length;

  char* Text() noexcept { return reinterpret_cast<char*>(this) + sizeof(StrHeader); }
  const char* Text() const noexcept { return reinterpret_cast<const char*>(this) + sizeof(StrHeader); }
};
static_assert(sizeof(StrHeader) == 12);

// Header of a WStr buffer; the text (capacity + 1 units) follows at offset 12. The block is
// capacity * 2 + 16 bytes. Same lazy-length rule as StrHeader.
struct WStrHeader {
  Reference ref;
  uint32_t capacity;
  uint32_t length;

  wchar_t* Text() noexcept { return reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(this) + sizeof(WStrHeader)); }
  const wchar_t* Text() const noexcept {
    return reinterpret_cast<const wchar_t*>(reinterpret_cast<const char*>(this) + sizeof(WStrHeader));
  }
};
static_assert(sizeof(WStrHeader) == 12 && sizeof(wchar_t) == 2);
