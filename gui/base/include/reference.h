// Intrusive reference counting: the rule of every shared heap object of the library.
//
// A counted object begins with one signed 32-bit use count, changed only by atomic
// read-modify-write. A new object has count 1, held by its creator; the object is destroyed and
// its block returned to the particle allocator when the count reaches 0. A count out of range is
// unrecoverable misuse and ends the process through FatalError.
#pragma once

#include "alloc.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

// The use-count field. Derive counted types from it (as the first base, in a class without
// virtual functions, so that the count is the first word of the object), or embed it as the
// first member of a header record (strings and arrays do this).
struct Reference {
  int32_t useCount;
};
static_assert(sizeof(Reference) == 4 && alignof(Reference) == 4);

// The fatal ends of Link and Unlink (kept out of line so the inline paths stay small).
// They call FatalError with "Reference::Link: %p: Invalid reference count (%d)" and
// "Reference::Unlink: %p: Invalid reference count (%d)".
[[noreturn]] void ReferenceLinkFailed(const void* object, int32_t count);
[[noreturn]] void ReferenceUnlinkFailed(const void* object, int32_t count);

// Adds 1 atomically; a resulting count of 1 or less is fatal. Returns the new count.
inline int32_t LinkReference(Reference* object) noexcept {
  // The atomic add wraps; the new count is formed the same way (a signed + 1 could overflow).
  int32_t count = static_cast<int32_t>(
      static_cast<uint32_t>(std::atomic_ref<int32_t>(object->useCount).fetch_add(1, std::memory_order_relaxed)) + 1u);
  if (count <= 1) [[unlikely]]
    ReferenceLinkFailed(object, count);
  return count;
}

// Subtracts 1 atomically; a resulting count below 0 is fatal. Returns the new count: at 0 the
// caller destroys the object (use Unlink below, which does that).
inline int32_t UnlinkReference(Reference* object) noexcept {
  int32_t count = static_cast<int32_t>(
      static_cast<uint32_t>(std::atomic_ref<int32_t>(object->useCount).fetch_sub(1, std::memory_order_acq_rel)) - 1u);
  if (count < 0) [[unlikely]]
    ReferenceUnlinkFailed(object, count);
  return count;
}

// The current count (a snapshot; only meaningful to the one handle that could be the sole owner).
inline int32_t ReferenceCount(const Reference* object) noexcept {
  return std::atomic_ref<int32_t>(const_cast<int32_t&>(object->useCount)).load(std::memory_order_acquire);
}

// How a counted object of type T is destroyed when its count reaches 0. A type whose block size
// is not sizeof(T) (a variable-sized record, a polymorphic object) provides a static member
// `static void DestroyCounted(T*)`; otherwise the destructor runs and sizeof(T) bytes go back to
// the particle allocator (pair this with NewCounted).
template <typename T>
inline void DestroyCountedObject(T* object) noexcept {
  if constexpr (requires { T::DestroyCounted(object); }) {
    T::DestroyCounted(object);
  } else {
    object->~T();
    FreeParticle(sizeof(T), object);
  }
}

// Link / Unlink of any counted object (null is ignored). Link returns its argument.
template <typename T>
inline T* Link(T* object) noexcept {
  static_assert(std::is_base_of_v<Reference, T>, "Link needs a type derived from Reference");
  if (object) LinkReference(object);
  return object;
}
template <typename T>
inline void Unlink(T* object) noexcept {
  static_assert(std::is_base_of_v<Reference, T>, "Unlink needs a type derived from Reference");
  if (object && UnlinkReference(object) == 0) DestroyCountedObject(object);
}

// Creates a counted object with count 1 in a particle block of sizeof(T) bytes; null when the
// allocator fails. T's constructor must not touch useCount (it is set here).
template <typename T, typename... Args>
inline T* NewCounted(Args&&... args) {
  void* block = AllocParticle(sizeof(T));
  if (!block) return nullptr;
  T* object = ::new (block) T(std::forward<Args>(args)...);
  static_cast<Reference*>(object)->useCount = 1;
  return object;
}

// Owning handle to a counted object: copying Links, destroying or overwriting Unlinks the old
// target after the new one has been Linked (self-assignment is safe).
template <typename T>
class CountedPtr {
 public:
  CountedPtr() noexcept = default;
  CountedPtr(std::nullptr_t) noexcept {}
  // Takes one more reference to `object`.
  explicit CountedPtr(T* object) noexcept : object_(Link(object)) {}
  // Takes over the reference the caller holds (for example the creator's count of 1).
  [[nodiscard]] static CountedPtr Adopt(T* object) noexcept {
    CountedPtr p;
    p.object_ = object;
    return p;
  }
  CountedPtr(const CountedPtr& other) noexcept : object_(Link(other.object_)) {}
  CountedPtr(CountedPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  CountedPtr& operator=(const CountedPtr& other) noexcept {
    T* old = object_;
    object_ = Link(other.object_);
    Unlink(old);
    return *this;
  }
  CountedPtr& operator=(CountedPtr&& other) noexcept {
    if (this != &other) {
      T* old = object_;
      object_ = std::exchange(other.object_, nullptr);
      Unlink(old);
    }
    return *this;
  }
  ~CountedPtr() { Unlink(object_); }

  T* Get() const noexcept { return object_; }
  T* operator->() const noexcept { return object_; }
  T& operator*() const noexcept { return *object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  [[nodiscard]] T* Detach() noexcept { return std::exchange(object_, nullptr); }
  void Reset() noexcept { Unlink(std::exchange(object_, nullptr)); }

  friend bool operator==(const CountedPtr& a, const CountedPtr& b) noexcept { return a.object_ == b.object_; }

 private:
  T* object_ = nullptr;
};
