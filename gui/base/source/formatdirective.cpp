// Formatting of one directive, and the guarded calls of the runtime's formatter.
//
// Integers, texts and characters in their common forms are written here directly; the
// runtime formats the rest (floating point, %p, the '#' flag, zero-padded texts, wide
// characters). The runtime calls are the Microsoft runtime's _vsnprintf/_vsnwprintf (msvcrt.dll
// with GCC, the UCRT's legacy form with MSVC), not the C99 vsnprintf that mingw substitutes:
// their directive set (I64, %S, %C, %hs) is the one the formats are written for, %p gives the
// same upper-case digits with either compiler, and a text that does not fit gives a negative
// result instead of a silently cut text.
#include "format.h"

#include "formatdirective.h"
#include "system.h"
#include "utf.h"

#include <algorithm>
#include <bit>
#if defined(_M_X64) || defined(__x86_64__)
#include <emmintrin.h>
#endif
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

const char kErrorText[] = "(error)";
const wchar_t kErrorTextW[] = L"(error)";
// The smallest room given to a runtime call, and the length assumed for a text that could not
// be measured.
constexpr uint32_t kDirectiveBuffer = 128;

// The runtime's formatter for each character type.
int RuntimeFormat(char* buffer, size_t count, const char* format, va_list args) {
  return _vsnprintf(buffer, count, format, args);
}
int RuntimeFormat(wchar_t* buffer, size_t count, const wchar_t* format, va_list args) {
  return _vsnwprintf(buffer, count, format, args);
}

template <typename Char>
struct RuntimeCall {
  Char* buffer;
  size_t count;
  const Char* format;
  va_list args;
  int result;
};

template <typename Char>
void CallRuntime(void* context) {
  RuntimeCall<Char>* call = static_cast<RuntimeCall<Char>*>(context);
  call->result = RuntimeFormat(call->buffer, call->count, call->format, call->args);
}

// The runtime's formatter into `count` units under the guard "qelvsnprintf" (narrow) or
// "qelvsnwprintf" (wide); -1 after a fault.
template <typename Char>
int GuardedRuntimeFormat(Char* buffer, size_t count, const Char* format, va_list args) {
  RuntimeCall<Char> call{buffer, count, format, {}, -1};
  va_copy(call.args, args);
  const char* guard = sizeof(Char) == 1 ? "qelvsnprintf" : "qelvsnwprintf";
  bool completed = RunGuarded(guard, CallRuntime<Char>, &call);
  va_end(call.args);
  return completed ? call.result : -1;
}

// One narrow directive with its one argument into `count` bytes.
int FormatOne(char* buffer, size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = GuardedRuntimeFormat(buffer, count, format, args);
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

// The length of a text, at most `limit` units, under the guard "FmtGetWidth". False when the
// text cannot be read (a wild pointer).
template <typename Char>
struct TextToMeasure {
  const Char* text;
  uint32_t limit;
  uint32_t length;
};

template <typename Char>
void MeasureGuarded(void* context) {
  auto* m = static_cast<TextToMeasure<Char>*>(context);
  const Char* text = m->text;
  const uint32_t limit = m->limit;
  uint32_t n = 0;
#if defined(_M_X64) || defined(__x86_64__)
  if constexpr (sizeof(Char) == 1) {
    // Sixteen bytes at a time where they lie in one page: protection is per page, so the scan
    // faults exactly where a byte-wise one would, and reading past the terminator or the
    // precision inside the page is harmless.
    const __m128i zero = _mm_setzero_si128();
    while (n < limit) {
      const Char* p = text + n;
      if ((reinterpret_cast<uintptr_t>(p) & 4095) <= 4096 - 16) {
        uint32_t zeros = static_cast<uint32_t>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), zero)));
        const uint32_t rest = limit - n;
        if (rest < 16) zeros |= 1u << rest;  // stop at the precision
        if (zeros) {
          n += static_cast<uint32_t>(std::countr_zero(zeros));
          break;
        }
        n += 16;
        continue;
      }
      if (!*p) break;
      ++n;
    }
    m->length = n;
    return;
  }
#endif
  while (n < limit && text[n]) ++n;
  m->length = n;
}

template <typename Char>
bool MeasureText(const Char* text, uint32_t limit, uint32_t* length) {
  TextToMeasure<Char> m{text, limit, 0};
  if (!RunGuarded("FmtGetWidth", MeasureGuarded<Char>, &m)) return false;
  *length = m.length;
  return true;
}

// A text argument's length for the directive, measured on first use and kept in it.
template <typename Char>
bool MeasuredLength(FormatDirective& d, uint32_t limit, uint32_t* length) {
  if (d.measure == FormatDirective::kNotMeasured) {
    d.measure = MeasureText(reinterpret_cast<const Char*>(d.value), limit, &d.textLength) ? FormatDirective::kMeasured
                                                                                            : FormatDirective::kUnreadable;
  }
  *length = d.textLength;
  return d.measure == FormatDirective::kMeasured;
}

bool IsFloating(char c) { return c == 'e' || c == 'E' || c == 'f' || c == 'g' || c == 'G'; }

