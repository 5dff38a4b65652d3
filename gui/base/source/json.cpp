// The JSON writer and its string escaper.
//
// The writer fills one Str buffer directly and stores the length once at the end; it grows the
// buffer by the fast policy, so long output is copied O(log n) times. Plain runs of a text are
// checked and copied sixteen bytes at a time, and no byte is copied through the runtime's
// memcpy (a call costs more than a short copy, under Wine several times more). The buffer keeps
// a few bytes of slack behind its usable end, so that those whole-block stores never need a
// check of their own.
#include "json.h"

#include "valuetext.h"

#include "dict.h"
#include "error.h"
#include "win.h"

#include "decimaldigits.h"
#include "shortcopy.h"
#include "strsize.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#if defined(_M_X64) || defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace {

// What each byte becomes inside a JSON string: 0 when it stands as it is (printable ASCII
// other than the quote and the backslash), the letter of its two-character escape, 'u' for
// \u00XX, and 1 for a byte of 0x80 and above, which starts (or strays from) a multi-byte
// character.
struct EscapeTable {
  char kind[256];
  constexpr EscapeTable() : kind() {
    for (int c = 0; c < 0x20; ++c) kind[c] = 'u';
    kind['\b'] = 'b';
    kind['\t'] = 't';
    kind['\n'] = 'n';
    kind['\f'] = 'f';
    kind['\r'] = 'r';
    kind['"'] = '"';
    kind['\\'] = '\\';
    for (int c = 0x80; c < 0x100; ++c) kind[c] = 1;
  }
};
constexpr EscapeTable kEscapes;

const char kHex[] = "0123456789abcdef";

// Writes \uXXXX (lower-case digits) for one UTF-16 unit; 6 bytes.
inline char* PutUnitEscape(char* p, uint32_t unit) noexcept {
  p[0] = '\\';
  p[1] = 'u';
  p[2] = kHex[unit >> 12 & 0xF];
  p[3] = kHex[unit >> 8 & 0xF];
  p[4] = kHex[unit >> 4 & 0xF];
  p[5] = kHex[unit & 0xF];
  return p + 6;
}

#if defined(_M_X64) || defined(__x86_64__)
// The bytes among 16 that end a plain run: below 0x20 (bytes of 0x80 and above compare below
// it as signed bytes), the quote and the backslash.
inline uint32_t SpecialBytes(__m128i v) noexcept {
  const __m128i special = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                       _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                                    _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
  return static_cast<uint32_t>(_mm_movemask_epi8(special));
}
#endif

}  // namespace

JsonWriter::JsonWriter(bool compact, Str buffer) noexcept : compact_(compact) {
  // Reuse the caller's buffer only when nobody else can see it being overwritten.
  if (buffer.UseCount() == 1 && buffer.Capacity() > kSlack) {
    out_ = std::move(buffer);
    begin_ = cur_ = out_.Header()->Text();
    end_ = begin_ + out_.Capacity() - kSlack;
  }
}

bool JsonWriter::Fail(const char* message) noexcept {
  if (!failed_) {
    failed_ = true;
    error_ = message;
  }
  return false;
}

bool JsonWriter::Grow(size_t count) noexcept {
  if (failed_) return false;
  size_t used = size_t(cur_ - begin_);
  uint64_t needed = uint64_t(used) + count;
  if (needed > 0xFFFFFFFEu - kSlack) {
    ReportLibraryEvent(2, "String overflow detected",
                       {{"length1", int64_t(used)}, {"length2", int64_t(count)}});
    ::SetLastError(ERROR_OUTOFMEMORY);
    failed_ = true;
    return false;
  }
  Str fresh = StrAlloc(GrowthCapacity(needed + kSlack, true), 0);
  if (fresh.Capacity() == 0) {  // reported by the string layer
    failed_ = true;
    return false;
  }
  char* text = fresh.Header()->Text();
  if (used) std::memcpy(text, begin_, used);
  out_ = std::move(fresh);
  begin_ = text;
  cur_ = text + used;
  end_ = text + out_.Capacity() - kSlack;
  return true;
}

