// StrFormat: parses the format into directive items, collects the arguments, formats every
// directive on its own and joins the pieces in one exactly sized buffer.
#include "format.h"

#include "alloc.h"
#include "formatdirective.h"

#include <climits>
#include <cstring>
#include <new>
#include <utility>

namespace {

// Every variadic argument occupies one 64-bit slot on this platform; the collector relies on it.
static_assert(sizeof(void*) == 8 && sizeof(double) == 8, "argument slots are 64 bits wide");

// The parsed format of one call: the chain of items, freed when the call ends.
class DirectiveList {
 public:
  DirectiveList() = default;
  DirectiveList(const DirectiveList&) = delete;
  DirectiveList& operator=(const DirectiveList&) = delete;
  ~DirectiveList() {
    while (first_) {
      FormatDirective* next = first_->next;
      first_->~FormatDirective();
      FreeParticle(sizeof(FormatDirective), first_);
      first_ = next;
    }
  }

  // A new item at the end; null when memory is exhausted.
  FormatDirective* Add() {
    void* block = AllocParticle(sizeof(FormatDirective));
    if (!block) return nullptr;
    FormatDirective* item = new (block) FormatDirective();
    if (last_) last_->next = item;
    else first_ = item;
    last_ = item;
    return item;
  }
  FormatDirective* First() const { return first_; }

