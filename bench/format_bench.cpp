// StrFormat against snprintf into a stack buffer and {fmt}'s format_to_n into a stack buffer,
// for the formats the services use and a few harder ones. ns per call, medians.
//
// StrFormat returns a counted string of its own; the baselines only fill a buffer the caller
// already has, which is the cheapest thing a user could pick.
#include "benchutil.h"
#include "format.h"

#include <fmt/format.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <optional>

namespace {

// Many short runs rather than a few long ones: on a shared machine a neighbour's time slice
// spoils a whole run, and the median of many short ones passes over those.
constexpr int kRepetitions = 101;
constexpr int kCalls = 2000;

template <typename F>
double PerCall(F call) {
  double start = bench::NowNs();
  for (int i = 0; i < kCalls; ++i) call(uint32_t(i));
  return (bench::NowNs() - start) / kCalls;
}

struct Row {
  const char* name;
  double ours, libc, fmtlib;
};

template <typename F>
double Median(int repetitions, F run) {
  return bench::Median(repetitions, run);
}

template <typename O, typename S, typename F>
Row Measure(const char* name, O ours, S libc, F fmtlib) {
  Row r{name, 0, 0, -1};
  bench::MedianPair(
      kRepetitions, [&] { return PerCall(ours); }, [&] { return PerCall(libc); }, &r.ours, &r.libc);
  if (fmtlib) {
    double unused;
    bench::MedianPair(
        kRepetitions, [&] { return PerCall(ours); }, [&] { return PerCall(*fmtlib); }, &unused, &r.fmtlib);
  }
  return r;
}

// A runtime's positional printf, looked up at run time: msvcrt.dll (what mingw links) has none,
// the later Microsoft runtimes do.
using SprintfP = int(__cdecl*)(char*, size_t, const char*, ...);
SprintfP LoadSprintfP(const wchar_t** from) {
  for (const wchar_t* dll : {L"msvcrt.dll", L"msvcr120.dll", L"msvcr110.dll", L"msvcr100.dll", L"msvcr90.dll"}) {
    HMODULE crt = ::LoadLibraryW(dll);
    if (!crt) continue;
    if (FARPROC f = ::GetProcAddress(crt, "_sprintf_p")) {
      *from = dll;
      return reinterpret_cast<SprintfP>(reinterpret_cast<void*>(f));
    }
    ::FreeLibrary(crt);
  }
  return nullptr;
}

struct NoFmt {
  void operator()(uint32_t) const {}
};

}  // namespace

