// StrFormat: the direct path for formats of plain integers, and the general path: the format
// is parsed into directives, the arguments are collected, and the text is built in one buffer
// and then copied into an exactly sized string.
#include "format.h"

#include "compiler.h"
#include "formatdirective.h"

#include <climits>
#include <cstring>

namespace {

// Every variadic argument occupies one 64-bit slot on this platform; the collector relies on it.
static_assert(sizeof(void*) == 8 && sizeof(double) == 8, "argument slots are 64 bits wide");

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits, saturating at INT_MAX (which every limit check rejects).
int32_t ReadNumber(const char*& p) {
  int64_t value = 0;
  while (IsDigit(*p)) {
    value = value * 10 + (*p++ - '0');
    if (value > INT_MAX) value = INT_MAX;
  }
  return static_cast<int32_t>(value);
}

// "digits$" at p: the argument number, p moved past the '$'. Otherwise p stays and -1.
int32_t ReadArgumentNumber(const char*& p) {
  const char* q = p;
  if (!IsDigit(*q)) return -1;
  int32_t number = ReadNumber(q);
  if (*q != '$') return -1;
  p = q + 1;
  return number;
}

bool IsConversion(char c) {
  switch (c) {
    case 'C': case 'E': case 'G': case 'S': case 'X': case 'c': case 'd': case 'e':
    case 'f': case 'g': case 'i': case 'o': case 'p': case 's': case 'u': case 'x':
      return true;
    default:
      return false;
  }
}

// Parses one directive after its '%'. Returns the position after it; an unknown conversion
// character is not consumed, so it becomes literal text.
const char* ParseDirective(const char* p, FormatDirective& d) {
  if (int32_t number = ReadArgumentNumber(p); number >= 0) {
    d.argumentGiven = true;
    d.argument = number;
  }
  for (;; ++p) {
    if (*p == '-') d.flags |= kFormatFlagMinus;
    else if (*p == '+') d.flags |= kFormatFlagPlus;
    else if (*p == ' ') d.flags |= kFormatFlagSpace;
    else if (*p == '#') d.flags |= kFormatFlagHash;
    else if (*p == '0') d.flags |= kFormatFlagZero;
    else break;
  }

  if (*p == '*') {
    ++p;
    d.widthGiven = d.widthStar = true;
    if (int32_t number = ReadArgumentNumber(p); number >= 0) {
      d.widthArgumentGiven = true;
      d.widthArgument = number;
    }
  } else if (IsDigit(*p)) {
    d.widthGiven = true;
    d.width = ReadNumber(p);
  }

  if (*p == '.') {
    ++p;
    d.precisionGiven = true;
    if (*p == '*') {
      ++p;
      d.precisionStar = true;
      if (int32_t number = ReadArgumentNumber(p); number >= 0) {
        d.precisionArgumentGiven = true;
        d.precisionArgument = number;
      }
    } else {
      d.precision = ReadNumber(p);
    }
  }

  switch (*p) {
    case 'I': {
      ++p;
      d.modifier = 'I';
      int32_t bits = IsDigit(*p) ? ReadNumber(p) : 0;
      d.bits = static_cast<uint8_t>(bits == 8 || bits == 16 || bits == 32 || bits == 64 ? bits : (bits ? 32 : 0));
      break;
    }
    case 'h':
      d.modifier = 'h';
      p += p[1] == 'h' ? 2 : 1;
      break;
    case 'l':
      if (p[1] == 'l') {
        d.modifier = 'q';
        p += 2;
      } else {
        d.modifier = 'l';
        ++p;
      }
      break;
    case 'L':
    case 'j':
    case 't':
    case 'z':
      d.modifier = 'q';
      ++p;
      break;
    default:
      break;
  }

  if (IsConversion(*p)) d.conversion = *p++;
  return p;
}

// The directives of one format, in order, and where the text stops being read for them.
struct ParsedFormat {
  FormatDirective directives[kMaxFormatDirectives];
  uint32_t count = 0;
  // Past the directive limit: the rest of the format, copied as it stands.
  const char* rest = nullptr;
};

// Finds the directives. The text between them is not copied here but read again from the
// format when the result is written.
void ParseFormat(const char* format, ParsedFormat& parsed) {
  const char* p = format;
  for (;;) {
    while (*p && *p != '%') ++p;
    if (!*p) return;
    if (p[1] == '%') {
      p += 2;
      continue;
    }
    if (parsed.count == kMaxFormatDirectives) {
      // The limit is reached. The rest is kept as it stands rather than dropped, so the text
      // still shows everything the caller wrote and where formatting stopped; no further
      // argument is read, so a format built to walk the stack gets no further than this.
      parsed.rest = p;
      return;
    }
    FormatDirective& d = parsed.directives[parsed.count++];
    d = FormatDirective{};
    d.begin = p;
    p = ParseDirective(p + 1, d);
    d.end = p;
    // The character that ended a directive without a conversion is literal text, even a '%'.
    if (d.conversion == 0 && *p) ++p;
  }
}

// Copies literal text from the format up to `to` (to its end when `to` is null), each "%%" as
// one '%': no other '%' stands between two directives.
void AppendLiteral(const char* from, const char* to, FormatBuffer& out) {
  const char* run = from;
  const char* p = from;
  while (p != to && *p) {
    if (*p == '%') {
      out.Append(run, static_cast<size_t>(p + 1 - run));
      p += 2;
      run = p;
      continue;
    }
    ++p;
  }
  out.Append(run, static_cast<size_t>(p - run));
}

// Gives every '*' and value its argument number. In the unnumbered form they are numbered in
// order (width, precision, value); in the numbered form each must carry its own. False for a
// format that mixes the forms or names an argument outside 1..kMaxFormatArgument.
// Directives without a conversion read nothing and take no part.
bool NumberArguments(ParsedFormat& parsed, bool* numberedForm, int32_t* highest) {
  int form = 0;  // 0 undecided, 1 unnumbered, 2 numbered
  int32_t next = 1;
  *highest = 0;
  auto take = [highest](int32_t number) {
    if (number < 1 || number > static_cast<int32_t>(kMaxFormatArgument)) return false;
    if (number > *highest) *highest = number;
    return true;
  };
  for (uint32_t i = 0; i < parsed.count; ++i) {
    FormatDirective* d = &parsed.directives[i];
    if (!d->TakesValue()) continue;
    bool numbered = d->argumentGiven;
    bool unnumbered = !d->argumentGiven || (d->widthStar && !d->widthArgumentGiven) ||
                      (d->precisionStar && !d->precisionArgumentGiven);
    bool anyNumber = d->argumentGiven || d->widthArgumentGiven || d->precisionArgumentGiven;
    if (form == 0) form = numbered ? 2 : 1;
    if (form == 1 && anyNumber) return false;
    if (form == 2 && unnumbered) return false;
    if (form == 1) {
      if (d->widthStar) d->widthArgument = next++;
      if (d->precisionStar) d->precisionArgument = next++;
      d->argument = next++;
    }
    if (!take(d->argument)) return false;
    if (d->widthStar && !take(d->widthArgument)) return false;
    if (d->precisionStar && !take(d->precisionArgument)) return false;
  }
  *numberedForm = form == 2;
  return true;
}

// '*' widths and precisions are taken as 32-bit integers.
int32_t StarValue(uint64_t slot) { return static_cast<int32_t>(static_cast<uint32_t>(slot)); }

// The numbered form: reads the argument slots 1..highest in order, then hands them out. Kept
// apart for its frame of slots, which the common unnumbered form does without.
QEL_NOINLINE void CollectNumberedArguments(ParsedFormat& parsed, int32_t highest, va_list args) {
  uint64_t slots[kMaxFormatArgument + 1];
  for (int32_t i = 1; i <= highest; ++i) slots[i] = va_arg(args, uint64_t);
  for (uint32_t i = 0; i < parsed.count; ++i) {
    FormatDirective* d = &parsed.directives[i];
    if (!d->TakesValue()) continue;
    if (d->widthStar) d->width = StarValue(slots[d->widthArgument]);
    if (d->precisionStar) d->precision = StarValue(slots[d->precisionArgument]);
    d->value = slots[d->argument];
  }
}

// Hands each directive its value and its '*' width and precision.
void CollectArguments(ParsedFormat& parsed, bool numberedForm, int32_t highest, va_list args) {
  if (numberedForm) {
    CollectNumberedArguments(parsed, highest, args);
    return;
  }
  // In the order NumberArguments numbered them.
  for (uint32_t i = 0; i < parsed.count; ++i) {
    FormatDirective* d = &parsed.directives[i];
    if (!d->TakesValue()) continue;
    if (d->widthStar) d->width = StarValue(va_arg(args, uint64_t));
    if (d->precisionStar) d->precision = StarValue(va_arg(args, uint64_t));
    d->value = va_arg(args, uint64_t);
  }
}

// The direct integer path for whole formats: literal text, "%%" and plain sequential integer
// directives (d, i, o, u, x, X with no flags, width, precision or argument number; no size, 'l'
// or 'I32' read 32 bits, 'll' or 'I64' 64 bits) are written straight into one stack buffer and
// the result needs at most one allocation. Anything else answers false before an argument is read, and
// the caller takes the general path. The output equals the general path's, digit for digit.
bool FormatPlainIntegers(Str& out, const char* format, va_list args) {
  struct Piece {
    const char* literal;
    uint32_t literalLength;
    char conversion;  // 0: literal only
    bool is64;
    bool negative;
    uint32_t digits;
    uint64_t value;  // the magnitude
  };
  constexpr int kMaxPieces = 16;
  Piece pieces[kMaxPieces];
  int count = 0;
  const char* p = format;
  const char* run = p;
  for (;;) {
    if (*p != '%' && *p != 0) {
      ++p;
      continue;
    }
    if (count == kMaxPieces) return false;
    Piece& piece = pieces[count++];
    piece.literal = run;
    piece.literalLength = static_cast<uint32_t>(p - run);
    piece.conversion = 0;
    piece.is64 = false;
    if (*p == 0) break;
    ++p;  // '%'
    if (*p == '%') {
      ++piece.literalLength;  // the '%' itself joins the literal
      run = ++p;
      continue;
    }
    if (p[0] == 'l' && p[1] == 'l') {
      piece.is64 = true;
      p += 2;
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      piece.is64 = true;
      p += 3;
    } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
      p += 3;
    } else if (p[0] == 'l') {
      ++p;
    }
    if (!IsIntegerConversion(*p)) return false;
    piece.conversion = *p++;
    run = p;
  }

