// Particle allocator against the process heap and the C runtime's malloc: alloc/free pairs of
// classed sizes on one thread, LIFO (free right after alloc) and in batches of 1000 (allocate
// 1000, free them in the same order); and two threads where one frees what the other allocates.
// Figures are ns per pair, medians of several repetitions.
#include "alloc.h"
#include "benchutil.h"

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr int kRepetitions = 9;
constexpr int kLifoPairs = 200000;
constexpr int kBatch = 1000;
constexpr int kBatchRounds = 200;
constexpr int kCrossPairs = 200000;
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

// A single-producer, single-consumer ring: the allocating thread hands each block to the
// freeing thread, which returns it on its own thread (the particle's cross-thread path).
class Ring {
 public:
  bool Push(void* p) {
    size_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) == kSlots) return false;
    slots_[head % kSlots] = p;
    head_.store(head + 1, std::memory_order_release);
    return true;
  }
  void* Pop() {
    size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) return nullptr;
    void* p = slots_[tail % kSlots];
    tail_.store(tail + 1, std::memory_order_release);
    return p;
  }

 private:
  static constexpr size_t kSlots = 4096;
  void* slots_[kSlots];
  alignas(64) std::atomic<size_t> head_{0};
  alignas(64) std::atomic<size_t> tail_{0};
};

template <typename A>
double CrossThreadPair(size_t size) {
  static Ring ring;
  double start = bench::NowNs();
  std::thread freer([size] {
    for (int freed = 0; freed < kCrossPairs;) {
      if (void* p = ring.Pop()) {
        A::Free(size, p);
        ++freed;
      } else {
        std::this_thread::yield();
      }
    }
  });
  for (int i = 0; i < kCrossPairs; ++i) {
    void* p = A::Alloc(size);
    while (!ring.Push(p)) std::this_thread::yield();
  }
  freer.join();
  return (bench::NowNs() - start) / kCrossPairs;
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
  printf("alloc/free pair, ns, single thread: median of %d repetitions; LIFO %d pairs, batch %d x %d\n", kRepetitions,
         kLifoPairs, kBatchRounds, kBatch);
  printf("%-8s %6s %10s %10s %10s %12s %12s\n", "order", "size", "particle", "HeapAlloc", "malloc", "heap/part.",
         "malloc/part.");
  for (size_t size : sizes) {
    double p = bench::Median(kRepetitions, [&] { return LifoPair<Particle>(size); });
    double h = bench::Median(kRepetitions, [&] { return LifoPair<Heap>(size); });
    double m = bench::Median(kRepetitions, [&] { return LifoPair<Malloc>(size); });
    Row("lifo", size, p, h, m);
    p = bench::Median(kRepetitions, [&] { return BatchPair<Particle>(size, blocks); });
    h = bench::Median(kRepetitions, [&] { return BatchPair<Heap>(size, blocks); });
    m = bench::Median(kRepetitions, [&] { return BatchPair<Malloc>(size, blocks); });
    Row("batch", size, p, h, m);
  }
  printf("two threads, one allocates and one frees: median of %d repetitions of %d pairs\n", kCrossRepetitions,
         kCrossPairs);
  for (size_t size : {size_t(64), size_t(256)}) {
    double p = bench::Median(kCrossRepetitions, [&] { return CrossThreadPair<Particle>(size); });
    double h = bench::Median(kCrossRepetitions, [&] { return CrossThreadPair<Heap>(size); });
    double m = bench::Median(kCrossRepetitions, [&] { return CrossThreadPair<Malloc>(size); });
    Row("2thread", size, p, h, m);
  }
  return 0;
}