bool JsonWriter::WriteRaw(const char* text, size_t length) noexcept {
  if (!Reserve(length)) return false;
  CopyShort(cur_, text, length);
  cur_ += length;
  return true;
}

Str JsonWriter::Finish() noexcept {
  Str result;
  if (!failed_ && begin_) {
    *cur_ = 0;
    out_.Header()->length = uint32_t(cur_ - begin_);
    result = std::move(out_);
  }
  out_.Clear();
  begin_ = cur_ = end_ = nullptr;
  return result;
}

// Copies the plain bytes from p on (up to e) and returns the first byte that is not plain, or
// e. The caller has room for e - p bytes and the slack behind them.
const unsigned char* JsonWriter::CopyPlain(const unsigned char* p, const unsigned char* e) noexcept {
#if defined(_M_X64) || defined(__x86_64__)
  // Sixteen bytes at a time, stored whole (what follows the run is overwritten later).
  while (e - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cur_), v);
    if (const uint32_t special = SpecialBytes(v)) {
      const int n = std::countr_zero(special);
      cur_ += n;
      return p + n;
    }
    p += 16;
    cur_ += 16;
  }
  // The last few bytes in one load where they lie in one page (protection is per page, so
  // reading past the text there is harmless); the store goes into the slack.
  if (p < e && (reinterpret_cast<uintptr_t>(p) & 4095) <= 4096 - 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cur_), v);
    const int n = std::countr_zero(SpecialBytes(v) | 1u << (e - p));
    cur_ += n;
    return p + n;
  }
#endif
  while (p < e && kEscapes.kind[*p] == 0) *cur_++ = static_cast<char>(*p++);
  return p;
}

// A stray byte (a continuation byte without a lead, a lead byte without its continuation bytes,
// or a lead byte 0xF8 and above) fails the writer like every other ill-formed sequence. Writing
// it as \u00XX or \uffXX would silently turn it into an unrelated real character, and a reader
// could not tell the result from genuine text; an empty result with the error text is honest,
// and the output that is produced is always valid JSON.
bool JsonWriter::WriteString(const char* text, size_t length) noexcept { return WriteQuoted(text, length, 0, 0); }

bool JsonWriter::WriteQuoted(const char* text, size_t length, char before, char after) noexcept {
  if (failed_) return false;
  // The quotes, the text as it stands and the two bytes around; every escape makes its own room
  // as it comes.
  if (!Reserve(length + 4)) return false;
  if (before) *cur_++ = before;
  *cur_++ = '"';
#if defined(_M_X64) || defined(__x86_64__)
  // Most keys and many values are short and plain: one load, one store. (An empty text may
  // point just past its buffer, where nothing can be read.)
  if (length - 1 < 15 && (reinterpret_cast<uintptr_t>(text) & 4095) <= 4096 - 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cur_), v);
    if (std::countr_zero(SpecialBytes(v) | 1u << length) == static_cast<int>(length)) {
      cur_ += length;
      *cur_++ = '"';
      if (after) *cur_++ = after;
      return true;
    }
  }
