// Private to the base library: decimal digits of unsigned integers, for the formatter and the
// JSON writer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

// The number of decimal digits of `value`: 1 to 20. The bit length gives the count to within
// one (1233 / 4096 is just above log10(2)); one comparison with a power of ten settles it.
inline uint32_t DecimalDigitCount(uint64_t value) {
  static constexpr uint64_t kPowers[20] = {1ull,
                                           10ull,
                                           100ull,
                                           1000ull,
                                           10000ull,
                                           100000ull,
                                           1000000ull,
                                           10000000ull,
                                           100000000ull,
                                           1000000000ull,
                                           10000000000ull,
                                           100000000000ull,
                                           1000000000000ull,
                                           10000000000000ull,
                                           100000000000000ull,
                                           1000000000000000ull,
                                           10000000000000000ull,
                                           100000000000000000ull,
                                           1000000000000000000ull,
                                           10000000000000000000ull};
  // value | 1: 0 has one digit, and no power of ten from 10 on is odd, so it changes no count.
  const uint64_t v = value | 1;
  const uint32_t estimate = static_cast<uint32_t>(std::bit_width(v)) * 1233 >> 12;
  return estimate + (v >= kPowers[estimate] ? 1 : 0);
}

// Writes the decimal digits of `value` so that they end just before `end`; returns where they
// start. Two digits per step from a table, and constant divisors, which become
// multiplications; 32-bit ones are cheaper still.
inline char* WriteDecimalDigits(uint64_t value, char* end) {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  char* p = end;
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
  return p;
}
