// String-keyed dictionaries of Values (the tag-7 payload), in insertion order.
//
// A record holds thirteen hash buckets (counted arrays of indices into the key array), the key
// array (Str buffers, in insertion order) and the parallel value array. Keys compare byte for
// byte. A record shared by several handles is never written: a writer first gets a record of its
// own that shares the old one's arrays, and each array is copied only when it is written while
// still shared. The bucket count never changes.
#pragma once

#include "value.h"

#include <cstdint>

constexpr uint32_t kDictionaryBuckets = 13;

using KeyIndexArray = CountedArray<uint32_t>;

struct StrBufferElements {
  static void Link(StrHeader* h) noexcept {
    if (h) LinkReference(&h->ref);
  }
  static void Unlink(StrHeader* h) noexcept { Str::Release(h); }
};
using KeyArray = CountedArray<StrHeader*, StrBufferElements>;

struct DictionaryRecord : Reference {
  KeyIndexArray buckets[kDictionaryBuckets];
  KeyArray keys;
  ValueWords values;
};

// The bucket of a key: h = h * 31 + (byte as signed 8-bit) over the bytes, in 32-bit
// arithmetic, taken as unsigned modulo 13.
uint32_t DictionaryBucket(const char* key, uint32_t length) noexcept;

class Dictionary {
 public:
  Dictionary() noexcept = default;
  Dictionary(const Dictionary& other) noexcept : r_(Link(other.r_)) {}
  Dictionary(Dictionary&& other) noexcept : r_(std::exchange(other.r_, nullptr)) {}
  Dictionary& operator=(const Dictionary& other) noexcept {
    DictionaryRecord* old = r_;
    r_ = Link(other.r_);
    Unlink(old);
    return *this;
  }
  Dictionary& operator=(Dictionary&& other) noexcept {
    if (this != &other) Unlink(std::exchange(r_, std::exchange(other.r_, nullptr)));
    return *this;
  }
  ~Dictionary() { Unlink(r_); }
  // Drops this handle's reference; the handle becomes null (an empty dictionary).
  void Clear() noexcept { Unlink(std::exchange(r_, nullptr)); }

  // Sets the value of `key`: a new key goes to the end of the insertion order, an existing one
  // keeps its place and gets the new value. A null handle first gets a new record; a shared one
  // first gets a record of its own. False when an allocation fails (reported by the array and
  // string layer); the dictionary is then unchanged.
  bool Set(const Str& key, const Value& value) noexcept;
  bool Set(const char* key, const Value& value) { return Set(Str(key), value); }

  // The position of `key` in insertion order, or -1.
  int64_t Find(const char* key, uint32_t length) const noexcept;
  int64_t Find(const Str& key) const noexcept { return Find(key.c_str(), key.Length()); }
  // The value of `key` (a linked copy), or the empty value.
  Value Get(const Str& key) const noexcept;
  Value Get(const char* key) const { return Get(Str(key)); }
  bool Contains(const Str& key) const noexcept { return Find(key) >= 0; }

  // Entries in insertion order: index < Count().
  uint32_t Count() const noexcept { return r_ ? r_->keys.Length() : 0; }
  Str KeyAt(uint32_t index) const noexcept;
  Value ValueAt(uint32_t index) const noexcept;

  // Raw access for Values and the writers.
  DictionaryRecord* Record() const noexcept { return r_; }
  [[nodiscard]] DictionaryRecord* Detach() noexcept { return std::exchange(r_, nullptr); }
  [[nodiscard]] static Dictionary Attach(DictionaryRecord* record) noexcept {
    Dictionary d;
    d.r_ = record;
    return d;
  }
  const void* BufferIdentity() const noexcept { return r_; }

 private:
  // Makes r_ a record this handle alone holds; false when that fails.
  bool MakeUnshared() noexcept;

  DictionaryRecord* r_ = nullptr;
};
