// Particle allocator against the process heap and the C runtime's malloc: alloc/free pairs of
// classed sizes on one thread, LIFO (free right after alloc) and in batches of 1000 (allocate
// 1000, free them in the same order); and two threads where one frees what the other allocates.
// Figures are ns per pair, medians of several repetitions.
//
// The LIFO pairs are also set against a floor: the least a per-thread small-block allocator can
// do, two out-of-line functions that pop and push an intrusive free list whose head lives in
// the thread block, measured alternately with the allocator in the same run.
#include "alloc.h"
#include "benchutil.h"

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#if defined(_M_X64) || defined(__x86_64__)
#include <immintrin.h>
#include <intrin.h>
#endif
#if defined(_MSC_VER)
#define BENCH_NOINLINE __declspec(noinline)
#else
#define BENCH_NOINLINE __attribute__((noinline))
#endif

namespace {

constexpr int kRepetitions = 9;
constexpr int kLifoPairs = 200000;
constexpr int kBatch = 1000;
constexpr int kBatchRounds = 200;
constexpr int kCrossPairs = 1 << 20;
constexpr int kCrossRepetitions = 5;

struct Particle {
  static constexpr const char* kName = "particle";
  static void* Alloc(size_t n) { return AllocParticle(n); }
  static void Free(size_t n, void* p) { FreeParticle(n, p); }
};
struct Heap {
  static constexpr const char* kName = "heap";
  static void* Alloc(size_t n) { return ::HeapAlloc(::GetProcessHeap(), 0, n); }
  static void Free(size_t, void* p) { ::HeapFree(::GetProcessHeap(), 0, p); }
};
struct Malloc {
  static constexpr const char* kName = "malloc";
  static void* Alloc(size_t n) { return malloc(n); }
  static void Free(size_t, void* p) { free(p); }
};

// The floor's list head: a thread-local-storage slot, read and written in the thread block
// itself (TlsSlots at gs:0x1480 on x64), as the allocator reads its cache pointer.
DWORD g_floorSlot = TLS_OUT_OF_INDEXES;

#if defined(_M_X64) || defined(__x86_64__)
inline void* FloorHead() { return reinterpret_cast<void*>(__readgsqword(0x1480 + g_floorSlot * sizeof(void*))); }
inline void SetFloorHead(void* p) { __writegsqword(0x1480 + g_floorSlot * sizeof(void*), reinterpret_cast<uintptr_t>(p)); }
#else
inline void* FloorHead() { return ::TlsGetValue(g_floorSlot); }
inline void SetFloorHead(void* p) { ::TlsSetValue(g_floorSlot, p); }
#endif

BENCH_NOINLINE void* FloorPop() {
  void** head = static_cast<void**>(FloorHead());
  SetFloorHead(*head);
  return head;
}
BENCH_NOINLINE void FloorPush(void* p) {
  *static_cast<void**>(p) = FloorHead();
  SetFloorHead(p);
}

struct Floor {
  static constexpr const char* kName = "floor";
  static void* Alloc(size_t) { return FloorPop(); }
  static void Free(size_t, void* p) { FloorPush(p); }
};

// A list of `count` blocks for the floor, in one array that stays alive to the end.
bool PrepareFloor(size_t count) {
  g_floorSlot = ::TlsAlloc();
  if (g_floorSlot == TLS_OUT_OF_INDEXES || g_floorSlot >= 64) return false;
  static std::vector<uint64_t> blocks;
  blocks.assign(count * 16, 0);
  SetFloorHead(nullptr);
  for (size_t i = 0; i < count; ++i) FloorPush(&blocks[i * 16]);
  return true;
}

template <typename A>
double LifoPair(size_t size) {
  double start = bench::NowNs();
  for (int i = 0; i < kLifoPairs; ++i) {
    void* p = A::Alloc(size);
    bench::Sink(p);
    A::Free(size, p);
  }
  return (bench::NowNs() - start) / kLifoPairs;
}

template <typename A>
double BatchPair(size_t size, std::vector<void*>& blocks) {
  double start = bench::NowNs();
  for (int round = 0; round < kBatchRounds; ++round) {
    for (int i = 0; i < kBatch; ++i) blocks[i] = A::Alloc(size);
    for (int i = 0; i < kBatch; ++i) A::Free(size, blocks[i]);
  }
  return (bench::NowNs() - start) / (double(kBatchRounds) * kBatch);
}

// The two threads hand blocks over in batches of kHandoff through two single-producer,
// single-consumer rings of batch numbers (full ones to the freeing thread, empty ones back), so
// that the handover costs a fraction of a nanosecond per block and the figure is the
// allocator's: handing over every block through its own ring slot cost more than a particle
// pair. A thread that finds nothing to take spins briefly, then yields.
constexpr int kHandoff = 256;
constexpr int kHandoffBatches = 16;

class BatchRing {
 public:
  void Reset() {
    head_.store(0);
    tail_.store(0);
  }
  bool Push(int batch) {
    size_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) == kHandoffBatches) return false;
    slots_[head % kHandoffBatches] = batch;
    head_.store(head + 1, std::memory_order_release);
    return true;
  }
  int Pop() {
    size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) return -1;
    int batch = slots_[tail % kHandoffBatches];
    tail_.store(tail + 1, std::memory_order_release);
    return batch;
  }

 private:
  int slots_[kHandoffBatches];
  alignas(64) std::atomic<size_t> head_{0};
  alignas(64) std::atomic<size_t> tail_{0};
};

inline void WaitBriefly(int& spins) {
  if (++spins < 2000) {
#if defined(_M_X64) || defined(__x86_64__)
    _mm_pause();
#endif
  } else {
    spins = 0;
    std::this_thread::yield();
  }
}