 private:
  FormatDirective* first_ = nullptr;
  FormatDirective* last_ = nullptr;
};

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

bool IsConversion(char c) { return c != 0 && strchr("CEGSXcdefgiopsux", c) != nullptr; }

// Parses one directive after its '%'. Returns the position after it; an unknown conversion
// character is not consumed, so it becomes literal text.
const char* ParseDirective(const char* p, FormatDirective& d) {
  d.hasDirective = true;
  if (int32_t number = ReadArgumentNumber(p); number >= 0) {
    d.argumentGiven = true;
    d.argument = number;
  }
  const char* flags = p;
  while (*p && strchr(" #+-0", *p)) ++p;
  if (p != flags) d.flags = Str(flags, static_cast<size_t>(p - flags));

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

// Splits the format into items. False when memory runs out.
bool ParseFormat(const char* format, DirectiveList& items) {
  FormatDirective* item = items.Add();
  if (!item) return false;
  uint32_t directives = 0;
  const char* p = format;
  while (*p) {
    const char* run = p;
    while (*p && *p != '%') ++p;
    if (p != run && !item->literal.Append(run, static_cast<size_t>(p - run), true)) return false;
    if (!*p) break;
    if (p[1] == '%') {
      if (!item->literal.Append('%')) return false;
      p += 2;
      continue;
    }
    if (directives == kMaxFormatDirectives) {
      // The limit is reached. The rest is kept as it stands rather than dropped, so the text
      // still shows everything the caller wrote and where formatting stopped; no further
      // argument is read, so a format built to walk the stack gets no further than this.
      if (!item->literal.Append(p, strlen(p), true)) return false;
      break;
    }
    ++directives;
    p = ParseDirective(p + 1, *item);
    bool ended = item->conversion == 0;
    item = items.Add();
    if (!item) return false;
    // The character that ended a directive without a conversion is literal text, even a '%'.
    if (ended && *p) {
      if (!item->literal.Append(*p)) return false;
      ++p;
    }
  }
  return true;
}

// Gives every '*' and value its argument number. In the unnumbered form they are numbered in
// order (width, precision, value); in the numbered form each must carry its own. False for a
// format that mixes the forms or names an argument outside 1..kMaxFormatArgument.
// Directives without a conversion read nothing and take no part.
bool NumberArguments(FormatDirective* first, int32_t* highest) {
  int form = 0;  // 0 undecided, 1 unnumbered, 2 numbered
  int32_t next = 1;
  *highest = 0;
  for (FormatDirective* d = first; d; d = d->next) {
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
    for (int32_t number : {d->argument, d->widthStar ? d->widthArgument : 1, d->precisionStar ? d->precisionArgument : 1}) {
      if (number < 1 || number > static_cast<int32_t>(kMaxFormatArgument)) return false;
      if (number > *highest) *highest = number;
    }
  }
  return true;
}

// Reads the argument slots 1..highest in order and hands each directive its value and its
// '*' width and precision (taken as 32-bit integers).
void CollectArguments(FormatDirective* first, int32_t highest, va_list args) {
  uint64_t slots[kMaxFormatArgument + 1];
  for (int32_t i = 1; i <= highest; ++i) slots[i] = va_arg(args, uint64_t);
  for (FormatDirective* d = first; d; d = d->next) {
    if (!d->TakesValue()) continue;
    if (d->widthStar) d->width = static_cast<int32_t>(static_cast<uint32_t>(slots[d->widthArgument]));
    if (d->precisionStar) d->precision = static_cast<int32_t>(static_cast<uint32_t>(slots[d->precisionArgument]));
    d->value = slots[d->argument];
    d->collected = true;
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
    if (*p == 0 || !strchr("diouxX", *p)) return false;
    piece.conversion = *p++;
    run = p;
  }

  char buffer[512];
  size_t used = 0;
  for (int i = 0; i < count; ++i) {
    const Piece& piece = pieces[i];
    if (used + piece.literalLength + 24 > sizeof buffer) return false;
    // A "%%" piece carries its first '%' as the last literal byte; the second is skipped.
    memcpy(buffer + used, piece.literal, piece.literalLength);
    used += piece.literalLength;
    if (!piece.conversion) continue;
    uint64_t value = va_arg(args, uint64_t);
    bool isSigned = piece.conversion == 'd' || piece.conversion == 'i';
    int64_t signedValue = piece.is64 ? static_cast<int64_t>(value) : static_cast<int32_t>(static_cast<uint32_t>(value));
    if (!piece.is64) value = static_cast<uint32_t>(value);
    if (isSigned && signedValue < 0) {
      buffer[used++] = '-';
      value = 0 - static_cast<uint64_t>(signedValue);
    }
    unsigned base = piece.conversion == 'o' ? 8 : (piece.conversion == 'x' || piece.conversion == 'X') ? 16 : 10;
    const char* digits = piece.conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[24];
    int n = 0;
    do {
      reversed[n++] = digits[value % base];
      value /= base;
    } while (value);
    while (n) buffer[used++] = reversed[--n];
  }
  if (used == 0) {
    out.Clear();
    return true;
  }
  // No argument is text here, so none can live in `out`'s buffer: it is reused when it is
  // unshared and large enough, and the call then allocates nothing.
  char* text = out.GetBuffer(static_cast<uint32_t>(used), true);
  if (!text) return false;
  memcpy(text, buffer, used);
  text[used] = 0;
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
  DirectiveList items;
  int32_t highest = 0;
  if (!ParseFormat(format, items)) {
    out.Clear();
    ::SetLastError(ERROR_OUTOFMEMORY);
    return false;
  }
  if (!NumberArguments(items.First(), &highest)) {
    out.Clear();
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  CollectArguments(items.First(), highest, args);

  uint64_t total = 0;
  for (FormatDirective* d = items.First(); d; d = d->next) {
    if (d->TakesValue()) FormatDirectiveOutput(*d);
    total += d->literal.Length();
    total += d->output.Length();
  }
  if (total == 0) {
    out.Clear();
    return true;
  }
  if (total >= UINT32_MAX) {
    out.Clear();
    ::SetLastError(ERROR_OUTOFMEMORY);
    return false;
  }
  // Built aside, so that `out` may own one of the arguments.
  Str result;
  char* text = result.GetBuffer(static_cast<uint32_t>(total));
  if (!text) {
    out.Clear();
    return false;
  }
  for (FormatDirective* d = items.First(); d; d = d->next) {
    memcpy(text, d->literal.c_str(), d->literal.Length());
    text += d->literal.Length();
    memcpy(text, d->output.c_str(), d->output.Length());
    text += d->output.Length();
  }
  *text = 0;
  out = std::move(result);
  return true;
}

bool StrFormat(Str& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool ok = StrFormatV(out, format, args);
  va_end(args);
  return ok;
}
