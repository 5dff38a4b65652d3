// Dynamic values: one 64-bit word with a type tag, a heap flag and a 56-bit payload.
//
//   bits 0-6   type tag (ValueTag)
//   bit  7     heap flag: the payload points to a counted object this Value owns one reference to
//   bits 8-63  payload, read back by an arithmetic shift right by 8 (signed 56-bit)
//
// A zero word is the empty value. Copying a Value links its heap payload, destroying or
// overwriting it releases it, by tag. Small integers, booleans and date-times are held inline and
// need no allocation. Dictionaries (dict.h) and value arrays are shared between Values and copied
// before any write. Nothing here throws; allocation failures are reported by the string and
// array layer and leave an empty Value.
#pragma once

#include "array.h"
#include "str.h"
#include "timestamp.h"

#include <cstdint>
#include <utility>

struct IUnknown;
struct DictionaryRecord;
class Dictionary;
class ValueArray;

enum ValueTag : uint8_t {
  ValueEmpty = 0,
  ValueBool = 1,
  ValueInteger = 2,
  ValueDouble = 3,
  ValueDateTime = 4,
  ValueText = 5,
  ValueInterface = 6,
  ValueDictionary = 7,
  ValueArrayTag = 8,
  ValueRecords = 9,
  ValueList = 10,
  ValueBytes = 11,
  // 12 and above are invalid; they display as "[unknown type %d]" and write as JSON null.
};

// ---------------------------------------------------------------------------------------------
// The raw word. Containers store words; these helpers read them without touching counts.

constexpr uint64_t kValueTagMask = 0x7F;
constexpr uint64_t kValueHeapFlag = 0x80;
constexpr int64_t kValueInlineMax = (int64_t(1) << 55) - 1;
constexpr int64_t kValueInlineMin = -(int64_t(1) << 55);

constexpr uint32_t ValueWordTag(uint64_t word) noexcept { return uint32_t(word & kValueTagMask); }
constexpr bool ValueWordOnHeap(uint64_t word) noexcept { return (word & kValueHeapFlag) != 0; }
constexpr int64_t ValueWordPayload(uint64_t word) noexcept { return int64_t(word) >> 8; }
constexpr bool FitsValuePayload(int64_t v) noexcept { return v >= kValueInlineMin && v <= kValueInlineMax; }
constexpr uint64_t MakeValueWord(uint32_t tag, bool onHeap, int64_t payload) noexcept {
  return (uint64_t(payload) << 8) | (onHeap ? kValueHeapFlag : 0) | (tag & kValueTagMask);
}
template <typename T>
inline T* ValueWordPointer(uint64_t word) noexcept {
  return reinterpret_cast<T*>(static_cast<intptr_t>(ValueWordPayload(word)));
}

// One more reference to / release of the heap payload of a word, by its tag. Words without the
// heap flag, and tags whose payload is not counted (boxed booleans and date-times), are ignored.
void LinkValueWord(uint64_t word) noexcept;
void ReleaseValueWord(uint64_t word) noexcept;

// Readers of a word's scalar payload (inline or boxed), as the Value accessors below.
bool ValueWordBool(uint64_t word) noexcept;
int64_t ValueWordInteger(uint64_t word) noexcept;
double ValueWordDouble(uint64_t word) noexcept;
// The packed 56-bit date-time (inline or boxed); 0 for any other tag.
uint64_t ValueWordPackedDateTime(uint64_t word) noexcept;
DateTimeFields ValueWordDateTime(uint64_t word) noexcept;

// Element policy of counted arrays of Value words (value arrays, a dictionary's value array).
struct ValueWordElements {
  static void Link(uint64_t word) noexcept { LinkValueWord(word); }
  static void Unlink(uint64_t word) noexcept { ReleaseValueWord(word); }
};
using ValueWords = CountedArray<uint64_t, ValueWordElements>;

// Capacity of a dictionary's or value array's block for a required length n after adding k:
// n < 20 -> n + 10; n/4 < k -> n; n < 100000 -> n + n/2; else n + 50000 (at most 0xFFFFFFFF).
uint32_t ValueArrayCapacity(uint64_t n, uint64_t k) noexcept;

// ---------------------------------------------------------------------------------------------
// Heap payloads other than strings, dictionaries and arrays.

