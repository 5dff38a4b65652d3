// Private to the base library: the records of the particle allocator, shared by the hot paths
// (alloc.cpp) and the process-wide pool (particlepool.cpp).
#pragma once

#include "locks.h"
#include "win.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr uint32_t kParticleClasses = 128;
constexpr uint32_t kLargestParticle = 1024;
constexpr uint32_t kParticleRefillBytes = 4096;
constexpr uint32_t kParticleCacheBytes = 524288;
constexpr size_t kFirstBlockBytes = 16384;

// One carved block; the header itself comes from the process heap.
struct ParticleBlockHeader {
  void* data;
  uint32_t size;   // bytes of the particle area (count x particle size)
  uint32_t count;
  ParticleBlockHeader* next;
};

// One class of a thread's cache.
struct ParticleClassCache {
  void* head;          // free particles, linked through their last 8 bytes
  void* tail;          // the last of them while head is not null (stale once the list empties)
  int32_t count;
  uint32_t size;       // particle size
  uint32_t batch;      // refill batch: 4096 / size
  uint32_t maxCached;  // drain above this: 524288 / size
};

struct ParticleThreadCache {
  uint32_t threadId;
  ParticleClassCache* sizeTable[kLargestParticle + 1];  // [0] and every entry when disabled: null
  ParticleClassCache classes[kParticleClasses];
};

// The pool's side of one class.
struct ParticlePoolClass {
  alignas(NamedCriticalSection) unsigned char lockStorage[sizeof(NamedCriticalSection)];
  uint32_t size;
  void* freeHead;
  uint64_t freeCount;
  uint64_t carved;
  ParticleBlockHeader* blocks;

  NamedCriticalSection& Lock() noexcept { return *reinterpret_cast<NamedCriticalSection*>(lockStorage); }
};

// Pushes one particle onto a thread list (the caller drains the list when it grows too long).
inline void PushParticleOnto(ParticleClassCache* record, void* particle) noexcept;

// The link of a free particle of `size` bytes: its last 8 bytes.
inline void*& ParticleLink(void* particle, uint32_t size) noexcept {
  return *reinterpret_cast<void**>(static_cast<char*>(particle) + size - sizeof(void*));
}

inline void PushParticleOnto(ParticleClassCache* record, void* particle) noexcept {
  if (!record->head) record->tail = particle;
  ParticleLink(particle, record->size) = record->head;
  record->head = particle;
  ++record->count;
}

// The thread-local-storage value of a thread whose cache was released at its exit.
inline void* const kReleasedCache = reinterpret_cast<void*>(~uintptr_t(0));

// Process-wide state (particlepool.cpp).
extern std::atomic<uint32_t> g_particleState;  // kParticleAllocator* of alloc.h
extern DWORD g_particleSlot;                    // TLS_OUT_OF_INDEXES when none could be had
// Where the calling thread's cache pointer lies in its thread block (x64: gs-relative, the
// TlsSlots array at 0x1480) while the common path may read it there directly: the pool is in
// use, the allocator enabled and the slot among the first 64. 0 sends every call through the
// full lookup.
extern std::atomic<uint32_t> g_particleSlotOffset;
constexpr uint32_t kThreadBlockTlsSlots = 0x1480;
extern bool g_particleEnabled;

// Builds the pool once (thread-safe); afterwards the state is "in use" unless torn down.
void EnsureParticlePool() noexcept;
ParticlePoolClass& PoolClassOf(uint32_t particleSize) noexcept;
// Fills a cache record for the calling thread (sizes, batches, maxima, size table).
void InitializeParticleCache(ParticleThreadCache* cache) noexcept;
// Refills the class from the pool and returns one particle; never null (aborts instead).
void* AllocParticleList(ParticleClassCache* record) noexcept;
// Moves all but the first `keep` particles of the class to the pool.
void FreeParticleList(ParticleClassCache* record, uint32_t keep) noexcept;
// The fallback cache, shared by threads that cannot have their own, and its lock.
ParticleThreadCache* FallbackParticleCache() noexcept;
SRWLOCK* FallbackParticleLock() noexcept;
// Drains the fallback cache, frees every block and the slot; the state becomes "torn down".
void TearDownParticleAllocator() noexcept;
