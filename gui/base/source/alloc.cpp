// Small-block allocation. This first body serves every request from the process heap; the
// size-class caches replace it without changing a caller.
#include "alloc.h"

#include "win.h"

void* AllocParticle(size_t size) {
  return ::HeapAlloc(::GetProcessHeap(), 0, size ? size : 1);
}

void FreeParticle(size_t /*size*/, void* block) {
  if (block) ::HeapFree(::GetProcessHeap(), 0, block);
}

void FreeParticleChain(size_t size, size_t linkOffset, void* first) {
  while (first) {
    void* next = *reinterpret_cast<void**>(static_cast<char*>(first) + linkOffset);
    FreeParticle(size, first);
    first = next;
  }
}
