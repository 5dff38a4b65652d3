// Conversions at the Windows "W" calls of the registry and file layers (private to the library).
#pragma once

#include "str.h"
#include "win.h"

// UTF-8 -> UTF-16 for a Windows call. Text that is not well-formed UTF-8 must not reach Windows
// as an empty (and therefore different) name: false with ERROR_NO_UNICODE_TRANSLATION.
inline bool ToWide(const Str& text, WStr* wide) {
  *wide = WStr(text);
  if (wide->IsEmpty() && !text.IsEmpty()) {
    ::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  return true;
}

// Calls `fill(buffer, size)` (a Windows call that answers the units written, or the size it
// needs when the buffer is too small, or 0 on failure) with a growing buffer, so that a long
// result is never cut. `exact` tells whether the call answers exactly `size` when it cut the
// result (GetModuleFileNameW) instead of the size it needs.
template <typename Fill>
Str FillWide(DWORD firstSize, bool exact, Fill fill) {
  DWORD size = firstSize;
  for (int attempt = 0; attempt < 8; ++attempt) {
    WStr buffer;
    wchar_t* text = buffer.GetBuffer(size);
    if (!text) return Str();
    DWORD n = fill(text, size);
    if (n == 0) return Str();
    if (n < size) return Str::FromUtf16(text, static_cast<int>(n));
    DWORD next = exact ? size * 2 : n + 1;
    if (next <= size || next > 0x10000) {
      ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return Str();
    }
    size = next;
  }
  ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return Str();
}
