// Private to the formatter: one parsed directive of a StrFormat call, the buffer a call writes
// into, and the formatting of one directive into it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format.h"
#include "handles.h"
#include "compiler.h"
#include "decimaldigits.h"
#include "shortcopy.h"

// The flags of a directive, each at most once however often it was written.
enum FormatFlag : uint8_t {
  kFormatFlagMinus = 1,  // '-'
  kFormatFlagPlus = 2,   // '+'
  kFormatFlagSpace = 4,  // ' '
  kFormatFlagHash = 8,   // '#'
  kFormatFlagZero = 16,  // '0'
};

// d, i, o, u, x and X.
inline bool IsIntegerConversion(char c) {
  switch (c) {
    case 'd': case 'i': case 'o': case 'u': case 'x': case 'X':
      return true;
    default:
      return false;
  }
}

// One directive as written, with its place in the format so that the text around it can be
// copied from the format itself. Plain data, so that a call's array of them costs nothing
// until used: the parser starts each from FormatDirective{} (all zero), and the argument
// numbers count only where their "given" or "star" flag says so.
struct FormatDirective {
  const char* begin;  // its '%'
  const char* end;    // the first character after it

  uint8_t flags;       // FormatFlag bits
  bool argumentGiven;  // "n$" written
  int32_t argument;    // the value's argument number

  bool widthGiven;
  bool widthStar;
  bool widthArgumentGiven;
  int32_t width;
  int32_t widthArgument;  // for '*'

  bool precisionGiven;
  bool precisionStar;
  bool precisionArgumentGiven;
  int32_t precision;
  int32_t precisionArgument;

  char modifier;    // 0, 'I', 'h', 'l' or 'q' (64-bit)
  uint8_t bits;     // for 'I': 8, 16, 32, 64, or 0 when no digits follow it
  char conversion;  // 0 when the directive ended without one

  uint64_t value;  // the collected argument slot

  // A text argument's length as measured for the directive (at most its precision), so that
  // it is measured once however the directive is written.
  enum Measure : uint8_t { kNotMeasured, kMeasured, kUnreadable };
  Measure measure;
  uint32_t textLength;

  // A directive that reads a value (it has a conversion).
  bool TakesValue() const noexcept { return conversion != 0; }
  // Integer conversions read the whole 64-bit slot for I64, ll, L, j, t, z and for 'I' alone
  // (the runtime's pointer-sized integer), the low 32 bits otherwise.
  bool Is64Bit() const noexcept { return modifier == 'q' || (modifier == 'I' && (bits == 64 || bits == 0)); }
  // %s and %S read the text behind the pointer.
  bool ReadsText() const noexcept { return conversion == 's' || conversion == 'S'; }
  // The argument is UTF-16 text or a UTF-16 unit: %S, %C (unless 'h'), %ls, %lc.
  bool WideArgument() const noexcept {
    if (conversion == 'S' || conversion == 'C') return modifier != 'h';
    return (conversion == 's' || conversion == 'c') && modifier == 'l';
  }
};

// The text of one call as it grows: on the stack while short, on the process heap beyond.
// Once memory runs out it stays failed and every later write is dropped.
class FormatBuffer {
 public:
  FormatBuffer() = default;
  FormatBuffer(const FormatBuffer&) = delete;
  FormatBuffer& operator=(const FormatBuffer&) = delete;

  // Room for `count` more bytes after the text; null when it cannot be had. Commit what was
  // written there.
  char* Reserve(size_t count) {
    if (capacity_ - used_ >= count) return data_ + used_;
    return Grow(count) ? data_ + used_ : nullptr;
  }
  void Commit(size_t count) noexcept { used_ += count; }

  void Append(const char* text, size_t count) {
    if (char* at = Reserve(count)) {
      CopyShort(at, text, count);
      used_ += count;
    }
  }
  void Append(char c) {
    if (char* at = Reserve(1)) {
      *at = c;
      ++used_;
    }
  }
  void Fill(char c, size_t count) {
    if (count == 0) return;
    if (char* at = Reserve(count)) {
      FillShort(at, c, count);
      used_ += count;
    }
  }
  // Drops the text from `length` on.
  void Cut(size_t length) noexcept {
    if (length < used_) used_ = length;
  }

  const char* Data() const noexcept { return data_; }
  size_t Length() const noexcept { return used_; }
  bool Failed() const noexcept { return failed_; }

 private:
  bool Grow(size_t count);

  char stack_[512];
  char* data_ = stack_;
  size_t used_ = 0;
  size_t capacity_ = sizeof stack_;
  bool failed_ = false;
  HeapMemory heap_;
};

// The text "(null)" that a null text argument gives.
extern const char kFormatNullText[7];

// The number of digits of `value` for the conversion d, i, u (decimal), o or x, X: 1 to 22.
inline uint32_t DigitCount(uint64_t value, char conversion) {
  if (conversion == 'x' || conversion == 'X') return (static_cast<uint32_t>(std::bit_width(value | 1)) + 3) / 4;
  if (conversion == 'o') return (static_cast<uint32_t>(std::bit_width(value | 1)) + 2) / 3;
  return DecimalDigitCount(value);
}

