// StrFormat: the format is read once from left to right, each directive's arguments taken as
// it comes and its text written at once into one stack buffer, which is then copied into an
// exactly sized string. A format with argument numbers is read once more first, to number and
// read its arguments before anything is written.
#include "format.h"

#include "compiler.h"
#include "formatdirective.h"

#include <bit>
#include <climits>
#include <cstring>
#if defined(_M_X64) || defined(__x86_64__)
#include <emmintrin.h>
#endif

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

// The conversion letters C E G S X c d e f g i o p s u x, as a table: the parser asks for every
// directive.
struct ConversionTable {
  bool is[256];
  constexpr ConversionTable() : is() {
    for (char c : {'C', 'E', 'G', 'S', 'X', 'c', 'd', 'e', 'f', 'g', 'i', 'o', 'p', 's', 'u', 'x'})
      is[static_cast<unsigned char>(c)] = true;
  }
};
constexpr ConversionTable kConversions;

inline bool IsConversion(char c) { return kConversions.is[static_cast<unsigned char>(c)]; }

#if defined(_M_X64) || defined(__x86_64__)
// The first of `a` or `b` or the terminator from p on. Sixteen bytes at a time where they lie in
// one page (protection is per page, so reading past the terminator there is harmless).
inline const char* FindEither(const char* p, char a, char b) {
  // Directives often follow one another or end the format.
  if (*p == a || *p == b || *p == 0) return p;
  const __m128i first = _mm_set1_epi8(a);
  const __m128i second = _mm_set1_epi8(b);
  const __m128i zero = _mm_setzero_si128();
  for (;;) {
    if ((reinterpret_cast<uintptr_t>(p) & 4095) <= 4096 - 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const uint32_t found = static_cast<uint32_t>(_mm_movemask_epi8(
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, first), _mm_cmpeq_epi8(v, second)), _mm_cmpeq_epi8(v, zero))));
      if (found) return p + std::countr_zero(found);
      p += 16;
      continue;
    }
    if (*p == a || *p == b || *p == 0) return p;
    ++p;
  }
}
#else
inline const char* FindEither(const char* p, char a, char b) {
  while (*p && *p != a && *p != b) ++p;
  return p;
}
#endif

// The next '%' or the terminator.
inline const char* FindPercent(const char* p) { return FindEither(p, '%', '%'); }

const char* ParsePrecisionOn(const char* p, FormatDirective& d);

