// Small-block allocator of the base library. Every counted type passes the exact block size
// to the free call, so blocks carry no size header.
#pragma once

#include <cstddef>
#include <cstdint>

// A block of at least `size` bytes; null only when the process heap is exhausted.
void* AllocParticle(size_t size);
// Returns a block; `size` must be the size it was allocated with. A null block is ignored.
void FreeParticle(size_t size, void* block);
// Returns a chain of blocks of one size whose next pointers sit at `linkOffset` in each block.
void FreeParticleChain(size_t size, size_t linkOffset, void* first);

// ---------------------------------------------------------------------------------------------
// Diagnostics (read-only)

// Allocator states.
constexpr uint32_t kParticleAllocatorNew = 1;       // no pool yet
constexpr uint32_t kParticleAllocatorInUse = 2;
constexpr uint32_t kParticleAllocatorTornDown = 4;  // after process-exit teardown

// The pool's side of one size class.
struct ParticleClassDiagnostics {
  uint32_t particleSize = 0;  // 8 .. 1024
  uint64_t poolFree = 0;      // particles in the pool's free list
  uint64_t carved = 0;        // particles carved for the class so far
  uint32_t blocks = 0;        // carved blocks
  uint32_t lastBlockBytes = 0;  // size of the newest block's particle area
};

// The size of the class that serves a request of `size` bytes (8 .. 1024); 0 when the request
// has no class (0 bytes, more than 1024 bytes, or the allocator is disabled).
uint32_t ParticleClassSize(size_t size);
// The pool's figures for the class of particle size `particleSize`; false when there is no such
// class or no pool.
bool GetParticleClassDiagnostics(uint32_t particleSize, ParticleClassDiagnostics* out);
// The number of particles in the calling thread's own list of the class `particleSize`; -1 when
// the thread has no cache of its own (none yet, released at its exit, or using the fallback).
int32_t GetParticleThreadCount(uint32_t particleSize);
uint32_t GetParticleAllocatorState();
// False when "PARTICLEREPLACEMENT" switched the allocator off; `reason` then names why.
bool IsParticleAllocatorEnabled(const char** reason = nullptr);
// Whether a "PARTICLEREPLACEMENT" value switches the allocator off.
bool ParticleReplacementDisables(const char* value);