  // The values and the exact length first, so that the text is written once, straight into
  // its buffer: no argument is text here, so none can live in `out`'s buffer, and it is reused
  // when it is unshared and large enough.
  size_t length = 0;
  for (int i = 0; i < count; ++i) {
    Piece& piece = pieces[i];
    length += piece.literalLength;
    if (!piece.conversion) continue;
    uint64_t value = va_arg(args, uint64_t);
    const bool isSigned = piece.conversion == 'd' || piece.conversion == 'i';
    const int64_t signedValue =
        piece.is64 ? static_cast<int64_t>(value) : static_cast<int32_t>(static_cast<uint32_t>(value));
    if (!piece.is64) value = static_cast<uint32_t>(value);
    piece.negative = isSigned && signedValue < 0;
    piece.value = piece.negative ? 0 - static_cast<uint64_t>(signedValue) : value;
    piece.digits = DigitCount(piece.value, piece.conversion);
    length += piece.digits + (piece.negative ? 1 : 0);
  }
  if (length == 0) {
    out.Clear();
    return true;
  }
  if (length >= UINT32_MAX) return false;
  char* target = out.GetBuffer(static_cast<uint32_t>(length), true);
  if (!target) return false;
  for (int i = 0; i < count; ++i) {
    const Piece& piece = pieces[i];
    // A "%%" piece carries its first '%' as the last literal byte; the second is skipped.
    CopyShort(target, piece.literal, piece.literalLength);
    target += piece.literalLength;
    if (!piece.conversion) continue;
    if (piece.negative) *target++ = '-';
    target += piece.digits;
    WriteDigits(piece.value, piece.conversion, target);
  }
  *target = 0;
  return true;
}