// Writes the digits of `value` for the conversion d, i, u (decimal), o or x, X so that they end
// just before `end`; returns where they start. At most 22 bytes are written.
inline char* WriteDigits(uint64_t value, char conversion, char* end) {
  char* p = end;
  if (conversion == 'x' || conversion == 'X') {
    const char* set = conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
      *--p = set[value & 15];
      value >>= 4;
    } while (value);
    return p;
  }
  if (conversion == 'o') {
    do {
      *--p = static_cast<char>('0' + (value & 7));
      value >>= 3;
    } while (value);
    return p;
  }
  return WriteDecimalDigits(value, end);
}

// Flags, width and precision as a directive applies them: a negative '*' width means left
// alignment, a negative '*' precision none at all (C rules); -1 stands for "not given".
struct FormatLayout {
  uint8_t flags;
  int64_t width;
  int64_t precision;
};

// d, i, o, u, x, X of a value of `bits` bits (16, 32 or 64; the slot's low bits) with any width
// and precision and the flags '-', '0', and for d and i also '+' and ' ', by the C rules: the
// precision is the least number of digits (a zero value with precision 0 has none) and turns the
// '0' flag off; '0' pads between the sign and the digits. The caller leaves '#', and '+' or ' '
// on an unsigned conversion, to the runtime.
struct IntegerParts {
  uint64_t magnitude;  // the value without its sign
  uint32_t count;      // digits
  uint32_t zeros;      // between the sign and the digits
  uint32_t pad;        // spaces
  uint32_t length;     // all of it
  char sign;           // 0, '-', '+' or ' '
  bool left;           // the spaces follow
};

inline IntegerParts IntegerPartsOf(uint64_t slot, char conversion, uint32_t bits, const FormatLayout& layout) {
  uint64_t value = slot;
  int64_t signedValue;
  if (bits == 64) {
    signedValue = static_cast<int64_t>(value);
  } else if (bits == 16) {
    value = static_cast<uint16_t>(value);
    signedValue = static_cast<int16_t>(value);
  } else {
    value = static_cast<uint32_t>(value);
    signedValue = static_cast<int32_t>(value);
  }
  char sign = 0;
  if (conversion == 'd' || conversion == 'i') {
    if (signedValue < 0) {
      sign = '-';
      value = 0 - static_cast<uint64_t>(signedValue);
    } else {
      value = static_cast<uint64_t>(signedValue);
      if (layout.flags & kFormatFlagPlus) sign = '+';
      else if (layout.flags & kFormatFlagSpace) sign = ' ';
    }
  }
  const uint32_t count = value != 0 || layout.precision != 0 ? DigitCount(value, conversion) : 0;
  uint32_t zeros = layout.precision > count ? static_cast<uint32_t>(layout.precision) - count : 0;
  uint32_t body = (sign ? 1 : 0) + zeros + count;
  if ((layout.flags & (kFormatFlagZero | kFormatFlagMinus)) == kFormatFlagZero && layout.precision < 0 &&
      layout.width > body) {
    zeros += static_cast<uint32_t>(layout.width) - body;
    body = static_cast<uint32_t>(layout.width);
  }
  const uint32_t pad = layout.width > body ? static_cast<uint32_t>(layout.width) - body : 0;
  return {value, count, zeros, pad, body + pad, sign, (layout.flags & kFormatFlagMinus) != 0};
}

// The length of a narrow text, at most `limit` bytes, under the guard "FmtGetWidth". False when
// the text cannot be read (a wild pointer); the fault has been reported then.
bool MeasureNarrowText(const char* text, uint32_t limit, uint32_t* length);



// The directives that WriteDirective leaves: what goes to the runtime, wide texts, texts that
// could not be read, widths or precisions beyond the limit ("(error)").
void FormatOtherDirective(FormatDirective& directive, FormatBuffer& out);

// A narrow text of `count` bytes (or the byte of a narrow %c), padded with spaces.
QEL_FORCEINLINE void AppendPaddedText(const char* text, uint32_t count, const FormatLayout& layout, FormatBuffer& out) {
  const uint32_t pad = layout.width > count ? static_cast<uint32_t>(layout.width) - count : 0;
  char* at = out.Reserve(size_t{count} + pad);
  if (!at) return;
  const bool left = layout.flags & kFormatFlagMinus;
  if (pad && !left) {
    FillShort(at, ' ', pad);
    at += pad;
  }
  CopyShort(at, text, count);
  if (pad && left) FillShort(at + count, ' ', pad);
  out.Commit(size_t{count} + pad);
}