// Boxes of values that do not fit the payload. Integers and doubles are counted; boxed booleans
// and date-times are never created here and are read as borrowed (no count, never freed).
struct IntegerBox {
  Reference ref;
  int64_t value;
};
struct DoubleBox {
  Reference ref;
  double value;
};
struct BoolBox {
  Reference ref;
  uint32_t flag;
};
struct DateTimeBox {
  Reference ref;
  uint32_t time;  // the low 32 bits of the packed date-time
  uint16_t date;  // bits 32-47
  uint8_t zone;   // bits 48-55
};

// Record collection (tag 9): rows of Values and an optional counted schema (a dictionary that
// names the columns). Only counted for display and released here.
struct ValueRecordSet : Reference {
  ValueWords rows;
  DictionaryRecord* columns = nullptr;  // owned reference, may be null
  ~ValueRecordSet();
};

// List collection (tag 10): a counted object that brings its own destructor and entry count.
struct ValueListObject : Reference {
  void (*destroy)(ValueListObject* self) = nullptr;  // frees the object and what it holds
  uint32_t (*count)(const ValueListObject* self) = nullptr;
  static void DestroyCounted(ValueListObject* self) noexcept {
    if (self->destroy) self->destroy(self);
  }
};

// ---------------------------------------------------------------------------------------------
// Value

class Value {
 public:
  Value() noexcept = default;
  // Inline when v lies in the signed 56-bit range, else a counted box (empty if that fails).
  Value(int64_t v);
  Value(int v) : Value(int64_t(v)) {}
  Value(long v) : Value(int64_t(v)) {}
  // Counts always fit the payload.
  Value(uint32_t v) noexcept : word_(MakeValueWord(ValueInteger, false, int64_t(v))) {}
  // DWORD and the other 32-bit unsigned long counts of the Windows API.
  Value(unsigned long v) noexcept : Value(uint32_t(v)) { static_assert(sizeof(unsigned long) == 4); }
  // A bool or a double would otherwise become an integer silently: use Bool() and Double().
  Value(bool) = delete;
  Value(double) = delete;
  // Text: a new Str (tag 5); null or "" gives a text value with no buffer.
  Value(const char* text);
  Value(const Str& text) noexcept;
  Value(Str&& text) noexcept;
  // Linked handles (tag 7 and 8); a null handle gives an empty collection of that tag.
  Value(const Dictionary& dictionary) noexcept;
  Value(const ValueArray& array) noexcept;

  static Value Bool(bool b) noexcept { return FromWord(MakeValueWord(ValueBool, false, b ? 1 : 0)); }
  // Inline when the bit pattern fits the payload (0.0 does), else a counted box.
  static Value Double(double d);
  // Inline. Empty when a date or time field is out of range (year above 4095, month 0 or above
  // 12, day 0 or above 31, hour above 23, minute or second above 59, millisecond above 999);
  // the bias is kept as PackDateTime keeps it (quarter hours, at most 63 of them).
  static Value DateTime(const DateTimeFields& fields) noexcept;
  // The packed 56-bit form itself (as PackDateTime makes it; bits above 55 are ignored).
  static Value DateTimePacked(uint64_t packed) noexcept;
  // A COM-style object (slot 1 adds a reference, slot 2 releases); null gives an empty value.
  static Value Interface(IUnknown* object) noexcept;
  // A byte block (tag 11) holding a copy of the bytes.
  static Value Bytes(const void* data, uint32_t count);
  // Takes over one reference the caller holds (null gives an empty collection of that tag).
  static Value AdoptRecords(ValueRecordSet* records) noexcept;
  static Value AdoptList(ValueListObject* list) noexcept;
  // Takes over a raw word and the reference its heap payload carries (for containers that store
  // words, and for tests of foreign encodings). The pointer range is the caller's business.
  [[nodiscard]] static Value AdoptWord(uint64_t word) noexcept { return FromWord(word); }

  Value(const Value& other) noexcept : word_(other.word_) { LinkValueWord(word_); }
  Value(Value&& other) noexcept : word_(std::exchange(other.word_, 0)) {}
  // The new payload is linked before the old one is released: self-assignment is safe.
  Value& operator=(const Value& other) noexcept {
    uint64_t old = word_;
    word_ = other.word_;
    LinkValueWord(word_);
    ReleaseValueWord(old);
    return *this;
  }
  Value& operator=(Value&& other) noexcept {
    if (this != &other) ReleaseValueWord(std::exchange(word_, std::exchange(other.word_, 0)));
    return *this;
  }
  ~Value() { ReleaseValueWord(word_); }