// The general path. Its frame holds the parsed directives and the argument slots, some
// kilobytes that the direct path must not pay for.
QEL_NOINLINE bool FormatGeneral(Str& out, const char* format, va_list args) {
  ParsedFormat parsed;
  ParseFormat(format, parsed);
  int32_t highest = 0;
  bool numberedForm = false;
  if (!NumberArguments(parsed, &numberedForm, &highest)) {
    out.Clear();
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  CollectArguments(parsed, numberedForm, highest, args);

  FormatBuffer text;
  const char* at = format;
  for (uint32_t i = 0; i < parsed.count; ++i) {
    const FormatDirective& d = parsed.directives[i];
    AppendLiteral(at, d.begin, text);
    at = d.end;
    if (d.TakesValue()) {
      FormatDirectiveOutput(d, text);
    } else if (*at) {
      text.Append(*at++);
    }
  }
  if (parsed.rest) {
    AppendLiteral(at, parsed.rest, text);
    text.Append(parsed.rest, strlen(parsed.rest));
  } else {
    AppendLiteral(at, nullptr, text);
  }
  if (text.Failed()) {
    out.Clear();
    ::SetLastError(ERROR_OUTOFMEMORY);
    return false;
  }
  if (text.Length() == 0) {
    out.Clear();
    return true;
  }
  // Every argument has been read by now, so `out`'s buffer may be reused even when an
  // argument's text lay in it.
  char* buffer = out.GetBuffer(static_cast<uint32_t>(text.Length()), true);
  if (!buffer) {
    out.Clear();
    return false;
  }
  CopyShort(buffer, text.Data(), text.Length());
  buffer[text.Length()] = 0;
  return true;
}

}  // namespace

bool StrFormatV(Str& out, const char* format, va_list args) {
  if (!format) {
    out.Clear();
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  {
    va_list direct;
    va_copy(direct, args);
    bool done = FormatPlainIntegers(out, format, direct);
    va_end(direct);
    if (done) return true;
  }
  return FormatGeneral(out, format, args);
}

bool StrFormat(Str& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool ok = StrFormatV(out, format, args);
  va_end(args);
  return ok;
}
