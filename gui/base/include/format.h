// Text formatting into counted strings, the strict unsigned-number parser and the locale's
// number texts.
#pragma once

#include "str.h"
#include "win.h"

#include <cstdarg>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// printf-style formatting into a Str

// The most directives one format may hold. The text from the next directive on is copied as it
// stands, and no argument is read for it.
constexpr uint32_t kMaxFormatDirectives = 127;
// The highest argument number a positional directive may name (three per directive: width,
// precision and value). Higher numbers reject the format.
constexpr uint32_t kMaxFormatArgument = 3 * kMaxFormatDirectives;
// Widths and precisions above this are not passed to the runtime; the directive gives "(error)".
constexpr int32_t kMaxFormatWidth = 1 << 20;

// Formats into `out` with the platform runtime's printf directives (flags " #+-0", width and
// precision with '*', the modifiers I, I8/16/32/64, h, hh, l, ll, L, j, t, z and the conversions
// C E G S X c d e f g i o p s u x) plus positional arguments: "%2$s" is the second argument,
// "%*1$d" takes the width from the first. A format uses either numbered or unnumbered
// arguments throughout. Every argument occupies one 64-bit slot; %d, %u, %x, %c and the like
// read its low 32 bits, I64, ll, L, j, t, z its whole. %s and %hs take UTF-8, %ls and %S
// UTF-16 (the output is UTF-8 either way); a null text gives "(null)". %p gives "0x" and the
// pointer's digits. A directive whose argument cannot be read (a wild pointer) gives "(error)".
// A directive with an unknown conversion gives nothing and its letter stays in the text.
// Integers, texts and characters are written by the library itself, by the Microsoft
// runtime's rules (an integer's '0' flag is ignored beside a precision, a precision on %c has no
// effect); floating point, %p and the rarer forms go to the runtime.
//
// Returns false and leaves `out` empty when the format is null or rejected (numbered and
// unnumbered arguments mixed, argument number 0 or above kMaxFormatArgument), or on
// allocation failure. `out` may be one of the arguments' owners: the text is built aside first.
bool StrFormat(Str& out, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 2, 3)))
#endif
    ;
bool StrFormatV(Str& out, const char* format, va_list args);

// One call of the runtime's _vsnprintf (the Microsoft runtime's form: a negative result when the
// text does not fit) under the exception guard "qelvsnprintf". `out` receives the text of at
// most n + 1 bytes; its buffer is reused when it is unshared and large enough. A negative
// result or a fault makes `out` the text "(error)". Returns the runtime's result (-1 after a
// fault).
int qelvsnprintf(Str& out, uint32_t n, const char* format, va_list args);
// The UTF-16 twin over _vsnwprintf, guard "qelvsnwprintf".
int qelvsnwprintf(WStr& out, uint32_t n, const wchar_t* format, va_list args);

// ---------------------------------------------------------------------------------------------
// Number parsing

// Results of ParseUInt32 and ParseUInt64.
constexpr int kParseOk = 0;
constexpr int kParseEmpty = -1;    // null text, or only white space
constexpr int kParseInvalid = -2;  // no digits, overflow, or characters after the number

// Parses an unsigned number: optional leading white space; with `acceptSign`, a '+', the
// locale's positive sign or its negative sign (the value is never negated: a negative sign is
// accepted only before a zero value); "0x"/"0X" and hexadecimal digits, or decimal digits, at
// most `maxDigits` of them. With `end`, *end receives the first unread character; without it,
// only white space may follow. `*result` is written on success only.
int ParseUInt32(const char* text, const char** end, uint32_t* result, bool acceptSign = false,
                uint32_t maxDigits = UINT32_MAX);
int ParseUInt64(const char* text, const char** end, uint64_t* result, bool acceptSign = false,
                uint32_t maxDigits = UINT32_MAX);

// ---------------------------------------------------------------------------------------------
// The thread locale's texts and numbers

// One item of the thread's locale (GetLocaleInfoW) as UTF-8 into `out`; `defaultText` when the
// item cannot be read. Returns true when the item was read.
bool GetLocaleText(LCTYPE item, const char* defaultText, Str& out);
// A numeric item of the thread's locale; `defaultValue` when it cannot be read or parsed.
uint32_t GetLocaleNumber(LCTYPE item, uint32_t defaultValue);

// The display form of a number in the thread's locale, with `fractionDigits` digits after the
// decimal separator (0 to 100): negative sign, integer digits grouped by the thousands
// separator, decimal separator, fraction. Infinities and NaN give false, an empty `out` and the
// last error ERROR_INVALID_PARAMETER.
bool FormatLocaleNumber(Str& out, double value, int fractionDigits);