int main() {
  Str out;
  char buf[256];
  const char* texts[] = {"CindravaleUS", "Update"};
  const wchar_t* wide = L"C:\\Program Files\\Vennacor\\Update\\client.msi";

  // Each side produces the same text; checked once before timing.
  StrFormat(out, "%-12.5s|%*u", "Vennacor", 8, 42u);
  snprintf(buf, sizeof buf, "%-12.5s|%*u", "Vennacor", 8, 42u);
  if (strcmp(out.c_str(), buf) != 0) printf("width/precision texts differ: '%s' '%s'\n", out.c_str(), buf);
  StrFormat(out, "%ls", wide);
  snprintf(buf, sizeof buf, "%ls", wide);
  if (strcmp(out.c_str(), buf) != 0) printf("%%ls texts differ: '%s' '%s'\n", out.c_str(), buf);
  const wchar_t* sprintfPFrom = L"";
  SprintfP sprintfP = LoadSprintfP(&sprintfPFrom);
  if (!sprintfP) {
    printf("no runtime with _sprintf_p\n");
    return 1;
  }
  printf("positional baseline: _sprintf_p of %ls\n", sprintfPFrom);
  StrFormat(out, "%2$s %1$s", texts[0], texts[1]);
  sprintfP(buf, sizeof buf, "%2$s %1$s", texts[0], texts[1]);
  if (strcmp(out.c_str(), buf) != 0) printf("positional texts differ: '%s' '%s'\n", out.c_str(), buf);

  Row rows[] = {
      Measure(
          "format.result-code", [&](uint32_t i) { StrFormat(out, "Result code %u", i); },
          [&](uint32_t i) { bench::Sink(uint64_t(snprintf(buf, sizeof buf, "Result code %u", i))); },
          std::optional([&](uint32_t i) { bench::Sink(fmt::format_to_n(buf, sizeof buf, "Result code {}", i).size); })),
      Measure(
          "format.text-padded", [&](uint32_t i) { StrFormat(out, "%s-%05u", texts[0], i); },
          [&](uint32_t i) { bench::Sink(uint64_t(snprintf(buf, sizeof buf, "%s-%05u", texts[0], i))); },
          std::optional(
              [&](uint32_t i) { bench::Sink(fmt::format_to_n(buf, sizeof buf, "{}-{:05}", texts[0], i).size); })),
      // mingw's snprintf has no positional arguments; a Microsoft runtime's _sprintf_p has.
      Measure(
          "format.positional", [&](uint32_t) { StrFormat(out, "%2$s %1$s", texts[0], texts[1]); },
          [&](uint32_t) { bench::Sink(uint64_t(sprintfP(buf, sizeof buf, "%2$s %1$s", texts[0], texts[1]))); },
          std::optional(
              [&](uint32_t) { bench::Sink(fmt::format_to_n(buf, sizeof buf, "{1} {0}", texts[0], texts[1]).size); })),
      Measure(
          "format.width-precision", [&](uint32_t i) { StrFormat(out, "%-12.5s|%*u", "Vennacor", 8, i); },
          [&](uint32_t i) { bench::Sink(uint64_t(snprintf(buf, sizeof buf, "%-12.5s|%*u", "Vennacor", 8, i))); },
          std::optional([&](uint32_t i) {
            bench::Sink(fmt::format_to_n(buf, sizeof buf, "{:<12.5}|{:>{}}", "Vennacor", i, 8).size);
          })),
      // {fmt} has no conversion of UTF-16 arguments into a char buffer: no third column.
      Measure(
          "format.wide", [&](uint32_t) { StrFormat(out, "%ls", wide); },
          [&](uint32_t) { bench::Sink(uint64_t(snprintf(buf, sizeof buf, "%ls", wide))); },
          std::optional<NoFmt>()),
  };

  printf("formatter, ns per call: median of %d repetitions of %d calls\n", kRepetitions, kCalls);
  printf("%-24s %10s %10s %10s %12s %12s\n", "case", "StrFormat", "snprintf", "{fmt}", "ours/snprintf", "ours/{fmt}");
  for (const Row& r : rows) {
    printf("%-24s %10.1f %10.1f %10.1f %12.2f %12.2f\n", r.name, r.ours, r.libc, r.fmtlib, r.ours / r.libc,
           r.fmtlib > 0 ? r.ours / r.fmtlib : 0);
  }
  // Where StrFormat's time goes: the same machinery with less and less work for it.
  struct Part {
    const char* what;
    double ns;
  } parts[] = {
      {"Str of 12 bytes (one counted buffer)", Median(kRepetitions, [&] { return PerCall([&](uint32_t) { Str s("Result code "); bench::Sink(s.c_str()); }); })},
      {"StrFormat \"Result code \" (no directive)", Median(kRepetitions, [&] { return PerCall([&](uint32_t) { StrFormat(out, "Result code "); }); })},
      {"StrFormat \"%u\" (a plain integer)", Median(kRepetitions, [&] { return PerCall([&](uint32_t i) { StrFormat(out, "%u", i); }); })},
      {"StrFormat \"%5u\" (with a width)", Median(kRepetitions, [&] { return PerCall([&](uint32_t i) { StrFormat(out, "%5u", i); }); })},
      {"StrFormat \"%s\" (a measured text)", Median(kRepetitions, [&] { return PerCall([&](uint32_t) { StrFormat(out, "%s", texts[0]); }); })},
      {"StrFormat \"%.2f\" (through the runtime)", Median(kRepetitions, [&] { return PerCall([&](uint32_t i) { StrFormat(out, "%.2f", i * 0.5); }); })},
      {"msvcrt _snprintf \"%.2f\"", Median(kRepetitions, [&] { return PerCall([&](uint32_t i) { bench::Sink(uint64_t(_snprintf(buf, sizeof buf, "%.2f", i * 0.5))); }); })},
      {"msvcrt _snprintf \"%5u\"", Median(kRepetitions, [&] { return PerCall([&](uint32_t i) { bench::Sink(uint64_t(_snprintf(buf, sizeof buf, "%5u", i))); }); })},
  };
  printf("breakdown, ns per call:\n");
  for (const Part& part : parts) printf("  %-48s %8.1f\n", part.what, part.ns);

  for (const Row& r : rows) {
    char name[64];
    // The positional case's runtime baseline is a Microsoft runtime's _sprintf_p.
    const bool positional = strcmp(r.name, "format.positional") == 0;
    snprintf(name, sizeof name, "%s.vs-%s", r.name, positional ? "sprintf_p" : "snprintf");
    bench::Report(name, r.ours, r.libc, "ns/call", true);
    snprintf(name, sizeof name, "%s.vs-fmt", r.name);
    if (r.fmtlib > 0) bench::Report(name, r.ours, r.fmtlib, "ns/call", true);
  }
  return 0;
}
