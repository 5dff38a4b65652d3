// Shared by the benchmark programs: a nanosecond clock, medians of repetitions and the one
// machine-readable line per case that scripts/bench turns into its table.
#pragma once

#include "win.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace bench {

inline double NowNs() {
  static const double nsPerTick = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return 1e9 / double(f.QuadPart);
  }();
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  return double(t.QuadPart) * nsPerTick;
}

// Keeps the optimiser from dropping work whose result nobody reads.
inline volatile uintptr_t g_sink;
inline void Sink(uint64_t value) { g_sink = g_sink + uintptr_t(value); }
inline void Sink(const void* pointer) { g_sink = g_sink + reinterpret_cast<uintptr_t>(pointer); }

inline double MedianOf(std::vector<double> figures) {
  if (figures.empty()) return 0;
  std::sort(figures.begin(), figures.end());
  size_t n = figures.size();
  return n % 2 ? figures[n / 2] : (figures[n / 2 - 1] + figures[n / 2]) / 2;
}

// One warm-up run (first-touch pages, carved blocks, grown heaps), then the median of
// `repetitions` runs; `run` returns its own figure.
template <typename F>
double Median(int repetitions, F run) {
  run();
  std::vector<double> figures;
  for (int r = 0; r < repetitions; ++r) figures.push_back(run());
  return MedianOf(figures);
}

// Runs ours and the baseline alternately, so that a neighbour's load on the shared cores hits
// both sides of a ratio alike. Each figure is the median of its side's runs.
template <typename A, typename B>
void MedianPair(int repetitions, A ours, B baseline, double* oursFigure, double* baselineFigure) {
  ours();
  baseline();
  std::vector<double> a, b;
  for (int r = 0; r < repetitions; ++r) {
    a.push_back(ours());
    b.push_back(baseline());
  }
  *oursFigure = MedianOf(a);
  *baselineFigure = MedianOf(b);
}

// The line scripts/bench collects; a negative figure is printed as "-" (none measured).
inline void Report(const char* name, double ours, double baseline, const char* unit, bool lowerIsBetter,
                   const char* note = nullptr) {
  char b[64];
  if (baseline < 0)
    snprintf(b, sizeof b, "-");
  else
    snprintf(b, sizeof b, "%.4g", baseline);
  char o[64];
  if (ours < 0)
    snprintf(o, sizeof o, "-");
  else
    snprintf(o, sizeof o, "%.4g", ours);
  printf("BENCH %s ours=%s baseline=%s unit=%s better=%s", name, o, b, unit, lowerIsBetter ? "lower" : "higher");
  if (note) printf(" note=%s", note);
  printf("\n");
  fflush(stdout);
}

}  // namespace bench
