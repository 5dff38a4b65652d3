// Formatting of one directive, and the guarded calls of the runtime's formatter.
//
// The runtime calls are the Microsoft runtime's _vsnprintf/_vsnwprintf (msvcrt.dll with GCC,
// the UCRT's legacy form with MSVC), not the C99 vsnprintf that mingw substitutes: their
// directive set (I64, %S, %C, %hs) is the one the formats are written for, %p gives the same
// upper-case digits with either compiler, and a text that does not fit gives a negative result
// instead of a silently cut text.
#include "format.h"

#include "formatdirective.h"
#include "system.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

const char kErrorText[] = "(error)";
const wchar_t kErrorTextW[] = L"(error)";
constexpr uint32_t kDirectiveBuffer = 128;

struct NarrowCall {
  char* buffer;
  size_t count;
  const char* format;
  va_list args;
  int result;
};

struct WideCall {
  wchar_t* buffer;
  size_t count;
  const wchar_t* format;
  va_list args;
  int result;
};

void CallNarrow(void* context) {
  NarrowCall* call = static_cast<NarrowCall*>(context);
  call->result = _vsnprintf(call->buffer, call->count, call->format, call->args);
}

void CallWide(void* context) {
  WideCall* call = static_cast<WideCall*>(context);
  call->result = _vsnwprintf(call->buffer, call->count, call->format, call->args);
}

// Runs one narrow directive through the runtime; the one argument follows the format.
int FormatOne(Str& out, uint32_t n, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = qelvsnprintf(out, n, format, args);
  va_end(args);
  return result;
}

int FormatOneWide(WStr& out, uint32_t n, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  int result = qelvsnwprintf(out, n, format, args);
  va_end(args);
  return result;
}

// The length of a text argument for the buffer size, at most `limit` units. A wild pointer
// faults here first; the length then counts as the default buffer size, and the formatting
// call that follows faults again and gives "(error)".
template <typename Char>
uint32_t MeasureText(const Char* text, uint32_t limit) {
  size_t length = kDirectiveBuffer;
  RunGuarded("FmtGetWidth", [&] {
    size_t n = 0;
    while (n < limit && text[n]) ++n;
    length = n;
  });
  return static_cast<uint32_t>(length);
}

void AppendDigits(Str& out, uint64_t value, unsigned base, bool upper) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* p = end;
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    *--p = set[value % base];
    value /= base;
  } while (value);
  out.Append(p, static_cast<size_t>(end - p));
}

// d, i, o, u, x, X without flags, width or precision: no runtime call needed.
void FormatIntegerDirectly(FormatDirective& d) {
  uint64_t value = d.value;
  bool is64 = d.Is64Bit();
  bool isSigned = d.conversion == 'd' || d.conversion == 'i';
  int64_t signedValue;
  // 'h' narrows to 16 bits, as the runtime does for the same directive with a width.
  if (is64) {
    signedValue = static_cast<int64_t>(value);
  } else if (d.modifier == 'h') {
    value = static_cast<uint16_t>(value);
    signedValue = static_cast<int16_t>(value);
  } else {
    value = static_cast<uint32_t>(value);
    signedValue = static_cast<int32_t>(value);
  }
  if (isSigned && signedValue < 0) {
    d.output.Append('-');
    AppendDigits(d.output, 0 - static_cast<uint64_t>(signedValue), 10, false);
    return;
  }
  unsigned base = d.conversion == 'o' ? 8 : (d.conversion == 'x' || d.conversion == 'X') ? 16 : 10;
  AppendDigits(d.output, value, base, d.conversion == 'X');
}

bool IsWideArgument(const FormatDirective& d) {
  switch (d.conversion) {
    case 'S':
    case 'C':
      return d.modifier != 'h';
    case 's':
    case 'c':
      return d.modifier == 'l';
    default:
      return false;
  }
}

bool IsFloating(char c) { return c == 'e' || c == 'E' || c == 'f' || c == 'g' || c == 'G'; }

}  // namespace

int qelvsnprintf(Str& out, uint32_t n, const char* format, va_list args) {
  if (n == 0) n = 1;
  // The call may fill n + 1 bytes without a terminator (the legacy form); one more byte of
  // capacity keeps room for the terminator written below.
  char* buffer = n < UINT32_MAX - 1 ? out.GetBuffer(n + 1, true) : nullptr;
  if (!buffer) {
    out.Assign(kErrorText, sizeof kErrorText - 1);
    return -1;
  }
  NarrowCall call{buffer, size_t{n} + 1, format, {}, -1};
  va_copy(call.args, args);
  bool completed = RunGuarded("qelvsnprintf", CallNarrow, &call);
  va_end(call.args);
  if (!completed || call.result < 0) {
    out.Assign(kErrorText, sizeof kErrorText - 1);
    return completed ? call.result : -1;
  }
  buffer[call.result] = 0;
  return call.result;
}

