// Small-block allocator of the base library. Every counted type passes the exact block size
// to the free call, so blocks carry no size header.
#pragma once

#include <cstddef>

// A block of at least `size` bytes; null only when the process heap is exhausted.
void* AllocParticle(size_t size);
// Returns a block; `size` must be the size it was allocated with. A null block is ignored.
void FreeParticle(size_t size, void* block);
// Returns a chain of blocks of one size whose next pointers sit at `linkOffset` in each block.
void FreeParticleChain(size_t size, size_t linkOffset, void* first);
