// The Value word: construction, lifetimes by tag, accessors, and value arrays.
#include "value.h"

#include "dict.h"
#include "error.h"
#include "win.h"

#include <unknwn.h>

#include <cstring>

namespace {

template <typename Box>
Box* NewBox() noexcept {
  Box* box = static_cast<Box*>(AllocParticle(sizeof(Box)));
  if (box) box->ref.useCount = 1;
  return box;
}

template <typename Box>
void ReleaseBox(Box* box) noexcept {
  if (UnlinkReference(&box->ref) == 0) FreeParticle(sizeof(Box), box);
}

uint64_t DoubleBits(double d) noexcept {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

double BitsDouble(uint64_t bits) noexcept {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Words

uint64_t MakeValuePointerWord(uint32_t tag, const void* pointer) noexcept {
  if (!pointer) return MakeValueWord(tag, false, 0);
  intptr_t p = reinterpret_cast<intptr_t>(pointer);
  if (!FitsValuePayload(int64_t(p))) FatalError("Pointer value %p not within supported range", pointer);
  return MakeValueWord(tag, true, int64_t(p));
}

void LinkValueWord(uint64_t word) noexcept {
  if (!ValueWordOnHeap(word)) return;
  switch (ValueWordTag(word)) {
    case ValueInteger:
      LinkReference(&ValueWordPointer<IntegerBox>(word)->ref);
      break;
    case ValueDouble:
      LinkReference(&ValueWordPointer<DoubleBox>(word)->ref);
      break;
    case ValueText:
    case ValueBytes:
      LinkReference(&ValueWordPointer<StrHeader>(word)->ref);
      break;
    case ValueInterface:
      ValueWordPointer<IUnknown>(word)->AddRef();
      break;
    case ValueDictionary:
      Link(ValueWordPointer<DictionaryRecord>(word));
      break;
    case ValueArrayTag:
      LinkReference(&ValueWordPointer<ArrayHeader>(word)->ref);
      break;
    case ValueRecords:
      Link(ValueWordPointer<ValueRecordSet>(word));
      break;
    case ValueList:
      Link(ValueWordPointer<ValueListObject>(word));
      break;
    default:  // boxed booleans and date-times are not counted; invalid tags own nothing
      break;
  }
}

void ReleaseValueWord(uint64_t word) noexcept {
  if (!ValueWordOnHeap(word)) return;
  switch (ValueWordTag(word)) {
    case ValueInteger:
      ReleaseBox(ValueWordPointer<IntegerBox>(word));
      break;
    case ValueDouble:
      ReleaseBox(ValueWordPointer<DoubleBox>(word));
      break;
    case ValueText:
    case ValueBytes:
      Str::Release(ValueWordPointer<StrHeader>(word));
      break;
    case ValueInterface:
      ValueWordPointer<IUnknown>(word)->Release();
      break;
    case ValueDictionary:
      Unlink(ValueWordPointer<DictionaryRecord>(word));
      break;
    case ValueArrayTag:
      ValueWords::Release(ValueWordPointer<ArrayHeader>(word));
      break;
    case ValueRecords:
      Unlink(ValueWordPointer<ValueRecordSet>(word));
      break;
    case ValueList:
      Unlink(ValueWordPointer<ValueListObject>(word));
      break;
    default:
      break;
  }
}

uint32_t ValueArrayCapacity(uint64_t n, uint64_t k) noexcept {
  uint64_t capacity;
  if (n < 20) capacity = n + 10;
  else if (n / 4 < k) capacity = n;
  else if (n < 100000) capacity = n + n / 2;
  else capacity = n + 50000;
  return capacity > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(capacity);
}

ValueRecordSet::~ValueRecordSet() { Unlink(columns); }

// ---------------------------------------------------------------------------------------------
// Value

Value::Value(int64_t v) {
  if (FitsValuePayload(v)) {
    word_ = MakeValueWord(ValueInteger, false, v);
    return;
  }
  IntegerBox* box = NewBox<IntegerBox>();
  if (!box) return;  // the allocator has reported; the value stays empty
  box->value = v;
  word_ = MakeValuePointerWord(ValueInteger, box);
}

Value::Value(const char* text) : Value(Str(text)) {}

Value::Value(const Str& text) noexcept {
  Str copy(text);
  word_ = MakeValuePointerWord(ValueText, copy.Detach());
}

Value::Value(Str&& text) noexcept : word_(MakeValuePointerWord(ValueText, text.Detach())) {}

Value::Value(const Dictionary& dictionary) noexcept {
  Dictionary copy(dictionary);
  word_ = MakeValuePointerWord(ValueDictionary, copy.Detach());
}

Value::Value(const ValueArray& array) noexcept {
  ArrayHeader* header = array.Header();
  if (header) LinkReference(&header->ref);
  word_ = MakeValuePointerWord(ValueArrayTag, header);
}

Value Value::Double(double d) {
  int64_t bits = int64_t(DoubleBits(d));
  if (FitsValuePayload(bits)) return FromWord(MakeValueWord(ValueDouble, false, bits));
  DoubleBox* box = NewBox<DoubleBox>();
  if (!box) return Value();
  box->value = d;
  return FromWord(MakeValuePointerWord(ValueDouble, box));
}

Value Value::DateTime(const DateTimeFields& f) noexcept {
  // Packing cuts wide fields to their bits, which would make a different, valid-looking date.
  if (f.year > 4095 || f.month < 1 || f.month > 12 || f.day < 1 || f.day > 31 || f.hour > 23 || f.minute > 59 ||
      f.second > 59 || f.millisecond > 999)
    return Value();
  return DateTimePacked(PackDateTime(f));
}

Value Value::DateTimePacked(uint64_t packed) noexcept {
  return FromWord(MakeValueWord(ValueDateTime, false, int64_t(packed & 0x00FFFFFFFFFFFFFFull)));
}

Value Value::Interface(IUnknown* object) noexcept {
  if (!object) return Value();
  uint64_t word = MakeValuePointerWord(ValueInterface, object);
  object->AddRef();
  return FromWord(word);
}

Value Value::Bytes(const void* data, uint32_t count) {
  Str block(static_cast<const char*>(data), count);
  if (count && block.IsEmpty()) return Value();
  return FromWord(MakeValuePointerWord(ValueBytes, block.Detach()));
}

Value Value::AdoptRecords(ValueRecordSet* records) noexcept {
  return FromWord(MakeValuePointerWord(ValueRecords, records));
}

Value Value::AdoptList(ValueListObject* list) noexcept { return FromWord(MakeValuePointerWord(ValueList, list)); }

bool ValueWordBool(uint64_t word) noexcept {
  if (ValueWordTag(word) != ValueBool) return false;
  if (ValueWordOnHeap(word)) return ValueWordPointer<BoolBox>(word)->flag != 0;
  return ValueWordPayload(word) != 0;
}

int64_t ValueWordInteger(uint64_t word) noexcept {
  if (ValueWordTag(word) != ValueInteger) return 0;
  if (ValueWordOnHeap(word)) return ValueWordPointer<IntegerBox>(word)->value;
  return ValueWordPayload(word);
}

double ValueWordDouble(uint64_t word) noexcept {
  switch (ValueWordTag(word)) {
    case ValueInteger:
      return double(ValueWordInteger(word));
    case ValueDouble:
      if (ValueWordOnHeap(word)) return ValueWordPointer<DoubleBox>(word)->value;
      return BitsDouble(uint64_t(ValueWordPayload(word)));
    default:
      return 0;
  }
}

uint64_t ValueWordPackedDateTime(uint64_t word) noexcept {
  if (ValueWordTag(word) != ValueDateTime) return 0;
  if (!ValueWordOnHeap(word)) return uint64_t(ValueWordPayload(word)) & 0x00FFFFFFFFFFFFFFull;
  const DateTimeBox* box = ValueWordPointer<DateTimeBox>(word);
  return uint64_t(box->time) | uint64_t(box->date) << 32 | uint64_t(box->zone) << 48;
}

DateTimeFields ValueWordDateTime(uint64_t word) noexcept {
  if (ValueWordTag(word) != ValueDateTime) return DateTimeFields{};
  return UnpackDateTime(ValueWordPackedDateTime(word));
}

bool Value::AsBool() const noexcept { return ValueWordBool(word_); }
double Value::AsDouble() const noexcept { return ValueWordDouble(word_); }
int64_t Value::AsInteger() const noexcept { return ValueWordInteger(word_); }
DateTimeFields Value::AsDateTime() const noexcept { return ValueWordDateTime(word_); }

Str Value::AsText() const noexcept {
  if (Tag() != ValueText || !OnHeap()) return Str();
  StrHeader* header = ValueWordPointer<StrHeader>(word_);
  LinkReference(&header->ref);
  return Str::Attach(header);
}

Str Value::AsBytes() const noexcept {
  if (Tag() != ValueBytes || !OnHeap()) return Str();
  StrHeader* header = ValueWordPointer<StrHeader>(word_);
  LinkReference(&header->ref);
  return Str::Attach(header);
}

Dictionary Value::AsDictionary() const noexcept {
  if (Tag() != ValueDictionary || !OnHeap()) return Dictionary();
  return Dictionary::Attach(Link(ValueWordPointer<DictionaryRecord>(word_)));
}

ValueArray Value::AsArray() const noexcept {
  if (Tag() != ValueArrayTag || !OnHeap()) return ValueArray();
  ArrayHeader* header = ValueWordPointer<ArrayHeader>(word_);
  LinkReference(&header->ref);
  return ValueArray::Attach(header);
}

ValueRecordSet* Value::AsRecords() const noexcept {
  if (Tag() != ValueRecords || !OnHeap()) return nullptr;
  return Link(ValueWordPointer<ValueRecordSet>(word_));
}

ValueListObject* Value::AsList() const noexcept {
  if (Tag() != ValueList || !OnHeap()) return nullptr;
  return Link(ValueWordPointer<ValueListObject>(word_));
}

uint32_t Value::Count() const noexcept {
  if (!OnHeap()) return 0;
  switch (Tag()) {
    case ValueDictionary:
      return ValueWordPointer<DictionaryRecord>(word_)->keys.Length();
    case ValueArrayTag:
      return ValueWordPointer<ArrayHeader>(word_)->length;
    case ValueRecords:
      return ValueWordPointer<ValueRecordSet>(word_)->rows.Length();
    case ValueList: {
      const ValueListObject* list = ValueWordPointer<ValueListObject>(word_);
      return list->count ? list->count(list) : 0;
    }
    case ValueBytes:
      // A byte block's length is always stored: its bytes may start with or contain zeros.
      return ValueWordPointer<StrHeader>(word_)->length;
    default:
      return 0;
  }
}

// ---------------------------------------------------------------------------------------------
// Value arrays

Value ValueArray::Get(uint32_t i) const noexcept {
  if (i >= Length()) return Value();
  uint64_t word = words_[i];
  LinkValueWord(word);
  return Value::AdoptWord(word);
}

bool ValueArray::Set(uint32_t i, const Value& v) noexcept {
  uint32_t length = Length();
  if (i > length) return false;
  if (i == length) {
    if (length == 0xFFFFFFFFu) ArrayOverflowFatal(length, 1);
    bool shared = words_.UseCount() >= 2;
    if (!words_.Header() || shared || length + 1 > words_.Capacity()) {
      uint32_t capacity = length + 1 > words_.Capacity() ? ValueArrayCapacity(uint64_t(length) + 1, 1)
                                                         : words_.Capacity();
      if (!words_.Resize(capacity, length)) ArrayAllocationFatal();
    }
  }
  return words_.Set(i, v.Word());
}