int qelvsnwprintf(WStr& out, uint32_t n, const wchar_t* format, va_list args) {
  if (n == 0) n = 1;
  wchar_t* buffer = n < UINT32_MAX - 1 ? out.GetBuffer(n + 1) : nullptr;
  if (!buffer) {
    out = WStr(kErrorTextW);
    return -1;
  }
  WideCall call{buffer, size_t{n} + 1, format, {}, -1};
  va_copy(call.args, args);
  bool completed = RunGuarded("qelvsnwprintf", CallWide, &call);
  va_end(call.args);
  if (!completed || call.result < 0) {
    out = WStr(kErrorTextW);
    return completed ? call.result : -1;
  }
  buffer[call.result] = 0;
  return call.result;
}

void FormatDirectiveOutput(FormatDirective& d) {
  const char c = d.conversion;
  if (strchr("diouxX", c) && d.flags.IsEmpty() && !d.widthGiven && !d.precisionGiven) {
    FormatIntegerDirectly(d);
    return;
  }

  const bool wide = IsWideArgument(d);
  const bool text = c == 's' || c == 'S';
  if (text && d.value == 0) {
    d.output = "(null)";
    return;
  }

  // The single-directive format, with '*' values written out.
  Str flags = d.flags;
  int64_t width = d.widthGiven ? d.width : -1;
  int64_t precision = d.precisionGiven ? d.precision : -1;
  // A negative '*' width means left alignment, a negative '*' precision none at all (C rules).
  if (d.widthGiven && width < 0) {
    flags.Append('-');
    width = -width;
  }
  if (precision < 0) precision = -1;
  // Widths and precisions from a broken caller would otherwise make the runtime fill gigabytes.
  if (width > kMaxFormatWidth || precision > kMaxFormatWidth) {
    d.output = kErrorText;
    return;
  }

  char format[64];
  int used = snprintf(format, sizeof format, "%%%s", flags.c_str());
  if (used < 0 || used >= static_cast<int>(sizeof format) - 40) {
    d.output = kErrorText;  // a run of flags no runtime needs
    return;
  }
  if (width >= 0) used += snprintf(format + used, sizeof format - used, "%lld", static_cast<long long>(width));
  if (precision >= 0) used += snprintf(format + used, sizeof format - used, ".%lld", static_cast<long long>(precision));
  if (wide) {
    used += snprintf(format + used, sizeof format - used, "l%c", c == 'S' || c == 's' ? 's' : 'c');
  } else if (strchr("diouxX", c)) {
    const char* modifier = d.Is64Bit() ? "I64" : (d.modifier == 'h' ? "h" : "");
    used += snprintf(format + used, sizeof format - used, "%s%c", modifier, c);
  } else {
    // Floating, pointer and narrow text and character directives need no modifier: the slot
    // already holds the double, the pointer or the byte.
    used += snprintf(format + used, sizeof format - used, "%c", c == 'S' ? 's' : (c == 'C' ? 'c' : c));
  }

  // Room for the widest text the directive can give.
  uint64_t n = kDirectiveBuffer;
  n = std::max<uint64_t>(n, static_cast<uint64_t>(std::max<int64_t>(width, 0)));
  if (precision > 0) n = std::max<uint64_t>(n, static_cast<uint64_t>(precision) + (c == 'f' ? 320 : 40));
  else if (c == 'f') n = std::max<uint64_t>(n, 320);  // %f of 1e308 has 309 integer digits
  if (text) {
    uint32_t limit = precision >= 0 ? static_cast<uint32_t>(precision) : UINT32_MAX - 2;
    uint32_t length = wide ? MeasureText(reinterpret_cast<const wchar_t*>(d.value), limit)
                           : MeasureText(reinterpret_cast<const char*>(d.value), limit);
    n = std::max<uint64_t>(n, length);
  }
  if (n >= UINT32_MAX - 2) {
    d.output = kErrorText;
    return;
  }
  const uint32_t size = static_cast<uint32_t>(n);

  if (wide) {
    WStr wideFormat(format);
    WStr wideOutput;
    int result = c == 'S' || c == 's'
                     ? FormatOneWide(wideOutput, size, wideFormat.c_str(), reinterpret_cast<const wchar_t*>(d.value))
                     : FormatOneWide(wideOutput, size, wideFormat.c_str(), static_cast<unsigned>(d.value & 0xFFFF));
    // A lone surrogate has no UTF-8 form.
    if (result >= 0 && wideOutput.Length() > 0) {
      d.output = Str::FromUtf16(wideOutput);
      if (d.output.IsEmpty()) d.output = kErrorText;
    } else if (result < 0) {
      d.output = kErrorText;
    }
    return;
  }

  int result;
  if (IsFloating(c)) {
    result = FormatOne(d.output, size, format, std::bit_cast<double>(d.value));
  } else if (c == 'p' || text) {
    result = FormatOne(d.output, size, format, reinterpret_cast<const void*>(d.value));
  } else if (strchr("diouxX", c) && d.Is64Bit()) {
    result = FormatOne(d.output, size, format, static_cast<unsigned long long>(d.value));
  } else {
    result = FormatOne(d.output, size, format, static_cast<unsigned>(d.value));
  }
  if (c == 'p' && result > 0) {
    Str prefixed("0x");
    prefixed.Append(d.output);
    d.output = std::move(prefixed);
  }
}
