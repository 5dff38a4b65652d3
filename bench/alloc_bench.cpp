// Particle allocator against the process heap and the C runtime's malloc: alloc/free pairs of
// classed sizes on one thread, LIFO (free right after alloc) and in batches of 1000 (allocate
// 1000, free them in the same order). Prints the median of several repetitions in ns per pair.
#include "alloc.h"
#include "win.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kRepetitions = 9;
constexpr int kLifoPairs = 200000;
constexpr int kBatch = 1000;
constexpr int kBatchRounds = 200;

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  return double(t.QuadPart) * 1e9 / double(frequency.QuadPart);
}

// Keeps the compiler from dropping the pairs.
volatile uintptr_t g_sink;

struct Particle {
  static void* Alloc(size_t n) { return AllocParticle(n); }
  static void Free(size_t n, void* p) { FreeParticle(n, p); }
};
struct Heap {
  static void* Alloc(size_t n) { return ::HeapAlloc(::GetProcessHeap(), 0, n); }
  static void Free(size_t, void* p) { ::HeapFree(::GetProcessHeap(), 0, p); }
};
struct Malloc {
  static void* Alloc(size_t n) { return malloc(n); }
  static void Free(size_t, void* p) { free(p); }
};

template <typename A>
double LifoPair(size_t size) {
  double start = Now();
  for (int i = 0; i < kLifoPairs; ++i) {
    void* p = A::Alloc(size);
    g_sink = reinterpret_cast<uintptr_t>(p);
    A::Free(size, p);
  }
  return (Now() - start) / kLifoPairs;
}

template <typename A>
double BatchPair(size_t size, std::vector<void*>& blocks) {
  double start = Now();
  for (int round = 0; round < kBatchRounds; ++round) {
    for (int i = 0; i < kBatch; ++i) blocks[i] = A::Alloc(size);
    for (int i = 0; i < kBatch; ++i) A::Free(size, blocks[i]);
  }
  return (Now() - start) / (double(kBatchRounds) * kBatch);
}

template <typename F>
double Median(F run) {
  std::vector<double> figures;
  run();  // warm-up: carves the particle blocks, grows the heap
  for (int r = 0; r < kRepetitions; ++r) figures.push_back(run());
  std::sort(figures.begin(), figures.end());
  return figures[figures.size() / 2];
}

}  // namespace

int main() {
  const size_t sizes[] = {8, 24, 64, 256, 1024};
  std::vector<void*> blocks(kBatch);
  printf("alloc/free pair, ns (median of %d), single thread\n", kRepetitions);
  printf("%-6s %-6s %10s %10s %10s %12s %12s\n", "size", "order", "particle", "HeapAlloc", "malloc", "heap/part.",
         "malloc/part.");
  for (size_t size : sizes) {
    double p = Median([&] { return LifoPair<Particle>(size); });
    double h = Median([&] { return LifoPair<Heap>(size); });
    double m = Median([&] { return LifoPair<Malloc>(size); });
    printf("%-6zu %-6s %10.1f %10.1f %10.1f %11.1fx %11.1fx\n", size, "LIFO", p, h, m, h / p, m / p);
    p = Median([&] { return BatchPair<Particle>(size, blocks); });
    h = Median([&] { return BatchPair<Heap>(size, blocks); });
    m = Median([&] { return BatchPair<Malloc>(size, blocks); });
    printf("%-6zu %-6s %10.1f %10.1f %10.1f %11.1fx %11.1fx\n", size, "1000", p, h, m, h / p, m / p);
  }
  return 0;
}
