// Private to the formatter: one parsed directive of a StrFormat call and its formatting.
#pragma once

#include "str.h"

#include <cstdint>

// One item of a parsed format: the literal text before a directive, the directive and, once
// formatted, its output. The item after the last directive holds only the trailing literal.
// Items come from the particle allocator and are chained in format order.
struct FormatDirective {
  FormatDirective* next = nullptr;
  Str literal;

  bool hasDirective = false;
  bool argumentGiven = false;  // "n$" written
  int32_t argument = -1;       // the value's argument number
  Str flags;                   // as written: any of " #+-0"

  bool widthGiven = false;
  bool widthStar = false;
  int32_t width = 0;
  int32_t widthArgument = -1;  // for '*'
  bool widthArgumentGiven = false;

  bool precisionGiven = false;
  bool precisionStar = false;
  int32_t precision = 0;
  int32_t precisionArgument = -1;
  bool precisionArgumentGiven = false;

  char modifier = 0;   // 0, 'I', 'h', 'l' or 'q' (64-bit)
  uint8_t bits = 0;    // for 'I': 8, 16, 32, 64, or 0 when no digits follow it
  char conversion = 0; // 0 when the directive ended without one

  uint64_t value = 0;  // the collected argument slot
  bool collected = false;

  Str output;

  // A directive that reads a value (it has a conversion).
  bool TakesValue() const noexcept { return hasDirective && conversion != 0; }
  // Integer conversions read the whole 64-bit slot for I64, ll, L, j, t, z and for 'I' alone
  // (the runtime's pointer-sized integer), the low 32 bits otherwise.
  bool Is64Bit() const noexcept { return modifier == 'q' || (modifier == 'I' && (bits == 64 || bits == 0)); }
};

// Formats the directive's collected value (and '*' width and precision, already stored in
// width and precision) into its output.
void FormatDirectiveOutput(FormatDirective& directive);
