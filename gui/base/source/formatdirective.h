// Private to the formatter: one parsed directive of a StrFormat call, the buffer a call writes
// into, and the formatting of one directive into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "handles.h"
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

  // A directive that reads a value (it has a conversion).
  bool TakesValue() const noexcept { return conversion != 0; }
  // Integer conversions read the whole 64-bit slot for I64, ll, L, j, t, z and for 'I' alone
  // (the runtime's pointer-sized integer), the low 32 bits otherwise.
  bool Is64Bit() const noexcept { return modifier == 'q' || (modifier == 'I' && (bits == 64 || bits == 0)); }
  // %s and %S read the text behind the pointer.
  bool ReadsText() const noexcept { return conversion == 's' || conversion == 'S'; }
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
    if (char* at = Reserve(count)) {
      memset(at, c, count);
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

// The number of digits of `value` for the conversion d, i, u (decimal), o or x, X: 1 to 22.
inline uint32_t DigitCount(uint64_t value, char conversion) {
  if (conversion == 'x' || conversion == 'X' || conversion == 'o') {
    uint32_t bits = 1;
    while (bits < 64 && (value >> bits) != 0) ++bits;
    return conversion == 'o' ? (bits + 2) / 3 : (bits + 3) / 4;
  }
  uint32_t count = 1;
  for (uint64_t limit = 10; value >= limit; limit *= 10) {
    ++count;
    if (count == 20) break;  // 10^20 does not fit 64 bits
  }
  return count;
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
  } else if (conversion == 'o') {
    do {
      *--p = static_cast<char>('0' + (value & 7));
      value >>= 3;
    } while (value);
  } else {
    // Two digits per step from a table, and constant divisors, which become multiplications;
    // 32-bit ones are cheaper still.
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    while (value > UINT32_MAX) {
      const uint32_t pair = static_cast<uint32_t>(value % 100);
      value /= 100;
      p -= 2;
      memcpy(p, kPairs + 2 * pair, 2);
    }
    uint32_t low = static_cast<uint32_t>(value);
    while (low >= 100) {
      const uint32_t pair = low % 100;
      low /= 100;
      p -= 2;
      memcpy(p, kPairs + 2 * pair, 2);
    }
    if (low >= 10) {
      p -= 2;
      memcpy(p, kPairs + 2 * low, 2);
    } else {
      *--p = static_cast<char>('0' + low);
    }
  }
  return p;
}

// Appends the directive's output for its collected value; '*' width and precision are already
// in width and precision.
void FormatDirectiveOutput(const FormatDirective& directive, FormatBuffer& out);
