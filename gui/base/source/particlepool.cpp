// The particle allocator's process-wide pool: one free list per size class under its own lock,
// filled by carving blocks of 16 KB to 1 MB from the process heap.
#include "particlepool.h"

#include "alloc.h"

#include <cstdio>
#include <new>

std::atomic<uint32_t> g_particleState{kParticleAllocatorNew};
DWORD g_particleSlot = TLS_OUT_OF_INDEXES;
std::atomic<uint32_t> g_particleSlotOffset{0};
bool g_particleEnabled = true;

namespace {

ParticlePoolClass s_classes[kParticleClasses];
INIT_ONCE s_poolOnce = INIT_ONCE_STATIC_INIT;
ParticleThreadCache s_fallback;
SRWLOCK s_fallbackLock = SRWLOCK_INIT;

bool EqualsIgnoringCase(const char* text, const char* word) {
  for (; *text && *word; ++text, ++word) {
    char c = *text;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != *word) return false;
  }
  return *text == 0 && *word == 0;
}

// Read with the plain system call: the pool is being built, so no counted string can be made.
bool ReadEnabledSwitch() {
  wchar_t wide[16];
  DWORD n = ::GetEnvironmentVariableW(L"PARTICLEREPLACEMENT", wide, 16);
  if (n == 0 || n >= 16) return true;  // unset, empty, or too long to be one of the words
  char text[16];
  for (DWORD i = 0; i <= n; ++i) text[i] = wide[i] < 0x80 ? static_cast<char>(wide[i]) : '?';
  return !ParticleReplacementDisables(text);
}

BOOL CALLBACK BuildPool(PINIT_ONCE, PVOID, PVOID*) {
  DWORD saved = ::GetLastError();
  g_particleEnabled = ReadEnabledSwitch();
  for (uint32_t k = 0; k < kParticleClasses; ++k) {
    ParticlePoolClass& pool = s_classes[k];
    ::new (pool.lockStorage) NamedCriticalSection("ParticleBlockHeader");
    pool.size = (k + 1) * 8;
    pool.freeHead = nullptr;
    pool.freeCount = 0;
    pool.carved = 0;
    pool.blocks = nullptr;
  }
  InitializeParticleCache(&s_fallback);
  s_fallback.threadId = 0;
  g_particleSlot = ::TlsAlloc();
  g_particleState.store(kParticleAllocatorInUse, std::memory_order_release);
#if defined(_M_X64) || defined(__x86_64__)
  if (g_particleEnabled && g_particleSlot < 64)
    g_particleSlotOffset.store(kThreadBlockTlsSlots + g_particleSlot * sizeof(void*), std::memory_order_release);
#endif
  ::SetLastError(saved);
  return TRUE;
}

[[noreturn]] void AbortOutOfMemory() {
  fflush(stderr);
  // Like abort(), without the runtime's message box that would wait on a service desktop.
  ::TerminateProcess(::GetCurrentProcess(), 3);
  for (;;) ::ExitProcess(3);
}

// Call with the class's lock held and its free list empty.
void CarveBlock(ParticlePoolClass& pool) {
  HANDLE heap = ::GetProcessHeap();
  uint32_t existing = 0;
  for (ParticleBlockHeader* block = pool.blocks; block && existing < 12; block = block->next) ++existing;
  size_t bytes = kFirstBlockBytes << (existing / 2);

  auto* header = static_cast<ParticleBlockHeader*>(::HeapAlloc(heap, 0, sizeof(ParticleBlockHeader)));
  if (!header) {
    fprintf(stderr, "Could not allocate particle block (%zu bytes) for size %u bytes\n", sizeof(ParticleBlockHeader),
            pool.size);
    AbortOutOfMemory();
  }
  const uint32_t size = pool.size;
  uint32_t count;
  char* data;
  for (;;) {
    count = static_cast<uint32_t>(bytes / size);
    data = static_cast<char*>(::HeapAlloc(heap, 0, size_t(count) * size));
    if (data) break;
    if (bytes <= kFirstBlockBytes) {
      fprintf(stderr, "Could not allocate particle block data (%u bytes) for size %u bytes\n",
              static_cast<unsigned>(count * size), size);
      AbortOutOfMemory();
    }
    bytes = bytes < 2 * kFirstBlockBytes ? kFirstBlockBytes : bytes / 2;
  }
  // Address order, so that a fresh batch walks memory forwards.
  for (uint32_t i = 0; i + 1 < count; ++i) ParticleLink(data + size_t(i) * size, size) = data + size_t(i + 1) * size;
  ParticleLink(data + size_t(count - 1) * size, size) = pool.freeHead;
  pool.freeHead = data;
  pool.freeCount += count;
  pool.carved += count;
  header->data = data;
  header->size = count * size;
  header->count = count;
  header->next = pool.blocks;
  pool.blocks = header;
}

}  // namespace

bool ParticleReplacementDisables(const char* value) {
  if (!value) return false;
  return EqualsIgnoringCase(value, "1") || EqualsIgnoringCase(value, "on") || EqualsIgnoringCase(value, "yes") ||
         EqualsIgnoringCase(value, "true");
}

void EnsureParticlePool() noexcept { ::InitOnceExecuteOnce(&s_poolOnce, BuildPool, nullptr, nullptr); }

ParticlePoolClass& PoolClassOf(uint32_t particleSize) noexcept { return s_classes[particleSize / 8 - 1]; }

