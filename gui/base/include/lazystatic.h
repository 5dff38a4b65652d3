// Lazy statics: process-wide objects built exactly once, on first use, by whichever thread gets
// there first, and destroyed at process exit in the reverse order of their construction.
//
// A lazy static has a life state: 1 before construction, 2 constructed, 4 destroyed. Its users
// treat the object as usable only while the state is 1 or 2 (Get() builds it in state 1); once
// it is 4, Get() answers null and the user takes its documented fallback. Declare one at
// namespace scope so that it is constant-initialised (no static-initialisation order to mind):
//
//   constinit LazyStatic<ReportSettings> s_settings("ReportSettings s_settings");
//   if (ReportSettings* settings = s_settings.Get()) ...
//
// With `destroyAtExit` false the object is never destroyed and stays in state 2 until the
// process ends: for the objects that reports made during process exit still need (the stream
// writers), which would otherwise be gone before the last static destructor reports.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

constexpr uint32_t kLazyStaticNew = 1;
constexpr uint32_t kLazyStaticConstructed = 2;
constexpr uint32_t kLazyStaticDestroyed = 4;

// The type-independent part; the functions below work on it.
struct LazyStaticRecord {
  std::atomic<void*> pointer{nullptr};  // null until the object is complete (release store)
  std::atomic<uint32_t> state{kLazyStaticNew};
  const char* site;                     // "Type s_variable", the lock site of its creation
  void (*construct)(void* storage);
  void (*destroy)(void* object);        // null: kept until the process ends
  void* storage;
  LazyStaticRecord* older = nullptr;    // the process-exit list, newest first

  constexpr LazyStaticRecord(const char* siteText, void (*constructFn)(void*), void (*destroyFn)(void*),
                             void* storageAt) noexcept
      : site(siteText), construct(constructFn), destroy(destroyFn), storage(storageAt) {}
};

// The slow path of Get(): under the lock "LazyStaticInternal" (entered with the record's site),
// checks the pointer again and, if still null and the state is 1, constructs the object, sets
// the state to 2, registers its destruction for process exit and publishes the pointer. Null
// when the lazy static is already destroyed (state 4).
void* CreateLazyStatic(LazyStaticRecord* record) noexcept;

// Destroys the most recently constructed lazy static that is still alive (state 2 -> 4). The
// library registers one call per construction with atexit, so destruction mirrors construction.
void DestroyNewestLazyStatic() noexcept;

template <typename T, bool destroyAtExit = true>
class LazyStatic {
 public:
  explicit constexpr LazyStatic(const char* site) noexcept
      : record_(site, &Construct, destroyAtExit ? &Destroy : nullptr, storage_) {}
  LazyStatic(const LazyStatic&) = delete;
  LazyStatic& operator=(const LazyStatic&) = delete;

  // The object, built on first use; null once destroyed (state 4) or if it cannot be built.
  T* Get() noexcept {
    void* object = record_.pointer.load(std::memory_order_acquire);
    if (!object) object = CreateLazyStatic(&record_);
    return static_cast<T*>(object);
  }
  uint32_t State() const noexcept { return record_.state.load(std::memory_order_acquire); }
  // Whether users may still use the object (state 1 or 2).
  bool IsUsable() const noexcept { return (State() & 3) != 0; }
  const char* Site() const noexcept { return record_.site; }

 private:
  static void Construct(void* storage) { ::new (storage) T(); }
  static void Destroy(void* object) { static_cast<T*>(object)->~T(); }

  alignas(T) unsigned char storage_[sizeof(T)] = {};
  LazyStaticRecord record_;
};