FormatLayout LayoutOf(const FormatDirective& d) {
  FormatLayout layout{d.flags, d.widthGiven ? d.width : -1, d.precisionGiven ? d.precision : -1};
  if (d.widthGiven && layout.width < 0) {
    layout.flags |= kFormatFlagMinus;
    layout.width = -layout.width;
  }
  if (layout.precision < 0) layout.precision = -1;
  return layout;
}

// `body` bytes of output padded with spaces to the width: the room for the body, after any
// leading padding; the trailing padding follows on Finish.
class Padded {
 public:
  Padded(FormatBuffer& out, const FormatLayout& layout, size_t body)
      : out_(out), pad_(layout.width > static_cast<int64_t>(body) ? static_cast<size_t>(layout.width) - body : 0),
        left_(layout.flags & kFormatFlagMinus) {
    if (!left_) out_.Fill(' ', pad_);
  }
  void Finish() {
    if (left_) out_.Fill(' ', pad_);
  }

 private:
  FormatBuffer& out_;
  size_t pad_;
  bool left_;
};

// A UTF-16 text of `units` units as UTF-8. Width and precision count UTF-16 units, as the
// runtime's wide formatter does; text without a UTF-8 form (a lone surrogate) gives "(error)".
void FormatWideText(const wchar_t* text, uint32_t units, const FormatLayout& layout, FormatBuffer& out) {
  Padded padded(out, layout, units);
  if (units > 0) {
    const size_t room = size_t{units} * 3;
    char* at = out.Reserve(room);
    if (at) {
      int written = Utf16ToUtf8(text, static_cast<int>(units), at, static_cast<int>(std::min<size_t>(room, INT32_MAX)));
      if (written > 0) out.Commit(static_cast<size_t>(written));
      else out.Append(kErrorText, sizeof kErrorText - 1);
    }
  }
  padded.Finish();
}

// Writes the runtime's single-directive format for `d` into `format` (at least 48 bytes).
void BuildRuntimeFormat(const FormatDirective& d, const FormatLayout& layout, bool wide, char* format) {
  char* p = format;
  *p++ = '%';
  static constexpr struct {
    uint8_t bit;
    char c;
  } kFlags[] = {{kFormatFlagMinus, '-'}, {kFormatFlagPlus, '+'}, {kFormatFlagSpace, ' '}, {kFormatFlagHash, '#'},
                {kFormatFlagZero, '0'}};
  for (const auto& flag : kFlags) {
    if (layout.flags & flag.bit) *p++ = flag.c;
  }
  auto number = [&p](int64_t value) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value);
    while (n) *p++ = digits[--n];
  };
  if (layout.width >= 0) number(layout.width);
  if (layout.precision >= 0) {
    *p++ = '.';
    number(layout.precision);
  }
  const char c = d.conversion;
  if (wide) {
    *p++ = 'l';
    *p++ = c == 'S' || c == 's' ? 's' : 'c';
  } else if (IsIntegerConversion(c)) {
    if (d.Is64Bit()) {
      memcpy(p, "I64", 3);
      p += 3;
    } else if (d.modifier == 'h') {
      *p++ = 'h';
    }
    *p++ = c;
  } else {
    // Floating, pointer and narrow text and character directives need no modifier: the slot
    // already holds the double, the pointer or the byte.
    *p++ = c == 'S' ? 's' : (c == 'C' ? 'c' : c);
  }
  *p = 0;
}

// Any directive through the runtime. `textLength` is the measured length of a text argument
// (kDirectiveBuffer when it could not be measured: the call then faults again and gives
// "(error)").
void FormatThroughRuntime(const FormatDirective& d, const FormatLayout& layout, uint32_t textLength, FormatBuffer& out) {
  const char c = d.conversion;
  const bool wide = d.WideArgument();
  char format[48];
  BuildRuntimeFormat(d, layout, wide, format);

  // Room for the widest text the directive can give.
  uint64_t n = kDirectiveBuffer;
  n = std::max<uint64_t>(n, static_cast<uint64_t>(std::max<int64_t>(layout.width, 0)));
  if (layout.precision > 0) n = std::max<uint64_t>(n, static_cast<uint64_t>(layout.precision) + (c == 'f' ? 320 : 40));
  else if (c == 'f') n = std::max<uint64_t>(n, 320);  // %f of 1e308 has 309 integer digits
  n = std::max<uint64_t>(n, textLength);

  if (wide) {
    WStr wideFormat(format);
    WStr wideOutput;
    int result = d.ReadsText()
                     ? FormatOneWide(wideOutput, static_cast<uint32_t>(n), wideFormat.c_str(),
                                     reinterpret_cast<const wchar_t*>(d.value))
                     : FormatOneWide(wideOutput, static_cast<uint32_t>(n), wideFormat.c_str(),
                                     static_cast<unsigned>(d.value & 0xFFFF));
    if (result < 0) {
      out.Append(kErrorText, sizeof kErrorText - 1);
    } else if (wideOutput.Length() > 0) {
      Str text = Str::FromUtf16(wideOutput);
      // A lone surrogate has no UTF-8 form.
      if (text.IsEmpty()) out.Append(kErrorText, sizeof kErrorText - 1);
      else out.Append(text.c_str(), text.Length());
    }
    return;
  }

  const size_t start = out.Length();
  if (c == 'p') out.Append("0x", 2);
  const size_t prefix = out.Length() - start;
  // The legacy call may fill n + 1 bytes without a terminator.
  char* at = out.Reserve(n + 1);
  if (!at) return;
  int result;
  if (IsFloating(c)) {
    result = FormatOne(at, n + 1, format, std::bit_cast<double>(d.value));
  } else if (c == 'p' || d.ReadsText()) {
    result = FormatOne(at, n + 1, format, reinterpret_cast<const void*>(d.value));
  } else if (IsIntegerConversion(c) && d.Is64Bit()) {
    result = FormatOne(at, n + 1, format, static_cast<unsigned long long>(d.value));
  } else {
    result = FormatOne(at, n + 1, format, static_cast<unsigned>(d.value));
  }
  if (result < 0) {
    out.Cut(start);
    out.Append(kErrorText, sizeof kErrorText - 1);
    return;
  }
  out.Commit(static_cast<size_t>(result));
  if (result == 0 && prefix) out.Cut(start);  // no digits, no "0x"
}

}  // namespace

