// The JSON writer and its string escaper.
//
// The writer fills one Str buffer directly and stores the length once at the end; it grows the
// buffer by the fast policy, so long output is copied O(log n) times, and plain runs of a text
// are copied in one piece.
#include "json.h"

#include "valuetext.h"

#include "dict.h"
#include "error.h"
#include "win.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Bytes that a JSON string may hold as they are: printable ASCII except the quote and the
// backslash. Everything else ends a plain run.
struct PlainTable {
  bool plain[256];
  constexpr PlainTable() : plain() {
    for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  }
};
constexpr PlainTable kPlain;

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

// Decimal digits of v into the end of buf; returns the first digit's position.
char* FormatDecimal(char* end, int64_t v) noexcept {
  uint64_t magnitude = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
  char* p = end;
  do {
    *--p = char('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude);
  if (v < 0) *--p = '-';
  return p;
}

}  // namespace

JsonWriter::JsonWriter(bool compact, Str buffer) noexcept : compact_(compact) {
  // Reuse the caller's buffer only when nobody else can see it being overwritten.
  if (buffer.UseCount() == 1 && buffer.Capacity() > 0) {
    out_ = std::move(buffer);
    begin_ = cur_ = out_.Header()->Text();
    end_ = begin_ + out_.Capacity();
  }
}

bool JsonWriter::Fail(const char* message) noexcept {
  if (!failed_) {
    failed_ = true;
    error_ = message;
  }
  return false;
}

bool JsonWriter::Reserve(size_t count) noexcept {
  if (size_t(end_ - cur_) >= count) return true;
  return Grow(count);
}

bool JsonWriter::Grow(size_t count) noexcept {
  if (failed_) return false;
  size_t used = size_t(cur_ - begin_);
  uint64_t needed = uint64_t(used) + count;
  if (needed > 0xFFFFFFFEu) {
    ReportLibraryEvent(2, "String overflow detected",
                       {{"length1", int64_t(used)}, {"length2", int64_t(count)}});
    ::SetLastError(ERROR_OUTOFMEMORY);
    failed_ = true;
    return false;
  }
  Str fresh = StrAlloc(GrowthCapacity(needed, true), 0);
  if (fresh.Capacity() == 0) {  // reported by the string layer
    failed_ = true;
    return false;
  }
  char* text = fresh.Header()->Text();
  if (used) std::memcpy(text, begin_, used);
  out_ = std::move(fresh);
  begin_ = text;
  cur_ = text + used;
  end_ = text + out_.Capacity();
  return true;
}

void JsonWriter::Put(const char* text, size_t count) noexcept {
  std::memcpy(cur_, text, count);
  cur_ += count;
}

bool JsonWriter::WriteRaw(const char* text, size_t length) noexcept {
  if (!Reserve(length)) return false;
  Put(text, length);
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

// A stray byte (a continuation byte without a lead, a lead byte without its continuation bytes,
// or a lead byte 0xF8 and above) fails the writer like every other ill-formed sequence. Writing
// it as \u00XX or \uffXX would silently turn it into an unrelated real character, and a reader
// could not tell the result from genuine text; an empty result with the error text is honest,
// and the output that is produced is always valid JSON.
bool JsonWriter::WriteString(const char* text, size_t length) noexcept {
  if (failed_) return false;
  if (!Reserve(length + 2)) return false;
  Put('"');
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* e = p + length;
  const char* error = nullptr;
  while (p < e) {
    const unsigned char* run = p;
    while (p < e && kPlain.plain[*p]) ++p;
    if (p != run) {
      if (!Reserve(size_t(p - run) + 1)) return false;
      Put(reinterpret_cast<const char*>(run), size_t(p - run));
      if (p == e) break;
    }
    if (!Reserve(13)) return false;
    unsigned char c = *p;
    if (c < 0x80) {
      char escape = 0;
      switch (c) {
        case '\b': escape = 'b'; break;
        case '\t': escape = 't'; break;
        case '\n': escape = 'n'; break;
        case '\f': escape = 'f'; break;
        case '\r': escape = 'r'; break;
        case '"': escape = '"'; break;
        case '\\': escape = '\\'; break;
        default: break;
      }
      if (escape) {
        Put('\\');
        Put(escape);
      } else {
        cur_ = PutUnitEscape(cur_, c);
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
  if (!Reserve(1)) return false;
  Put('"');
  return error ? Fail(error) : true;
}

bool JsonWriter::OpenObject(const char* typeName) noexcept {
  if (!typeName) return WriteRaw("{", 1);
  return WriteRaw("{ \"_\":", 6) && WriteString(typeName, std::strlen(typeName));
}

bool JsonWriter::WriteKeyPrefix(const char* key, size_t length, bool opensContainer) noexcept {
  if (opensContainer && !compact_ && !WriteRaw("\r\n ", 3)) return false;
  // Keys go through the escaper too: a quote or a control character in a key would otherwise
  // break the whole line for every reader.
  return WriteString(key, length) && WriteRaw(":", 1);
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

bool JsonWriter::WriteWord(const char* key, size_t keyLength, uint64_t word) noexcept {
  if (failed_) return false;
  uint32_t tag = ValueWordTag(word);
  bool container = tag == ValueDictionary || tag == ValueArrayTag;
  if (key && !WriteKeyPrefix(key, keyLength, container)) return false;
  switch (tag) {
    case ValueBool:
      return ValueWordBool(word) ? WriteRaw("true", 4) : WriteRaw("false", 5);
    case ValueInteger: {
      char digits[24];
      char* end = digits + sizeof digits;
      char* first = FormatDecimal(end, ValueWordInteger(word));
      return WriteRaw(first, size_t(end - first));
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
      return WriteString(h->Text(), length);
    }
    case ValueInterface:
      return Fail("unsupported value (IUnknown)");
    case ValueDictionary: {
      if (!OpenObject()) return false;
      const DictionaryRecord* r = ValueWordOnHeap(word) ? ValueWordPointer<DictionaryRecord>(word) : nullptr;
      uint32_t count = r ? r->keys.Length() : 0;
      bool first = true;
      for (uint32_t i = 0; i < count; ++i) {
        const StrHeader* h = r->keys[i];
        size_t keyLength = h ? h->length : 0;
        if (h && keyLength == 0 && h->Text()[0] != 0) keyLength = std::strlen(h->Text());
        if (keyLength == 0) continue;  // members without a name are left out
        if (!first && !WriteRaw(",", 1)) return false;
        first = false;
        if (!WriteWord(h->Text(), keyLength, r->values[i])) return false;
      }
      return WriteRaw("}", 1);
    }
    case ValueArrayTag: {
      if (!WriteRaw("[", 1)) return false;
      const ArrayHeader* h = ValueWordOnHeap(word) ? ValueWordPointer<ArrayHeader>(word) : nullptr;
      uint32_t count = h ? h->length : 0;
      const uint64_t* words = h ? ValueWords::Elements(h) : nullptr;
      for (uint32_t i = 0; i < count; ++i) {
        if (i && !WriteRaw(",", 1)) return false;
        if (!WriteWord(nullptr, 0, words[i])) return false;
      }
      return WriteRaw("]", 1);
    }
    default:  // empty, collections, byte blocks and invalid tags
      return WriteRaw("null", 4);
  }
}

bool JsonWriter::WriteValue(const Value& value) noexcept { return WriteWord(nullptr, 0, value.Word()); }

bool JsonWriter::WriteMember(const char* key, size_t keyLength, const Value& value) noexcept {
  return WriteWord(key ? key : "", keyLength, value.Word());
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
