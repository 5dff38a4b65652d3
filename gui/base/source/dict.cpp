// Dictionaries of Values: 13 fixed buckets, insertion order, copy-on-write.
#include "dict.h"

#include "win.h"

#include <cstring>

namespace {

// The length of a stored key; keys written through a raw buffer may not be measured yet.
uint32_t KeyLength(const StrHeader* h) noexcept {
  if (!h) return 0;
  if (h->length == 0 && h->Text()[0] != 0) return uint32_t(std::strlen(h->Text()));
  return h->length;
}

// Makes `a` an unshared block with room for `extra` more elements, so that the writes that
// follow cannot allocate (and so cannot end the process). False, with `a` unchanged in content,
// when the allocation fails; the array layer has reported it.
template <typename Array>
bool PrepareWrite(Array& a, uint32_t extra) noexcept {
  uint64_t needed = uint64_t(a.Length()) + extra;
  if (needed > 0xFFFFFFFFu) {
    ::SetLastError(ERROR_OUTOFMEMORY);
    return false;
  }
  bool shared = a.UseCount() >= 2;
  if (a.Header() && !shared && needed <= a.Capacity()) return true;
  uint32_t capacity = needed > a.Capacity() ? ValueArrayCapacity(needed, extra) : a.Capacity();
  return a.Resize(capacity, a.Length());
}

}  // namespace

uint32_t DictionaryBucket(const char* key, uint32_t length) noexcept {
  uint32_t h = 0;
  for (uint32_t i = 0; i < length; ++i) h = h * 31 + uint32_t(int32_t(static_cast<signed char>(key[i])));
  return h % kDictionaryBuckets;
}

bool Dictionary::MakeUnshared() noexcept {
  if (r_ && ReferenceCount(r_) < 2) return true;
  DictionaryRecord* fresh = NewCounted<DictionaryRecord>();
  if (!fresh) {
    ::SetLastError(ERROR_OUTOFMEMORY);
    return false;
  }
  if (r_) {
    // The new record shares every array; each is copied only when it is written.
    for (uint32_t b = 0; b < kDictionaryBuckets; ++b) fresh->buckets[b] = r_->buckets[b];
    fresh->keys = r_->keys;
    fresh->values = r_->values;
  }
  Unlink(std::exchange(r_, fresh));
  return true;
}

int64_t Dictionary::Find(const char* key, uint32_t length) const noexcept {
  if (!r_) return -1;
  const KeyIndexArray& bucket = r_->buckets[DictionaryBucket(key, length)];
  for (uint32_t i = 0; i < bucket.Length(); ++i) {
    uint32_t index = bucket[i];
    const StrHeader* stored = r_->keys[index];
    if (KeyLength(stored) != length) continue;
    if (length == 0 || std::memcmp(stored->Text(), key, length) == 0) return index;
  }
  return -1;
}

bool Dictionary::Set(const Str& key, const Value& value) noexcept {
  if (!MakeUnshared()) return false;
  uint32_t length = key.Length();
  int64_t found = Find(key.c_str(), length);
  if (found >= 0) {
    if (!PrepareWrite(r_->values, 0)) return false;
    r_->values.Set(uint32_t(found), value.Word());
    return true;
  }
  KeyIndexArray& bucket = r_->buckets[DictionaryBucket(key.c_str(), length)];
  // All three arrays get their room first, so that a failure leaves no half-added entry.
  if (!PrepareWrite(bucket, 1) || !PrepareWrite(r_->keys, 1) || !PrepareWrite(r_->values, 1)) return false;
  uint32_t index = r_->keys.Length();
  r_->keys.Set(index, key.Header());
  r_->values.Set(index, value.Word());
  bucket.Set(bucket.Length(), index);
  return true;
}

Value Dictionary::Get(const Str& key) const noexcept {
  int64_t index = Find(key);
  return index < 0 ? Value() : ValueAt(uint32_t(index));
}

Str Dictionary::KeyAt(uint32_t index) const noexcept {
  if (index >= Count()) return Str();
  StrHeader* h = r_->keys[index];
  if (h) LinkReference(&h->ref);
  return Str::Attach(h);
}

Value Dictionary::ValueAt(uint32_t index) const noexcept {
  if (index >= Count()) return Value();
  uint64_t word = r_->values[index];
  LinkValueWord(word);
  return Value::AdoptWord(word);
}