void InitializeParticleCache(ParticleThreadCache* cache) noexcept {
  cache->threadId = ::GetCurrentThreadId();
  for (uint32_t k = 0; k < kParticleClasses; ++k) {
    ParticleClassCache& record = cache->classes[k];
    record.head = nullptr;
    record.tail = nullptr;
    record.count = 0;
    record.size = (k + 1) * 8;
    record.batch = kParticleRefillBytes / record.size;
    record.maxCached = kParticleCacheBytes / record.size;
  }
  cache->sizeTable[0] = nullptr;
  for (uint32_t n = 1; n <= kLargestParticle; ++n)
    cache->sizeTable[n] = g_particleEnabled ? &cache->classes[(n + 7) / 8 - 1] : nullptr;
}

void* AllocParticleList(ParticleClassCache* record) noexcept {
  DWORD saved = ::GetLastError();
  const uint32_t size = record->size;
  ParticlePoolClass& pool = PoolClassOf(size);
  void* first = nullptr;
  void* last = nullptr;
  {
    NamedLockHold hold(pool.Lock(), "AllocParticleList");
    for (uint32_t taken = 0; taken < record->batch; ++taken) {
      if (!pool.freeHead) CarveBlock(pool);
      void* particle = pool.freeHead;
      pool.freeHead = ParticleLink(particle, size);
      --pool.freeCount;
      if (last)
        ParticleLink(last, size) = particle;
      else
        first = particle;
      last = particle;
    }
  }
  if (!record->head) record->tail = last;
  ParticleLink(last, size) = record->head;
  record->count += static_cast<int32_t>(record->batch);
  void* particle = first;
  record->head = ParticleLink(particle, size);
  --record->count;
  ::SetLastError(saved);
  return particle;
}

void FreeParticleList(ParticleClassCache* record, uint32_t keep) noexcept {
  if (record->count <= static_cast<int32_t>(keep) || !record->head) return;
  const uint32_t size = record->size;
  // The list's count and its last particle are known, so the cut-off chain is spliced into the
  // pool without walking it: a walk would read every particle once more, and under the lock.
  void* chain;
  void* end = record->tail;
  uint64_t moved;
  if (keep == 0) {
    chain = record->head;
    moved = static_cast<uint64_t>(record->count);
    record->head = nullptr;
  } else {
    void* lastKept = record->head;
    for (uint32_t i = 1; i < keep && ParticleLink(lastKept, size); ++i) lastKept = ParticleLink(lastKept, size);
    chain = ParticleLink(lastKept, size);
    if (!chain) return;
    moved = static_cast<uint64_t>(record->count) - keep;
    ParticleLink(lastKept, size) = nullptr;
    record->tail = lastKept;
  }
  DWORD saved = ::GetLastError();
  ParticlePoolClass& pool = PoolClassOf(size);
  {
    NamedLockHold hold(pool.Lock(), "FreeParticleList");
    ParticleLink(end, size) = pool.freeHead;
    pool.freeHead = chain;
    pool.freeCount += moved;
  }
  record->count = static_cast<int32_t>(keep);
  ::SetLastError(saved);
}

ParticleThreadCache* FallbackParticleCache() noexcept { return &s_fallback; }
SRWLOCK* FallbackParticleLock() noexcept { return &s_fallbackLock; }

void TearDownParticleAllocator() noexcept {
  if (g_particleState.load(std::memory_order_acquire) != kParticleAllocatorInUse) return;
  g_particleSlotOffset.store(0, std::memory_order_release);
  ::AcquireSRWLockExclusive(&s_fallbackLock);
  for (ParticleClassCache& record : s_fallback.classes) FreeParticleList(&record, 0);
  g_particleState.store(kParticleAllocatorTornDown, std::memory_order_release);
  ::ReleaseSRWLockExclusive(&s_fallbackLock);
  HANDLE heap = ::GetProcessHeap();
  for (ParticlePoolClass& pool : s_classes) {
    ParticleBlockHeader* block;
    {
      NamedLockHold hold(pool.Lock(), "TearDownParticleAllocator");
      block = pool.blocks;
      pool.blocks = nullptr;
      pool.freeHead = nullptr;
      pool.freeCount = 0;
    }
    while (block) {
      ParticleBlockHeader* next = block->next;
      ::HeapFree(heap, 0, block->data);
      ::HeapFree(heap, 0, block);
      block = next;
    }
    pool.Lock().~NamedCriticalSection();
  }
  if (g_particleSlot != TLS_OUT_OF_INDEXES) ::TlsFree(g_particleSlot);
}

uint32_t GetParticleAllocatorState() { return g_particleState.load(std::memory_order_acquire); }

bool IsParticleAllocatorEnabled(const char** reason) {
  EnsureParticlePool();
  if (reason) *reason = g_particleEnabled ? "" : "environment";
  return g_particleEnabled;
}

uint32_t ParticleClassSize(size_t size) {
  EnsureParticlePool();
  if (size == 0 || size > kLargestParticle || !g_particleEnabled) return 0;
  return static_cast<uint32_t>((size + 7) & ~size_t(7));
}

bool GetParticleClassDiagnostics(uint32_t particleSize, ParticleClassDiagnostics* out) {
  if (particleSize == 0 || particleSize > kLargestParticle || particleSize % 8 != 0 ||
      g_particleState.load(std::memory_order_acquire) != kParticleAllocatorInUse) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  ParticlePoolClass& pool = PoolClassOf(particleSize);
  NamedLockHold hold(pool.Lock(), "GetParticleClassDiagnostics");
  out->particleSize = pool.size;
  out->poolFree = pool.freeCount;
  out->carved = pool.carved;
  out->blocks = 0;
  for (ParticleBlockHeader* block = pool.blocks; block; block = block->next) ++out->blocks;
  out->lastBlockBytes = pool.blocks ? pool.blocks->size : 0;
  return true;
}
