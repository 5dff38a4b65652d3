// Creation and process-exit destruction of lazy statics.
#include "lazystatic.h"

#include "locks.h"
#include "processobject.h"

#include <cstdlib>

namespace {

constinit ProcessObject<NamedCriticalSection> s_internalLock;
void MakeInternalLock(void* at) { ::new (at) NamedCriticalSection("LazyStaticInternal"); }

// Newest first; changed only under "LazyStaticInternal".
LazyStaticRecord* s_newest = nullptr;

}  // namespace

NamedCriticalSection& LazyStaticInternalLock() noexcept { return s_internalLock.Get<MakeInternalLock>(); }

void* CreateLazyStatic(LazyStaticRecord* record) noexcept {
  NamedLockHold hold(LazyStaticInternalLock(), record->site);
  void* object = record->pointer.load(std::memory_order_acquire);
  if (object || record->state.load(std::memory_order_acquire) != kLazyStaticNew) return object;
  record->construct(record->storage);
  record->state.store(kLazyStaticConstructed, std::memory_order_release);
  // One atexit entry per construction: atexit runs its entries newest first, and each entry
  // destroys the newest living lazy static, so every object dies after everything that was
  // built (or registered for exit) after it. Without an entry the object simply lives on.
  if (record->destroy && std::atexit(DestroyNewestLazyStatic) == 0) {
    record->older = s_newest;
    s_newest = record;
  }
  record->pointer.store(record->storage, std::memory_order_release);
  return record->storage;
}

void DestroyNewestLazyStatic() noexcept {
  LazyStaticRecord* record;
  {
    NamedLockHold hold(LazyStaticInternalLock(), "DestroyNewestLazyStatic");
    record = s_newest;
    if (!record) return;
    s_newest = record->older;
    // Users see state 4 and take their fallback before the object goes; the pointer stays set
    // only for readers that already hold it.
    record->state.store(kLazyStaticDestroyed, std::memory_order_release);
    record->pointer.store(nullptr, std::memory_order_release);
  }
  record->destroy(record->storage);
}
