// Counted strings against std::string / std::wstring, and their UTF conversions against
// MultiByteToWideChar / WideCharToMultiByte into a reused std::wstring / std::string. ns per op.
#include "benchutil.h"
#include "str.h"

#include <string>
#include <string_view>

namespace {

// Many short runs rather than a few long ones: on a shared machine a neighbour's time slice
// spoils a whole run, and the median of many short ones passes over those.
constexpr int kRepetitions = 101;
constexpr int kOps = 2000;
constexpr int kAppends = 100;  // per string built in the append case

// Longer than any small-string buffer, so std::string allocates too.
const char kText[] = "  C:\\Program Files\\Vennacor\\Update\\client-25.10.0.74.msi  ";
const char kUtf8[] = "Gr\xC3\xBC\xC3\x9F" "e aus M\xC3\xBCnchen: C:\\Users\\J\xC3\xA9r\xC3\xB4me\\AppData\\Local\\Vennacor";

template <typename F>
double PerOp(int ops, F op) {
  double start = bench::NowNs();
  for (int i = 0; i < ops; ++i) op();
  return (bench::NowNs() - start) / ops;
}

void Case(const char* name, double ours, double theirs, const char* baseline) {
  printf("%-18s %10.1f %10.1f %8.2f   %s\n", name, ours, theirs, theirs / ours, baseline);
  bench::Report(name, ours, theirs, "ns/op", true);
}

std::string_view TrimView(std::string_view s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

int main() {
  printf("counted strings, ns per operation: median of %d repetitions of %d operations (append: %d appends "
         "of 10 bytes per string)\n",
         kRepetitions, kOps, kAppends);
  printf("%-18s %10s %10s %8s   %s\n", "case", "Str", "baseline", "ratio", "baseline");
  double ours, theirs;
  const size_t textLength = sizeof kText - 1;

  bench::MedianPair(
      kRepetitions, [&] { return PerOp(kOps, [&] { Str s(kText, textLength); bench::Sink(s.c_str()); }); },
      [&] { return PerOp(kOps, [&] { std::string s(kText, textLength); bench::Sink(s.data()); }); }, &ours, &theirs);
  Case("str.create", ours, theirs, "std::string");

  Str source(kText);
  std::string stdSource(kText);
  bench::MedianPair(
      kRepetitions, [&] { return PerOp(kOps, [&] { Str s(source); bench::Sink(s.c_str()); }); },
      [&] { return PerOp(kOps, [&] { std::string s(stdSource); bench::Sink(s.data()); }); }, &ours, &theirs);
  Case("str.copy", ours, theirs, "std::string copy");

  // Building a 1000-byte text by appends: the growth policies against std::string's doubling.
  // The plain policy leaves 32 bytes of room below 512 (a string that is appended to once or
  // twice stays small); the fast one, for text builders, starts at 1024 and doubles.
  const int appendOps = kOps / kAppends;
  for (bool fast : {false, true}) {
    bench::MedianPair(
        kRepetitions,
        [&] {
          return PerOp(appendOps, [&] {
                   Str s;
                   for (int i = 0; i < kAppends; ++i) s.Append("0123456789", 10, fast);
                   bench::Sink(s.c_str());
                 }) /
                 kAppends;
        },
        [&] {
          return PerOp(appendOps, [&] {
                   std::string s;
                   for (int i = 0; i < kAppends; ++i) s.append("0123456789", 10);
                   bench::Sink(s.data());
                 }) /
                 kAppends;
        },
        &ours, &theirs);
    Case(fast ? "str.append-fast" : "str.append", ours, theirs, "std::string::append");
  }

  bench::MedianPair(
      kRepetitions, [&] { return PerOp(kOps, [&] { Str s = Trim(source); bench::Sink(s.c_str()); }); },
      [&] { return PerOp(kOps, [&] { std::string s(TrimView(stdSource)); bench::Sink(s.data()); }); }, &ours,
      &theirs);
  Case("str.trim", ours, theirs, "std::string of a trimmed view");

  bench::MedianPair(
      kRepetitions, [&] { return PerOp(kOps, [&] { Str s = Left(source, 20); bench::Sink(s.c_str()); }); },
      [&] { return PerOp(kOps, [&] { std::string s = stdSource.substr(0, 20); bench::Sink(s.data()); }); }, &ours,
      &theirs);
  Case("str.left", ours, theirs, "std::string::substr");

  bench::MedianPair(
      kRepetitions, [&] { return PerOp(kOps, [&] { Str s = Mid(source, 20, 30); bench::Sink(s.c_str()); }); },
      [&] { return PerOp(kOps, [&] { std::string s = stdSource.substr(20, 30); bench::Sink(s.data()); }); }, &ours,
      &theirs);
  Case("str.mid", ours, theirs, "std::string::substr");

  // The baselines convert into strings that persist, the way a careful user would (size query,
  // then conversion); the counted strings make a new buffer each time.
  Str utf8(kUtf8);
  const int utf8Length = int(sizeof kUtf8 - 1);
  std::wstring wide;
  bench::MedianPair(
      kRepetitions, [&] { return PerOp(kOps, [&] { WStr w(utf8); bench::Sink(w.c_str()); }); },
      [&] {
        return PerOp(kOps, [&] {
          int n = ::MultiByteToWideChar(CP_UTF8, 0, kUtf8, utf8Length, nullptr, 0);
          wide.resize(size_t(n));
          ::MultiByteToWideChar(CP_UTF8, 0, kUtf8, utf8Length, wide.data(), n);
          bench::Sink(wide.data());
        });
      },
      &ours, &theirs);
  Case("str.utf8-to-utf16", ours, theirs, "MultiByteToWideChar");

  WStr utf16(utf8);
  std::string narrow;
  bench::MedianPair(
      kRepetitions, [&] { return PerOp(kOps, [&] { Str s = Str::FromUtf16(utf16); bench::Sink(s.c_str()); }); },
      [&] {
        return PerOp(kOps, [&] {
          int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
          narrow.resize(size_t(n));
          ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), narrow.data(), n, nullptr, nullptr);
          bench::Sink(narrow.data());
        });
      },
      &ours, &theirs);
  Case("str.utf16-to-utf8", ours, theirs, "WideCharToMultiByte");
  return 0;
}