#endif
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* e = p + length;
  const char* error = nullptr;
  for (;;) {
    p = CopyPlain(p, e);
    if (p == e) break;
    // The longest escape (a pair for four bytes) adds 8 bytes to what the rest already has.
    if (!Reserve(size_t(e - p) + 10)) return false;
    const unsigned char c = *p;
    const char kind = kEscapes.kind[c];
    if (kind != 1) {
      if (kind == 'u') {
        cur_ = PutUnitEscape(cur_, c);
      } else {
        cur_[0] = '\\';
        cur_[1] = kind;
        cur_ += 2;
      }
      ++p;
      continue;
    }
    size_t size = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (size == 0 || c >= 0xF8) {
      error = "invalid utf-8 character";
      break;
    }
    uint32_t cp = c & (0x7F >> size);
    size_t i = 1;
    for (; i < size && p + i < e && (p[i] & 0xC0) == 0x80; ++i) cp = cp << 6 | (p[i] & 0x3F);
    if (i != size) {
      error = "invalid utf-8 character";
      break;
    }
    if (cp >= 0x110000) {
      error = "invalid utf-8 character (not in unicode range)";
      break;
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      error = "invalid utf-8 character (invalid code point, surrogate halves)";
      break;
    }
    if ((size == 2 && cp < 0x80) || (size == 3 && cp < 0x800) || (size == 4 && cp < 0x10000)) {
      error = "invalid utf-8 character (encoding length)";
      break;
    }
    if (cp < 0x10000) {
      cur_ = PutUnitEscape(cur_, cp);
    } else {
      cur_ = PutUnitEscape(cur_, 0xD800 + ((cp - 0x10000) >> 10));
      cur_ = PutUnitEscape(cur_, 0xDC00 + (cp & 0x3FF));
    }
    p += size;
  }
  // Room for the closing quote and the byte after it is kept whatever happened above.
  *cur_++ = '"';
  if (error) return Fail(error);
  if (after) *cur_++ = after;
  return true;
}

bool JsonWriter::OpenObject(const char* typeName) noexcept {
  if (!typeName) return PutByte('{');
  return WriteRaw("{ \"_\":", 6) && WriteString(typeName, std::strlen(typeName));
}

bool JsonWriter::WriteKeyPrefix(const char* key, size_t length, bool opensContainer, char before) noexcept {
  if (opensContainer && !compact_) {
    if (before && !PutByte(before)) return false;
    before = 0;
    if (!WriteRaw("\r\n ", 3)) return false;
  }
  // Keys go through the escaper too: a quote or a control character in a key would otherwise
  // break the whole line for every reader.
  return WriteQuoted(key, length, before, ':');
}

bool JsonWriter::WriteDouble(double d) noexcept {
  // JSON has no NaN or infinity; null keeps the rest of the record readable.
  if (!std::isfinite(d)) return WriteRaw("null", 4);
  char text[65];
  int n = std::snprintf(text, sizeof text, "%.*g", 15, d);
  if (n <= 0 || n > 64) return Fail("Invalid double value");
  size_t length = size_t(n);
  for (size_t i = 0; i < length; ++i) {
    // A runtime whose locale was changed may print a decimal comma, which JSON does not read.
    if (text[i] == ',') text[i] = '.';
  }
  char* point = static_cast<char*>(std::memchr(text, '.', length));
  if (point) {
    if (point + 1 == text + length) {
      if (length + 1 > 64) return Fail("Invalid double value");
      text[length++] = '0';
    } else if (point[1] == 'e' || point[1] == 'E') {
      if (length + 1 > 64) return Fail("Invalid double value");
      std::memmove(point + 2, point + 1, size_t(text + length - (point + 1)));
      point[1] = '0';
      ++length;
    }
  }
  return WriteRaw(text, length);
}

bool JsonWriter::WriteDateTime(uint64_t word) noexcept {
  Str text;
  if (!AppendJsonDateTime(ValueWordPackedDateTime(word), text)) {
    failed_ = true;  // the string layer has reported the allocation failure
    return false;
  }
  return WriteRaw("\"", 1) && WriteRaw(text.c_str(), text.Length()) && WriteRaw("\"", 1);
}

