// The particle allocator's per-thread side: unlocked free lists per size class, found through a
// thread-local-storage slot, refilled from and drained to the pool in batches.
#include "alloc.h"

#include "compiler.h"

#include "libinit.h"
#include "particlepool.h"
#include "threadexit.h"
#include "trace.h"
#include "win.h"

#if defined(_M_X64) || defined(__x86_64__)
#include <intrin.h>
#endif


namespace {

// The calling thread's slot value without TlsGetValue, which also writes the last-error value.
// TlsSlots of the thread environment block sits at gs:0x1480 on x64 (Windows and Wine alike);
// slots beyond the first 64 live elsewhere and take the documented call.
inline void* ReadCacheSlot(DWORD slot) noexcept {
#if defined(_M_X64) || defined(__x86_64__)
  if (slot < 64) return reinterpret_cast<void*>(__readgsqword(0x1480 + slot * sizeof(void*)));
#endif
  DWORD saved = ::GetLastError();
  void* value = ::TlsGetValue(slot);
  if (saved != 0) ::SetLastError(saved);
  return value;
}

// The calling thread's own cache on the common path; null sends the caller to the slow path.
inline ParticleThreadCache* OwnCache() noexcept {
  if (g_particleState.load(std::memory_order_acquire) != kParticleAllocatorInUse) return nullptr;
  void* value = ReadCacheSlot(g_particleSlot);
  if (!value || value == kReleasedCache) return nullptr;
  return static_cast<ParticleThreadCache*>(value);
}

inline void* PopParticle(ParticleClassCache* record) noexcept {
  void* particle = record->head;
  if (!particle) return AllocParticleList(record);
  record->head = ParticleLink(particle, record->size);
  --record->count;
  return particle;
}

inline void PushParticle(ParticleClassCache* record, void* particle) noexcept {
  PushParticleOnto(record, particle);
  if (record->count > static_cast<int32_t>(record->maxCached)) FreeParticleList(record, record->batch);
}

// The common path's cache: read straight from the thread block, with no call. Null (no pool, no
// fast slot, no cache yet, or the released marker) sends the caller to the slow path.
inline ParticleThreadCache* FastCache() noexcept {
#if defined(_M_X64) || defined(__x86_64__)
  const uint32_t offset = g_particleSlotOffset.load(std::memory_order_acquire);
  if (offset == 0) return nullptr;
  const uintptr_t value = static_cast<uintptr_t>(__readgsqword(offset));
  // Null and the released marker (all bits set) both fail this one comparison.
  if (value + 1 <= 1) return nullptr;
  return reinterpret_cast<ParticleThreadCache*>(value);
#else
  return nullptr;
#endif
}

// The class record of a classed size (1 .. 1024) in an enabled cache.
inline ParticleClassCache* ClassOf(ParticleThreadCache* cache, size_t size) noexcept {
  return &cache->classes[(size - 1) >> 3];
}

void ReleaseThreadCache(void* context) {
  auto* cache = static_cast<ParticleThreadCache*>(context);
  if (g_particleState.load(std::memory_order_acquire) == kParticleAllocatorInUse) {
    // Marked first: anything that frees during the drain must not push onto this cache again.
    ::TlsSetValue(g_particleSlot, kReleasedCache);
    for (ParticleClassCache& record : cache->classes) FreeParticleList(&record, 0);
  }
  ::HeapFree(::GetProcessHeap(), 0, cache);
}

enum class CacheKind { Own, Fallback, Released, None };

struct CacheLookup {
  CacheKind kind;
  ParticleThreadCache* cache;
};

// Finds (and on first use builds) the calling thread's cache.
CacheLookup LookUpCache() noexcept {
  uint32_t state = g_particleState.load(std::memory_order_acquire);
  if (state != kParticleAllocatorNew && state != kParticleAllocatorInUse) return {CacheKind::None, nullptr};
  EnsureParticlePool();
  if (g_particleState.load(std::memory_order_acquire) != kParticleAllocatorInUse) return {CacheKind::None, nullptr};
  if (g_particleSlot == TLS_OUT_OF_INDEXES) return {CacheKind::Fallback, FallbackParticleCache()};
  void* value = ReadCacheSlot(g_particleSlot);
  if (value == kReleasedCache) return {CacheKind::Released, FallbackParticleCache()};
  if (value) return {CacheKind::Own, static_cast<ParticleThreadCache*>(value)};

  DWORD saved = ::GetLastError();
  HANDLE heap = ::GetProcessHeap();
  auto* cache = static_cast<ParticleThreadCache*>(::HeapAlloc(heap, 0, sizeof(ParticleThreadCache)));
  CacheLookup result{CacheKind::Fallback, FallbackParticleCache()};
  if (cache) {
    InitializeParticleCache(cache);
    if (!::TlsSetValue(g_particleSlot, cache)) {
      ::HeapFree(heap, 0, cache);
    } else if (!RegisterThreadExitCallback(ReleaseThreadCache, cache, kThreadExitPriorityAllocator)) {
      // Nothing would release it at thread exit; the thread tries again on its next call.
      ::TlsSetValue(g_particleSlot, nullptr);
      ::HeapFree(heap, 0, cache);
    } else {
      result = {CacheKind::Own, cache};
    }
  }
  ::SetLastError(saved);
  return result;
}

void* HeapBlock(size_t size) noexcept { return ::HeapAlloc(::GetProcessHeap(), 0, size ? size : 1); }

QEL_NOINLINE void* AllocParticleSlow(size_t size) noexcept {
  if (size == 0 || size > kLargestParticle) return HeapBlock(size);
  CacheLookup lookup = LookUpCache();
  if (lookup.kind == CacheKind::None) return HeapBlock(size);
  ParticleClassCache* record = lookup.cache->sizeTable[size];
  if (!record) return HeapBlock(size);
  if (lookup.kind == CacheKind::Own) return PopParticle(record);
  // The fallback cache serves every thread that has no cache of its own, so it takes a lock.
  ::AcquireSRWLockExclusive(FallbackParticleLock());
  void* particle = PopParticle(record);
  ::ReleaseSRWLockExclusive(FallbackParticleLock());
  return particle;
}

QEL_NOINLINE void FreeParticleSlow(size_t size, void* block) noexcept {
  // A block without a class always came from the process heap, whatever state the thread or
  // the allocator is in now, so it can always go back there.
  if (size == 0 || size > kLargestParticle) {
    ::HeapFree(::GetProcessHeap(), 0, block);
    return;
  }
  CacheLookup lookup = LookUpCache();
  if (lookup.kind == CacheKind::None || lookup.kind == CacheKind::Released) {
    // Switched off, every block came from the heap. Otherwise the particle may belong to a
    // pool that is gone, or the thread's cache is released: it is dropped, not returned.
    if (!g_particleEnabled) ::HeapFree(::GetProcessHeap(), 0, block);
    return;
  }
  ParticleClassCache* record = lookup.cache->sizeTable[size];
  if (!record) {
    ::HeapFree(::GetProcessHeap(), 0, block);
    return;
  }
  if (lookup.kind == CacheKind::Own) {
    PushParticle(record, block);
    return;
  }
  ::AcquireSRWLockExclusive(FallbackParticleLock());
  PushParticle(record, block);
  ::ReleaseSRWLockExclusive(FallbackParticleLock());
}

}  // namespace