// Parses one directive after its '%'. Returns the position after it; an unknown conversion
// character is not consumed, so it becomes literal text.
const char* ParseDirective(const char* p, FormatDirective& d) {
  // Most directives are a bare conversion ("%s", "%u").
  if (IsConversion(*p)) {
    d.conversion = *p;
    return p + 1;
  }
  if (IsDigit(*p)) {
    // Digits followed by '$' are the argument number; otherwise they are the '0' flag and the
    // width, or (not starting with 0) the width alone.
    const char* q = p + 1;
    while (IsDigit(*q)) ++q;
    if (*q == '$') {
      d.argumentGiven = true;
      d.argument = ReadNumber(p);
      p = q + 1;
      if (IsConversion(*p)) {
        d.conversion = *p;
        return p + 1;
      }
    } else if (*p != '0') {
      d.widthGiven = true;
      d.width = ReadNumber(p);
      return ParsePrecisionOn(p, d);
    }
  }
  for (;; ++p) {
    switch (*p) {
      case '-': d.flags |= kFormatFlagMinus; continue;
      case '+': d.flags |= kFormatFlagPlus; continue;
      case ' ': d.flags |= kFormatFlagSpace; continue;
      case '#': d.flags |= kFormatFlagHash; continue;
      case '0': d.flags |= kFormatFlagZero; continue;
      default: break;
    }
    break;
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
  return ParsePrecisionOn(p, d);
}

// The rest of a directive after its width: precision, size modifier and conversion.
const char* ParsePrecisionOn(const char* p, FormatDirective& d) {
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

// '*' widths and precisions are taken as 32-bit integers.
int32_t StarValue(uint64_t slot) { return static_cast<int32_t>(static_cast<uint32_t>(slot)); }

// The unnumbered form: each directive's width, precision and value in that order, straight from
// the variable arguments.
class ArgumentsInOrder {
 public:
  explicit ArgumentsInOrder(va_list args) { va_copy(args_, args); }
  ~ArgumentsInOrder() { va_end(args_); }
  ArgumentsInOrder(const ArgumentsInOrder&) = delete;
  ArgumentsInOrder& operator=(const ArgumentsInOrder&) = delete;

  void Collect(FormatDirective& d) {
    if (d.widthStar) d.width = StarValue(va_arg(args_, uint64_t));
    if (d.precisionStar) d.precision = StarValue(va_arg(args_, uint64_t));
    d.value = va_arg(args_, uint64_t);
  }

 private:
  va_list args_;
};

// The numbered form: the slots 1..highest, read in order before anything is written, and
// handed out by number (a number that several directives name is read once and shared).
struct NumberedArguments {
  const uint64_t* slots;

  void Collect(FormatDirective& d) const {
    if (d.widthStar) d.width = StarValue(slots[d.widthArgument]);
    if (d.precisionStar) d.precision = StarValue(slots[d.precisionArgument]);
    d.value = slots[d.argument];
  }
};

// Writes the format into `text`, each directive as it is read.
template <typename Arguments>
void FormatInto(const char* format, Arguments& arguments, FormatBuffer& text) {
  const char* p = format;
  uint32_t directives = 0;
  for (;;) {
    const char* run = p;
    p = FindPercent(p);
    if (p != run) text.Append(run, static_cast<size_t>(p - run));
    if (!*p) return;
    if (p[1] == '%') {
      text.Append('%');
      p += 2;
      continue;
    }
    if (directives == kMaxFormatDirectives) {
      // The limit is reached. The rest is kept as it stands rather than dropped, so the text
      // still shows everything the caller wrote and where formatting stopped; no further
      // argument is read, so a format built to walk the stack gets no further than this.
      text.Append(p, strlen(p));
      return;
    }
    ++directives;
    FormatDirective d{};
    p = ParseDirective(p + 1, d);
    if (d.conversion == 0) {
      // The character that ended a directive without a conversion is literal text, even a '%'.
      if (*p) text.Append(*p++);
      continue;
    }
    arguments.Collect(d);
    WriteDirective(d, text);
  }
}

// How a format numbers its arguments, found by reading it once without taking any argument.
// In the unnumbered form '*' widths, '*' precisions and values are numbered in order; in the
// numbered form each must carry its own number. `valid` is false for a format that mixes the
// forms or names an argument outside 1..kMaxFormatArgument. Directives without a conversion
// read nothing and take no part.
struct Numbering {
  bool valid = true;
  bool numbered = false;
  int32_t highest = 0;
};

// The directives of a short format as that first reading parsed them, so that the second reads
// them here instead of parsing again: each with where it begins and ends in the format.
struct RecordedFormat {
  static constexpr uint32_t kCapacity = 8;
  FormatDirective directives[kCapacity];
  // Whether the literal text before directive i, and after the last one, holds a "%%" (else it
  // is copied as it stands).
  bool doubled[kCapacity];
  bool tailDoubled = false;
  const char* end = nullptr;  // the format's terminator
  uint32_t count = 0;
  bool complete = true;  // false: the format holds more directives than are kept
};

Numbering NumberFormat(const char* format, RecordedFormat& record) {
  Numbering result;
  int form = 0;  // 0 undecided, 1 unnumbered, 2 numbered
  int32_t next = 1;
  auto take = [&result](int32_t number) {
    if (number < 1 || number > static_cast<int32_t>(kMaxFormatArgument)) return false;
    if (number > result.highest) result.highest = number;
    return true;
  };
  const char* p = format;
  uint32_t directives = 0;
  bool doubled = false;
  for (;;) {
    p = FindPercent(p);
    if (!*p) {
      record.end = p;
      record.tailDoubled = doubled;
      break;
    }
    if (p[1] == '%') {
      p += 2;
      doubled = true;
      continue;
    }
    if (directives++ == kMaxFormatDirectives) {
      record.complete = false;
      break;
    }
    if (record.count < RecordedFormat::kCapacity) record.doubled[record.count] = doubled;
    doubled = false;
    FormatDirective scratch;
    FormatDirective& d = record.count < RecordedFormat::kCapacity ? record.directives[record.count++] : scratch;
    if (&d == &scratch) record.complete = false;
    d = FormatDirective{};
    d.begin = p;
    p = ParseDirective(p + 1, d);
    d.end = p;
    if (d.conversion == 0) {
      if (*p) ++p;
      continue;
    }
    const bool numbered = d.argumentGiven;
    const bool unnumbered = !d.argumentGiven || (d.widthStar && !d.widthArgumentGiven) ||
                            (d.precisionStar && !d.precisionArgumentGiven);
    const bool anyNumber = d.argumentGiven || d.widthArgumentGiven || d.precisionArgumentGiven;
    if (form == 0) form = numbered ? 2 : 1;
    bool ok = !(form == 1 && anyNumber) && !(form == 2 && unnumbered);
    if (ok && form == 1) {
      if (d.widthStar) d.widthArgument = next++;
      if (d.precisionStar) d.precisionArgument = next++;
      d.argument = next++;
    }
    ok = ok && take(d.argument) && (!d.widthStar || take(d.widthArgument)) &&
         (!d.precisionStar || take(d.precisionArgument));
    if (!ok) {
      result.valid = false;
      return result;
    }
  }
  result.numbered = form == 2;
  return result;
}

// Literal text of the format from p up to `to` (a directive's '%', or the terminator), each "%%"
// as one '%' (`doubled` says whether it holds one): no other '%' stands between two directives.
void AppendLiteral(const char* p, const char* to, bool doubled, FormatBuffer& out) {
  if (!doubled) {
    if (to != p) out.Append(p, static_cast<size_t>(to - p));
    return;
  }
  for (;;) {
    const char* q = FindPercent(p);
    if (q == to || *q == 0) {
      if (q != p) out.Append(p, static_cast<size_t>(q - p));
      return;
    }
    out.Append(p, static_cast<size_t>(q + 1 - p));
    p = q + 2;
  }
}

// Writes a format from its recorded directives (which take their arguments in place).
template <typename Arguments>
void FormatRecordedInto(const char* format, RecordedFormat& record, Arguments& arguments, FormatBuffer& text) {
  const char* at = format;
  for (uint32_t i = 0; i < record.count; ++i) {
    FormatDirective& d = record.directives[i];
    AppendLiteral(at, d.begin, record.doubled[i], text);
    at = d.end;
    if (d.conversion == 0) {
      if (*at) text.Append(*at++);
      continue;
    }
    arguments.Collect(d);
    WriteDirective(d, text);
  }
  AppendLiteral(at, record.end, record.tailDoubled, text);
}

// The numbered form with room for `Slots` argument slots.
template <int32_t Slots>
void FormatNumberedInto(const char* format, RecordedFormat& record, int32_t highest, va_list args,
                        FormatBuffer& text) {
  uint64_t slots[Slots + 1];
  va_list copy;
  va_copy(copy, args);
  for (int32_t i = 1; i <= highest; ++i) slots[i] = va_arg(copy, uint64_t);
  va_end(copy);
  NumberedArguments arguments{slots};
  if (record.complete)
    FormatRecordedInto(format, record, arguments, text);
  else
    FormatInto(format, arguments, text);
}

// Kept apart for its frame of slots for the highest number a format may name, which formats
// that name only a few arguments do without.
QEL_NOINLINE void FormatManyNumberedInto(const char* format, RecordedFormat& record, int32_t highest, va_list args,
                                         FormatBuffer& text) {
  FormatNumberedInto<kMaxFormatArgument>(format, record, highest, args, text);
}

// Copies the text into `out`.
bool Finish(Str& out, const FormatBuffer& text) {
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
  FormatBuffer text;
  // Argument numbers need a '$'. Without one the format is in the unnumbered form and cannot
  // be rejected, so it is written as it is read; with one it is numbered (and checked) first,
  // so that a rejected format reads no argument at all.
  if (*FindEither(format, '$', '$') == 0) {
    ArgumentsInOrder arguments(args);
    FormatInto(format, arguments, text);
    return Finish(out, text);
  }
  RecordedFormat record;
  const Numbering numbering = NumberFormat(format, record);
  if (!numbering.valid) {
    out.Clear();
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!numbering.numbered) {
    ArgumentsInOrder arguments(args);
    if (record.complete)
      FormatRecordedInto(format, record, arguments, text);
    else
      FormatInto(format, arguments, text);
  } else if (numbering.highest <= 24) {
    FormatNumberedInto<24>(format, record, numbering.highest, args, text);
  } else {
    FormatManyNumberedInto(format, record, numbering.highest, args, text);
  }
  return Finish(out, text);
}

bool StrFormat(Str& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool ok = StrFormatV(out, format, args);
  va_end(args);
  return ok;
}
