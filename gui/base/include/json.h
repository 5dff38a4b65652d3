// The JSON writer: a Value tree as JSON text, compact (one line) or with each nested object or
// array member on a line of its own.
//
// Every non-ASCII character is written as a \uXXXX escape (pairs above U+FFFF), so the text is
// pure ASCII. Ill-formed UTF-8, an interface value and a double that cannot be printed fail the
// writer: its text is then empty and the first failure message stays in its error text.
#pragma once

#include "str.h"
#include "value.h"

#include <cstddef>
#include <cstdint>

class JsonWriter {
 public:
  // `buffer` may hand over a string whose buffer is reused when nobody else holds it.
  explicit JsonWriter(bool compact = true, Str buffer = Str()) noexcept;
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  // A value without a member name (top level, array element).
  bool WriteValue(const Value& value) noexcept;
  // A member "key":value; the key goes through the string escaper.
  bool WriteMember(const char* key, size_t keyLength, const Value& value) noexcept;
  // The string escaper: a quoted, escaped copy of `length` bytes of UTF-8.
  bool WriteString(const char* text, size_t length) noexcept;
  // "{", or with a type name the object's first member "_" carrying it: { "_":"name".
  bool OpenObject(const char* typeName = nullptr) noexcept;
  // Raw punctuation or literal text, written as it is.
  bool WriteRaw(const char* text, size_t length) noexcept;

  bool Failed() const noexcept { return failed_; }
  // The first failure message (empty while the writer has not failed).
  const Str& Error() const noexcept { return error_; }
  // The text written so far; empty after a failure. The writer is left empty.
  Str Finish() noexcept;

 private:
  // `before` (0 for none) is written first: the comma between members and elements.
  bool WriteWord(const char* key, size_t keyLength, uint64_t word, char before) noexcept;
  bool WriteKeyPrefix(const char* key, size_t length, bool opensContainer, char before) noexcept;
  // The string escaper with one byte before the opening quote and one after the closing one
  // (0 for none).
  bool WriteQuoted(const char* text, size_t length, char before, char after) noexcept;
  bool WriteDouble(double d) noexcept;
  bool WriteDateTime(uint64_t word) noexcept;
  bool Fail(const char* message) noexcept;
  // Room for `count` more bytes, and the slack after them that whole-word copies may write.
  bool Reserve(size_t count) noexcept { return size_t(end_ - cur_) >= count || Grow(count); }
  bool Grow(size_t count) noexcept;
  bool PutByte(char c) noexcept {
    if (!Reserve(1)) return false;
    *cur_++ = c;
    return true;
  }
  const unsigned char* CopyPlain(const unsigned char* p, const unsigned char* e) noexcept;

  // Bytes kept free behind the usable end of the buffer.
  static constexpr size_t kSlack = 16;

  bool compact_;
  bool failed_ = false;
  Str out_;
  Str error_;
  char* begin_ = nullptr;
  char* cur_ = nullptr;
  char* end_ = nullptr;
};

// The JSON text of a value into `out` (replacing it, reusing its buffer when unshared). With
// `wrap`, a value that is neither a dictionary nor an array is written as a one-element array.
// On failure `out` is empty, the message goes to `error` when given and becomes the thread's
// error text (last error ERROR_LIBRARY_TEXT); an allocation failure leaves ERROR_OUTOFMEMORY.
bool ValueToJson(Str& out, const Value& value, bool compact, bool wrap, Str* error = nullptr);