void* AllocParticle(size_t size) {
  if (size - 1 < kLargestParticle) {
    if (ParticleThreadCache* cache = FastCache()) {
      ParticleClassCache* record = ClassOf(cache, size);
      if (void* particle = record->head) {
        record->head = ParticleLink(particle, record->size);
        --record->count;
        return particle;
      }
    }
  }
  return AllocParticleSlow(size);
}

void FreeParticle(size_t size, void* block) {
  if (!block) return;
  if (size - 1 < kLargestParticle) {
    if (ParticleThreadCache* cache = FastCache()) {
      PushParticle(ClassOf(cache, size), block);
      return;
    }
  }
  FreeParticleSlow(size, block);
}

void FreeParticleChain(size_t size, size_t linkOffset, void* first) {
  if (!first) return;
  ParticleThreadCache* cache = size - 1 < kLargestParticle ? OwnCache() : nullptr;
  ParticleClassCache* record = cache ? cache->sizeTable[size] : nullptr;
  if (!record) {
    while (first) {
      void* next = *reinterpret_cast<void**>(static_cast<char*>(first) + linkOffset);
      FreeParticle(size, first);
      first = next;
    }
    return;
  }
  // Re-link the chain through the particles' own link words, then splice it in one step.
  int32_t count = 0;
  void* last = first;
  for (void* block = first; block;) {
    void* next = *reinterpret_cast<void**>(static_cast<char*>(block) + linkOffset);
    ParticleLink(block, record->size) = next;
    last = block;
    ++count;
    block = next;
  }
  if (!record->head) record->tail = last;
  ParticleLink(last, record->size) = record->head;
  record->head = first;
  record->count += count;
  if (record->count > static_cast<int32_t>(record->maxCached)) FreeParticleList(record, record->batch);
}

int32_t GetParticleThreadCount(uint32_t particleSize) {
  if (particleSize == 0 || particleSize > kLargestParticle || particleSize % 8 != 0) return -1;
  ParticleThreadCache* cache = OwnCache();
  return cache ? cache->classes[particleSize / 8 - 1].count : -1;
}

void PrepareParticleAllocator() noexcept {
  LookUpCache();
  const char* reason = nullptr;
  if (!IsParticleAllocatorEnabled(&reason)) {
    TraceText line("Particle Management disabled (%s)", reason);
    TraceOut(TraceAreaDefault, TraceDetail, "gui/base/source/alloc", 188, line.c_str());
  }
}

// The startup initialiser: the library is set up before any other static object of the program
// is built, so that those objects already find the allocator, the locks and the thresholds.
namespace {
struct LibraryInitialiser {
  LibraryInitialiser() noexcept { InitializeBaseLibrary(); }
};
}  // namespace
#if defined(_MSC_VER)
#pragma init_seg(lib)
static LibraryInitialiser s_libraryInitialiser;
#else
static LibraryInitialiser s_libraryInitialiser __attribute__((init_priority(101)));
#endif