// No allocator at all: the same block every time, nothing freed. What the handover costs.
struct Handover {
  static constexpr const char* kName = "handover";
  static void* Alloc(size_t) {
    static uint64_t block[16];
    return block;
  }
  static void Free(size_t, void*) {}
};

// ns per pair, from the moment both threads run (thread start-up is left out).
template <typename A>
double CrossThreadPair(size_t size) {
  static void* batches[kHandoffBatches][kHandoff];
  static BatchRing full, empty;
  full.Reset();
  empty.Reset();
  for (int b = 0; b < kHandoffBatches; ++b) empty.Push(b);
  const int rounds = kCrossPairs / kHandoff;
  std::atomic<bool> started{false};
  double end = 0;
  std::thread freer([&] {
    started.store(true);
    int spins = 0;
    for (int round = 0; round < rounds; ++round) {
      int b;
      while ((b = full.Pop()) < 0) WaitBriefly(spins);
      for (void* p : batches[b]) A::Free(size, p);
      while (!empty.Push(b)) WaitBriefly(spins);
    }
    end = bench::NowNs();
  });
  while (!started.load()) std::this_thread::yield();
  double start = bench::NowNs();
  int spins = 0;
  for (int round = 0; round < rounds; ++round) {
    int b;
    while ((b = empty.Pop()) < 0) WaitBriefly(spins);
    for (void*& p : batches[b]) p = A::Alloc(size);
    while (!full.Push(b)) WaitBriefly(spins);
  }
  freer.join();
  return (end - start) / (double(rounds) * kHandoff);
}

void Row(const char* order, size_t size, double p, double h, double m) {
  printf("%-8s %6zu %10.1f %10.1f %10.1f %11.2fx %11.2fx\n", order, size, p, h, m, h / p, m / p);
  char name[64];
  snprintf(name, sizeof name, "alloc.%s.%zu.vs-heap", order, size);
  bench::Report(name, p, h, "ns/pair", true);
  snprintf(name, sizeof name, "alloc.%s.%zu.vs-malloc", order, size);
  bench::Report(name, p, m, "ns/pair", true);
}

}  // namespace

int main() {
  const size_t sizes[] = {8, 24, 64, 256, 1024};
  std::vector<void*> blocks(kBatch);
  if (!PrepareFloor(64)) {
    printf("no thread-local-storage slot among the first 64 for the floor\n");
    return 1;
  }
  printf("alloc/free pair, ns, single thread: median of %d repetitions; LIFO %d pairs, batch %d x %d\n", kRepetitions,
         kLifoPairs, kBatchRounds, kBatch);
  printf("%-8s %6s %10s %10s %10s %12s %12s\n", "order", "size", "particle", "HeapAlloc", "malloc", "heap/part.",
         "malloc/part.");
  double floors[sizeof sizes / sizeof sizes[0]];
  double lifos[sizeof sizes / sizeof sizes[0]];
  int k = 0;
  for (size_t size : sizes) {
    double p = bench::Median(kRepetitions, [&] { return LifoPair<Particle>(size); });
    double h = bench::Median(kRepetitions, [&] { return LifoPair<Heap>(size); });
    double m = bench::Median(kRepetitions, [&] { return LifoPair<Malloc>(size); });
    Row("lifo", size, p, h, m);
    // Against the floor, alternately.
    bench::MedianPair(
        kRepetitions, [&] { return LifoPair<Particle>(size); }, [&] { return LifoPair<Floor>(size); }, &lifos[k],
        &floors[k]);
    ++k;
    p = bench::Median(kRepetitions, [&] { return BatchPair<Particle>(size, blocks); });
    h = bench::Median(kRepetitions, [&] { return BatchPair<Heap>(size, blocks); });
    m = bench::Median(kRepetitions, [&] { return BatchPair<Malloc>(size, blocks); });
    Row("batch", size, p, h, m);
  }
  printf("LIFO pair against the floor (pop and push of a list kept in the thread block, out of line):\n");
  for (k = 0; k < int(sizeof sizes / sizeof sizes[0]); ++k) {
    printf("  %6zu B: particle %.2f ns, floor %.2f ns, %.2fx the floor\n", sizes[k], lifos[k], floors[k],
           lifos[k] / floors[k]);
    char name[64];
    snprintf(name, sizeof name, "alloc.lifo.%zu.vs-floor", sizes[k]);
    // Lower is better, so the table's ratio is floor/ours (1 would be the floor itself); the
    // note says the same the other way round.
    char note[48];
    snprintf(note, sizeof note, "%.2fx_the_floor", lifos[k] / floors[k]);
    bench::Report(name, lifos[k], floors[k], "ns/pair", true, note);
  }
  printf("two threads, one allocates and one frees, blocks handed over in batches of %d: median of %d repetitions "
         "of %d pairs\n",
         kHandoff, kCrossRepetitions, kCrossPairs);
  const double handover = bench::Median(kCrossRepetitions, [&] { return CrossThreadPair<Handover>(64); });
  printf("  the handover alone: %.2f ns per pair\n", handover);
  for (size_t size : {size_t(64), size_t(256)}) {
    double p = bench::Median(kCrossRepetitions, [&] { return CrossThreadPair<Particle>(size); });
    double h = bench::Median(kCrossRepetitions, [&] { return CrossThreadPair<Heap>(size); });
    double m = bench::Median(kCrossRepetitions, [&] { return CrossThreadPair<Malloc>(size); });
    Row("2thread", size, p, h, m);
  }
  return 0;
}
