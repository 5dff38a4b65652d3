// Counted arrays of 32-bit and 64-bit elements.
//
// Both share the string header (use count, capacity, length). 32-bit elements follow the header
// directly (block: capacity * 4 + 16 bytes); 64-bit elements follow one 32-bit filler word so
// that they are 8-byte aligned (block: capacity * 8 + 24 bytes). New blocks have all capacity
// slots zeroed. A null array is the empty array. A shared block (count 2 or more) is never
// written: writers copy it first.
//
// Element policies: PlainElements<T> for numbers; LinkedElements<T> for pointers to counted
// objects (each element copied in is Linked, each dropped is Unlinked). Dynamic values add their own
// policy for Values (any type with static Link(T) / Unlink(T)).
#pragma once

#include "reference.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

struct ArrayHeader {
  Reference ref;
  uint32_t capacity;
  uint32_t length;
};
static_assert(sizeof(ArrayHeader) == 12);

// Offset of the first element and block size per element width (4 or 8).
constexpr size_t ArrayDataOffset(size_t elementSize) { return elementSize == 8 ? 16 : 12; }
constexpr size_t ArrayBlockSize(uint32_t capacity, size_t elementSize) {
  return size_t(capacity) * elementSize + (elementSize == 8 ? 24 : 16);
}

// A new block with count 1, the given capacity and length and zeroed slots (no size rounding).
// capacity 0 gives null. A failure reports event 800 ("Array allocation failed", "size_bytes" =
// the requested capacity and "length", as the design's table says) and gives null, keeping the
// caller's last-error value.
ArrayHeader* ArrayAllocate(uint32_t capacity, uint32_t length, size_t elementSize) noexcept;
// Returns a block whose elements have been released already.
void ArrayFree(ArrayHeader* header, size_t elementSize) noexcept;
// The element-access growth failures: event 801 then FatalError("UInt32 overflow"), and
// FatalError("Could not allocate array").
[[noreturn]] void ArrayOverflowFatal(uint32_t length, uint32_t added);
[[noreturn]] void ArrayAllocationFatal();

template <typename T>
struct PlainElements {
  static void Link(T) noexcept {}
  static void Unlink(T) noexcept {}
};
// Pointers to counted objects (types derived from Reference).
template <typename T>
struct LinkedElements {
  static void Link(T* p) noexcept { ::Link(p); }
  static void Unlink(T* p) noexcept { ::Unlink(p); }
};