bool FormatBuffer::Grow(size_t count) {
  if (failed_) return false;
  // The text must fit a counted string.
  if (count > UINT32_MAX - 1 - used_) {
    failed_ = true;
    ::SetLastError(ERROR_OUTOFMEMORY);
    return false;
  }
  size_t capacity = std::max<size_t>(capacity_ * 2, used_ + count);
  capacity = std::min<size_t>(capacity, UINT32_MAX);
  void* block = heap_ ? ::HeapReAlloc(::GetProcessHeap(), 0, heap_.Get(), capacity)
                      : ::HeapAlloc(::GetProcessHeap(), 0, capacity);
  if (!block) {
    failed_ = true;
    ::SetLastError(ERROR_OUTOFMEMORY);
    return false;
  }
  if (!heap_) memcpy(block, stack_, used_);
  (void)heap_.Take();  // the same block when it grew in place, already freed when it moved
  heap_.Reset(block);
  data_ = static_cast<char*>(block);
  capacity_ = capacity;
  return true;
}

int qelvsnprintf(Str& out, uint32_t n, const char* format, va_list args) {
  if (n == 0) n = 1;
  // The call may fill n + 1 bytes without a terminator (the legacy form); one more byte of
  // capacity keeps room for the terminator written below.
  char* buffer = n < UINT32_MAX - 1 ? out.GetBuffer(n + 1, true) : nullptr;
  if (!buffer) {
    out.Assign(kErrorText, sizeof kErrorText - 1);
    return -1;
  }
  int result = GuardedRuntimeFormat(buffer, size_t{n} + 1, format, args);
  if (result < 0) {
    out.Assign(kErrorText, sizeof kErrorText - 1);
    return result;
  }
  buffer[result] = 0;
  return result;
}

int qelvsnwprintf(WStr& out, uint32_t n, const wchar_t* format, va_list args) {
  if (n == 0) n = 1;
  wchar_t* buffer = n < UINT32_MAX - 1 ? out.GetBuffer(n + 1) : nullptr;
  if (!buffer) {
    out = WStr(kErrorTextW);
    return -1;
  }
  int result = GuardedRuntimeFormat(buffer, size_t{n} + 1, format, args);
  if (result < 0) {
    out = WStr(kErrorTextW);
    return result;
  }
  buffer[result] = 0;
  return result;
}

const char kFormatNullText[7] = "(null)";

bool MeasureNarrowText(const char* text, uint32_t limit, uint32_t* length) { return MeasureText(text, limit, length); }

void FormatOtherDirective(FormatDirective& d, FormatBuffer& out) {
  const FormatLayout layout = LayoutOf(d);
  if (layout.width > kMaxFormatWidth || layout.precision > kMaxFormatWidth) {
    out.Append(kErrorText, sizeof kErrorText - 1);
    return;
  }
  // What the library does not write itself goes to the runtime, except the wide texts. A text
  // is measured once: one that could not be read (the fault has been reported) is handed to the
  // runtime with the standard room, and gives "(error)" there.
  if (d.ReadsText() && d.value != 0) {
    const uint32_t limit = layout.precision >= 0 ? static_cast<uint32_t>(layout.precision) : UINT32_MAX - 2;
    const bool wide = d.WideArgument();
    uint32_t length = 0;
    const bool measured = wide ? MeasuredLength<wchar_t>(d, limit, &length) : MeasuredLength<char>(d, limit, &length);
    if (!measured) {
      FormatThroughRuntime(d, layout, kDirectiveBuffer, out);
      return;
    }
    const bool plainLayout = (layout.flags & ~kFormatFlagMinus) == 0;
    if (plainLayout && wide) {
      FormatWideText(reinterpret_cast<const wchar_t*>(d.value), length, layout, out);
      return;
    }
    FormatThroughRuntime(d, layout, length, out);
    return;
  }
  FormatThroughRuntime(d, layout, 0, out);
}