bool JsonWriter::WriteWord(const char* key, size_t keyLength, uint64_t word, char before) noexcept {
  if (failed_) return false;
  uint32_t tag = ValueWordTag(word);
  bool container = tag == ValueDictionary || tag == ValueArrayTag;
  if (key) {
    if (!WriteKeyPrefix(key, keyLength, container, before)) return false;
  } else if (before && !PutByte(before)) {
    return false;
  }
  switch (tag) {
    case ValueBool:
      return ValueWordBool(word) ? WriteRaw("true", 4) : WriteRaw("false", 5);
    case ValueInteger: {
      // Small integers sit in the word itself (the payload); larger ones in a box.
      const int64_t v = ValueWordOnHeap(word) ? ValueWordInteger(word) : ValueWordPayload(word);
      if (!Reserve(20)) return false;
      const uint64_t magnitude = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
      if (v < 0) *cur_++ = '-';
      cur_ += DecimalDigitCount(magnitude);
      WriteDecimalDigits(magnitude, cur_);
      return true;
    }
    case ValueDouble:
      return WriteDouble(ValueWordDouble(word));
    case ValueDateTime:
      return WriteDateTime(word);
    case ValueText: {
      if (!ValueWordOnHeap(word)) return WriteRaw("\"\"", 2);
      const StrHeader* h = ValueWordPointer<StrHeader>(word);
      size_t length = h->length;
      if (length == 0 && h->Text()[0] != 0) length = std::strlen(h->Text());
      return WriteQuoted(h->Text(), length, 0, 0);
    }
    case ValueInterface:
      return Fail("unsupported value (IUnknown)");
    case ValueDictionary: {
      if (!OpenObject()) return false;
      const DictionaryRecord* r = ValueWordOnHeap(word) ? ValueWordPointer<DictionaryRecord>(word) : nullptr;
      uint32_t count = r ? r->keys.Length() : 0;
      bool first = true;
      const StrHeader* const* keys = count ? r->keys.Data() : nullptr;
      const uint64_t* values = count ? r->values.Data() : nullptr;
      for (uint32_t i = 0; i < count; ++i) {
        const StrHeader* h = keys[i];
        size_t keyLength = h ? h->length : 0;
        if (h && keyLength == 0 && h->Text()[0] != 0) keyLength = std::strlen(h->Text());
        if (keyLength == 0) continue;  // members without a name are left out
        if (!WriteWord(h->Text(), keyLength, values[i], first ? 0 : ',')) return false;
        first = false;
      }
      return PutByte('}');
    }
    case ValueArrayTag: {
      if (!PutByte('[')) return false;
      const ArrayHeader* h = ValueWordOnHeap(word) ? ValueWordPointer<ArrayHeader>(word) : nullptr;
      uint32_t count = h ? h->length : 0;
      const uint64_t* words = h ? ValueWords::Elements(h) : nullptr;
      for (uint32_t i = 0; i < count; ++i) {
        if (!WriteWord(nullptr, 0, words[i], i ? ',' : 0)) return false;
      }
      return PutByte(']');
    }
    default:  // empty, collections, byte blocks and invalid tags
      return WriteRaw("null", 4);
  }
}

bool JsonWriter::WriteValue(const Value& value) noexcept { return WriteWord(nullptr, 0, value.Word(), 0); }

bool JsonWriter::WriteMember(const char* key, size_t keyLength, const Value& value) noexcept {
  return WriteWord(key ? key : "", keyLength, value.Word(), 0);
}

bool ValueToJson(Str& out, const Value& value, bool compact, bool wrap, Str* error) {
  uint32_t tag = value.Tag();
  bool wrapped = wrap && tag != ValueDictionary && tag != ValueArrayTag;
  JsonWriter writer(compact, std::move(out));
  out.Clear();
  bool ok = (!wrapped || writer.WriteRaw("[", 1)) && writer.WriteValue(value) && (!wrapped || writer.WriteRaw("]", 1));
  Str text = writer.Finish();
  if (ok && !writer.Failed()) {
    out = std::move(text);
    if (error) error->Clear();
    return true;
  }
  if (error) *error = writer.Error();
  if (!writer.Error().IsEmpty()) SetLastErrorText(writer.Error());
  return false;
}