  // Releases the payload and leaves the empty value.
  void Clear() noexcept { ReleaseValueWord(std::exchange(word_, 0)); }

  uint32_t Tag() const noexcept { return ValueWordTag(word_); }
  bool OnHeap() const noexcept { return ValueWordOnHeap(word_); }
  bool IsEmpty() const noexcept { return word_ == 0; }
  uint64_t Word() const noexcept { return word_; }
  // Hands the word and its reference to the caller; the Value becomes empty.
  [[nodiscard]] uint64_t DetachWord() noexcept { return std::exchange(word_, 0); }

  // True only for a boolean with a non-zero flag.
  bool AsBool() const noexcept;
  // Integers converted, doubles as stored, anything else 0.
  double AsDouble() const noexcept;
  // Integers as stored, anything else 0.
  int64_t AsInteger() const noexcept;
  // The text of a text value (shared), else empty.
  Str AsText() const noexcept;
  // Linked handles when the tag matches and the heap flag is set, else null.
  Dictionary AsDictionary() const noexcept;
  ValueArray AsArray() const noexcept;
  ValueRecordSet* AsRecords() const noexcept;      // linked; the caller Unlinks
  ValueListObject* AsList() const noexcept;        // linked; the caller Unlinks
  Str AsBytes() const noexcept;                    // the block shares the Str header
  // The fields of a date-time value (inline or boxed); all zero for any other tag.
  DateTimeFields AsDateTime() const noexcept;
  // Entries of a collection (tags 7-10) or bytes of a block (11); 0 otherwise.
  uint32_t Count() const noexcept;

 private:
  static Value FromWord(uint64_t word) noexcept {
    Value v;
    v.word_ = word;
    return v;
  }
  uint64_t word_ = 0;
};
static_assert(sizeof(Value) == 8);

// A heap pointer must fit the signed 56-bit payload; anything else ends the process with
// "Pointer value %p not within supported range". Returns the word with the heap flag set.
uint64_t MakeValuePointerWord(uint32_t tag, const void* pointer) noexcept;

// ---------------------------------------------------------------------------------------------
// Value arrays (tag 8): a counted array of Value words, copied before a write while shared.

class ValueArray {
 public:
  ValueArray() noexcept = default;

  uint32_t Length() const noexcept { return words_.Length(); }
  // Element i (a linked copy); the empty value for i >= Length().
  Value Get(uint32_t i) const noexcept;
  // Stores v at i; i == Length() appends (the array is copied first when shared or full).
  // Appending to 0xFFFFFFFF elements ends the process ("UInt32 overflow"), and so does a failed
  // growth ("Could not allocate array"). i > Length() is a caller error: false, nothing stored.
  bool Set(uint32_t i, const Value& v) noexcept;
  void Append(const Value& v) noexcept { Set(Length(), v); }

  // Raw access for Values and the writers.
  const uint64_t* Words() const noexcept { return words_.Data(); }
  ArrayHeader* Header() const noexcept { return words_.Header(); }
  [[nodiscard]] static ValueArray Attach(ArrayHeader* header) noexcept {
    ValueArray a;
    a.words_ = ValueWords::Attach(header);
    return a;
  }
  const void* BufferIdentity() const noexcept { return words_.BufferIdentity(); }

 private:
  ValueWords words_;
};

// ---------------------------------------------------------------------------------------------
// Text forms

// The display text of a value into `out` (replacing it):
//   empty; "true"/"false"; the integer in decimal; a double in the locale's number form
//   ("overflow" above 1e16, "underflow" below -1e16); a date-time as
//   "%04u-%02u-%02uT%02u:%02u:%02u.%03u"; the text itself; an interface pointer in %p form;
//   "[1 entry]" / "[%u entries]" for collections; "[%u bytes]"; "[unknown type %d]".
// False only when the text could not be allocated (out is then empty).
bool ValueToText(const Value& value, Str& out);

// Appends the "name: text" lines of a value to `out`, one line per scalar: the entries of a
// dictionary are named "outer.inner" (the bare inner name when `name` is empty), array elements
// "name[index]"; empty collections add no line. Lines are separated by a line feed; one is put
// before the first line when `out` is not empty and does not end with one.
bool AppendValueLines(Str& out, const char* name, const Value& value);
