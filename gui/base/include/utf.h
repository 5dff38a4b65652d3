// The library's own UTF-16 <-> UTF-8 converters.
//
// Both take a count of input code units, or -1 for "up to and including the terminator" (the
// terminator is then converted too and counted in the result), and an output buffer with its size
// in output code units; an output size of 0 only measures. They return the number of output code
// units (written, or needed when measuring) and 0 on failure, with the thread's last-error value
// set as follows:
//   87   ERROR_INVALID_PARAMETER       null input or count 0
//   1113 ERROR_NO_UNICODE_TRANSLATION  ill-formed input (see below)
//   534  ERROR_ARITHMETIC_OVERFLOW     the measured total exceeds 32 bits
//   122  ERROR_INSUFFICIENT_BUFFER     the next code point's whole sequence does not fit
// On success the last-error value is left unchanged. No terminator is added beyond the input.
#pragma once

#include <cstdint>

// UTF-16 -> UTF-8. A low surrogate first, a high surrogate at the end of the input, or a high
// surrogate not followed by a low one is ill-formed.
int Utf16ToUtf8(const wchar_t* in, int count, char* out, int outSize);

// UTF-8 -> UTF-16. A lead byte 0x80-0xBF or above 0xF7, a sequence cut by the end of the input,
// a continuation byte outside 0x80-0xBF, or a code point above 0x10FFFF is ill-formed. Overlong
// forms and encoded surrogates are accepted (ED A0 80 gives the unit 0xD800).
int Utf8ToUtf16(const char* in, int count, wchar_t* out, int outSize);