template <typename T, typename Policy = PlainElements<T>>
class CountedArray {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8, "counted arrays hold 32-bit or 64-bit elements");
  static_assert(std::is_trivially_copyable_v<T>, "elements are copied as bits");

 public:
  static constexpr size_t kElementSize = sizeof(T);

  CountedArray() noexcept = default;
  CountedArray(const CountedArray& other) noexcept : h_(other.h_) {
    if (h_) LinkReference(&h_->ref);
  }
  CountedArray(CountedArray&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  CountedArray& operator=(const CountedArray& other) noexcept {
    ArrayHeader* old = h_;
    h_ = other.h_;
    if (h_) LinkReference(&h_->ref);
    Release(old);
    return *this;
  }
  CountedArray& operator=(CountedArray&& other) noexcept {
    if (this != &other) Release(std::exchange(h_, std::exchange(other.h_, nullptr)));
    return *this;
  }
  ~CountedArray() { Release(h_); }

  // A new array of `capacity` zeroed slots, `length` of them in use; empty on failure (event 800).
  static CountedArray Allocate(uint32_t capacity, uint32_t length) noexcept {
    return Attach(ArrayAllocate(capacity, length, kElementSize));
  }

  uint32_t Length() const noexcept { return h_ ? h_->length : 0; }
  uint32_t Capacity() const noexcept { return h_ ? h_->capacity : 0; }
  bool IsEmpty() const noexcept { return Length() == 0; }
  const T* Data() const noexcept { return h_ ? Elements(h_) : nullptr; }
  // Element i (< Length()).
  T operator[](uint32_t i) const noexcept { return Elements(h_)[i]; }

  // Moves to a new block of `capacity` slots and `length` in use, copying min(length, old
  // length) elements (Linked into the new block) unless `keep` is false; the old block is
  // Unlinked. capacity 0 empties the array. False (array unchanged) on allocation failure.
  bool Resize(uint32_t capacity, uint32_t length, bool keep = true) noexcept {
    if (capacity == 0) {
      Release(std::exchange(h_, nullptr));
      return true;
    }
    if (length > capacity) length = capacity;
    ArrayHeader* fresh = ArrayAllocate(capacity, length, kElementSize);
    if (!fresh) return false;
    if (keep && h_) {
      uint32_t n = h_->length < length ? h_->length : length;
      T* from = Elements(h_);
      T* to = Elements(fresh);
      for (uint32_t i = 0; i < n; ++i) {
        Policy::Link(from[i]);
        to[i] = from[i];
      }
    }
    Release(std::exchange(h_, fresh));
    return true;
  }

  // Stores v at index i (Linking v, Unlinking the old element). i == Length() grows the array by
  // one (normal growth policy); growth past 0xFFFFFFFF elements or a failed growth is fatal.
  // A shared block is copied first. i > Length() is a caller error (ignored, false).
  bool Set(uint32_t i, T v) noexcept {
    uint32_t length = Length();
    if (i > length) return false;
    T* slot = MutableSlot(i);
    Policy::Link(v);
    T old = std::exchange(*slot, v);
    Policy::Unlink(old);
    return true;
  }
  // Append one element (Set at Length()).
  void Push(T v) noexcept { Set(Length(), v); }

  // Writable access to element i (i <= Length()) with the growth rule of Set; the caller keeps
  // the policy's counts right itself.
  T& At(uint32_t i) noexcept { return *MutableSlot(i); }

  // Raw access for values that store array blocks.
  ArrayHeader* Header() const noexcept { return h_; }
  [[nodiscard]] ArrayHeader* Detach() noexcept { return std::exchange(h_, nullptr); }
  [[nodiscard]] static CountedArray Attach(ArrayHeader* header) noexcept {
    CountedArray a;
    a.h_ = header;
    return a;
  }
  // Unlinks a block; at count 0 releases every element in use and frees the block.
  static void Release(ArrayHeader* header) noexcept {
    if (!header || UnlinkReference(&header->ref) != 0) return;
    if constexpr (!std::is_same_v<Policy, PlainElements<T>>) {
      T* e = Elements(header);
      for (uint32_t i = 0; i < header->length; ++i) Policy::Unlink(e[i]);
    }
    ArrayFree(header, kElementSize);
  }
  static T* Elements(ArrayHeader* header) noexcept {
    return reinterpret_cast<T*>(reinterpret_cast<char*>(header) + ArrayDataOffset(kElementSize));
  }
  static const T* Elements(const ArrayHeader* header) noexcept {
    return reinterpret_cast<const T*>(reinterpret_cast<const char*>(header) + ArrayDataOffset(kElementSize));
  }

  const void* BufferIdentity() const noexcept { return h_; }
  int32_t UseCount() const noexcept { return h_ ? ReferenceCount(&h_->ref) : 0; }

 private:
  // The slot for index i in an unshared block, growing by one when i == length.
  T* MutableSlot(uint32_t i) noexcept;

  ArrayHeader* h_ = nullptr;
};

// Shared non-template part of MutableSlot: the capacity for growing `length` by one element.
uint32_t ArrayGrowCapacity(uint32_t length) noexcept;

template <typename T, typename Policy>
T* CountedArray<T, Policy>::MutableSlot(uint32_t i) noexcept {
  uint32_t length = Length();
  bool grow = i == length;
  if (grow && length == 0xFFFFFFFFu) ArrayOverflowFatal(length, 1);
  uint32_t needed = grow ? length + 1 : length;
  bool shared = h_ && ReferenceCount(&h_->ref) >= 2;
  if (!h_ || shared || needed > h_->capacity) {
    uint32_t capacity = needed > Capacity() ? ArrayGrowCapacity(length) : Capacity();
    if (!Resize(capacity, needed)) ArrayAllocationFatal();
  } else if (grow) {
    h_->length = needed;
  }
  return &Elements(h_)[i];
}

using Array32 = CountedArray<uint32_t>;
using Array64 = CountedArray<uint64_t>;
template <typename T>
using CountedPtrArray = CountedArray<T*, LinkedElements<T>>;