// An integer of the forms IntegerPartsOf describes.
inline void AppendInteger(uint64_t slot, char conversion, uint32_t bits, const FormatLayout& layout,
                          FormatBuffer& out) {
  const IntegerParts parts = IntegerPartsOf(slot, conversion, bits, layout);
  char* at = out.Reserve(parts.length);
  if (!at) return;
  if (parts.pad && !parts.left) {
    FillShort(at, ' ', parts.pad);
    at += parts.pad;
  }
  if (parts.sign) *at++ = parts.sign;
  if (parts.zeros) {
    FillShort(at, '0', parts.zeros);
    at += parts.zeros;
  }
  at += parts.count;
  if (parts.count) WriteDigits(parts.magnitude, conversion, at);
  if (parts.pad && parts.left) FillShort(at, ' ', parts.pad);
  out.Commit(parts.length);
}

// The commonest integers: d, i or u without a precision, the value already without its sign.
// The same text as AppendInteger gives them, with less to decide.
QEL_FORCEINLINE void AppendDecimal(uint64_t magnitude, char sign, const FormatLayout& layout, FormatBuffer& out) {
  const uint32_t count = DecimalDigitCount(magnitude);
  const uint32_t body = (sign ? 1 : 0) + count;
  const uint32_t width = layout.width > body ? static_cast<uint32_t>(layout.width) : body;
  char* at = out.Reserve(width);
  if (!at) return;
  const uint32_t fill = width - body;
  const bool left = layout.flags & kFormatFlagMinus;
  if (fill && !left && !(layout.flags & kFormatFlagZero)) {
    FillShort(at, ' ', fill);
    at += fill;
  }
  if (sign) *at++ = sign;
  if (fill && !left && (layout.flags & kFormatFlagZero)) {
    FillShort(at, '0', fill);
    at += fill;
  }
  at += count;
  WriteDecimalDigits(magnitude, at);
  if (fill && left) FillShort(at, ' ', fill);
  out.Commit(width);
}

// Appends the directive's output for its collected value ('*' width and precision are already in
// width and precision): integers without '#', narrow texts and characters with at most the '-'
// flag written here, inline, by the Microsoft runtime's rules (an integer's '0' flag is ignored
// beside a precision, a precision on %c has no effect); the rest by FormatOtherDirective.
inline void WriteDirective(FormatDirective& d, FormatBuffer& out) {
  const char c = d.conversion;
  FormatLayout layout{d.flags, -1, -1};
  if (d.widthGiven) {
    layout.width = d.width;
    if (layout.width < 0) {
      layout.flags |= kFormatFlagMinus;
      layout.width = -layout.width;
    }
  }
  if (d.precisionGiven && d.precision >= 0) layout.precision = d.precision;
  if (layout.width <= kMaxFormatWidth && layout.precision <= kMaxFormatWidth) {
    const bool plain = (layout.flags & ~kFormatFlagMinus) == 0;  // at most '-'
    if (d.ReadsText() && plain) {
      const char* text = reinterpret_cast<const char*>(d.value);
      const uint32_t limit = layout.precision >= 0 ? static_cast<uint32_t>(layout.precision) : UINT32_MAX - 2;
      uint32_t length;
      if (!text) {
        text = kFormatNullText;
        length = limit < sizeof kFormatNullText - 1 ? limit : sizeof kFormatNullText - 1;
      } else if (d.WideArgument()) {
        FormatOtherDirective(d, out);
        return;
      } else if (!MeasureNarrowText(text, limit, &length)) {
        d.measure = FormatDirective::kUnreadable;
        FormatOtherDirective(d, out);
        return;
      }
      AppendPaddedText(text, length, layout, out);
      return;
    }
    if ((c == 'c' || c == 'C') && plain && !d.WideArgument()) {
      // The byte is the slot's lowest, which comes first in memory.
      AppendPaddedText(reinterpret_cast<const char*>(&d.value), 1, layout, out);
      return;
    }
    if ((c == 'u' || c == 'd' || c == 'i') && layout.precision < 0 && d.modifier != 'h' &&
        !(layout.flags & (kFormatFlagHash | kFormatFlagPlus | kFormatFlagSpace))) {
      uint64_t magnitude = d.value;
      char sign = 0;
      if (d.Is64Bit()) {
        if (c != 'u' && static_cast<int64_t>(magnitude) < 0) {
          sign = '-';
          magnitude = 0 - magnitude;
        }
      } else if (c != 'u' && static_cast<int32_t>(static_cast<uint32_t>(magnitude)) < 0) {
        sign = '-';
        magnitude = 0 - static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(magnitude)));
      } else {
        magnitude = static_cast<uint32_t>(magnitude);
      }
      AppendDecimal(magnitude, sign, layout, out);
      return;
    }
    if (IsIntegerConversion(c) && !(layout.flags & kFormatFlagHash) &&
        (c == 'd' || c == 'i' || !(layout.flags & (kFormatFlagPlus | kFormatFlagSpace)))) {
      AppendInteger(d.value, c, d.Is64Bit() ? 64 : d.modifier == 'h' ? 16 : 32, layout, out);
      return;
    }
  }
  FormatOtherDirective(d, out);
}
