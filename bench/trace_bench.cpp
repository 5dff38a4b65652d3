// The trace channel: cost per line with no tracer listening (the debugger-output fallback; the
// pipe is tried again at most once a second, so a burst pays for that attempt once), and lines
// per second end to end with a tracer reading the pipe. Baselines: OutputDebugStringA of the
// same text, and a plain pipe client writing each line as one message to the same reader.
#include "benchutil.h"
#include "handles.h"
#include "trace.h"

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr int kRepetitions = 7;
constexpr int kLines = 20000;
constexpr int kPipeLines = 20000;
const char kPipeName[] = "\\\\.\\pipe\\ZevTracePipe";
const char kText[] = "NCLService: Shutdown (Interactive) request answered";

std::atomic<uint64_t> s_received{0};
std::atomic<bool> s_stop{false};

// One tracer-side instance after another: message mode, each record counted on arrival.
void Reader() {
  while (!s_stop.load()) {
    FileHandle pipe(::CreateNamedPipeA(kPipeName, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                         PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
    if (!pipe) return;
    if (!::ConnectNamedPipe(pipe.Get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) continue;
    char buffer[4096];
    DWORD n;
    for (;;) {
      BOOL ok = ::ReadFile(pipe.Get(), buffer, sizeof buffer, &n, nullptr);
      if (!ok && ::GetLastError() == ERROR_MORE_DATA) continue;
      if (!ok) break;
      s_received.fetch_add(1);
    }
    ::DisconnectNamedPipe(pipe.Get());
  }
}

bool WaitReceived(uint64_t target, DWORD timeoutMs) {
  DWORD start = ::GetTickCount();
  while (s_received.load() < target) {
    if (::GetTickCount() - start > timeoutMs) return false;
    ::Sleep(0);
  }
  return true;
}

template <typename F>
double PerLine(int lines, F line) {
  double start = bench::NowNs();
  for (int i = 0; i < lines; ++i) line(i);
  return (bench::NowNs() - start) / lines;
}

// Lines per second from the first write until the reader has the last line.
template <typename F>
double LinesPerSecond(F line) {
  uint64_t target = s_received.load() + kPipeLines;
  double start = bench::NowNs();
  for (int i = 0; i < kPipeLines; ++i) line(i);
  if (!WaitReceived(target, 30000)) return 0;
  return kPipeLines * 1e9 / (bench::NowNs() - start);
}

}  // namespace

int main() {
  char line[256];
  snprintf(line, sizeof line, "NC|0x%lx|0x%lx|trace_bench.exe: %s", ::GetCurrentProcessId(), ::GetCurrentThreadId(), kText);
  const char* file = "trace_bench";

  printf("trace channel: median of %d repetitions; %d lines without a tracer, %d lines through the pipe\n",
         kRepetitions, kLines, kPipeLines);
  double ours, theirs;
  bench::MedianPair(
      kRepetitions, [&] { return PerLine(kLines, [&](int i) { TraceOut(TraceAreaDefault, TraceDetail, file, i, kText); }); },
      [&] { return PerLine(kLines, [&](int) { ::OutputDebugStringA(line); }); }, &ours, &theirs);
  TraceStatistics stats = GetTraceStatistics();
  printf("no tracer: TraceOut %.1f ns/line, OutputDebugStringA %.1f ns/line (%u pipe attempts in all)\n", ours, theirs,
         stats.pipeConnectAttempts);
  bench::Report("trace.no-tracer", ours, theirs, "ns/line", true);

  bench::MedianPair(
      kRepetitions,
      [&] {
        return PerLine(kLines, [&](int i) {
          const char* text = TraceFormat("Result code %u", unsigned(i));
          TraceOut(TraceAreaDefault, TraceDetail, file, i, text);
          if (text) TraceFormatDone();
        });
      },
      [&] {
        return PerLine(kLines, [&](int i) {
          char buffer[1024];
          snprintf(buffer, sizeof buffer, "Result code %u", unsigned(i));
          ::OutputDebugStringA(buffer);
        });
      },
      &ours, &theirs);
  printf("no tracer: TraceFormat+TraceOut %.1f ns/line, snprintf+OutputDebugStringA %.1f ns/line\n", ours, theirs);
  bench::Report("trace.format.no-tracer", ours, theirs, "ns/line", true);

  // Two listening instances: one for the trace channel, one for the plain client.
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) readers.emplace_back(Reader);
  // The channel noticed the missing tracer above and waits a second before it tries again.
  uint64_t before = s_received.load();
  bool connected = false;
  for (int attempt = 0; attempt < 40 && !connected; ++attempt) {
    TraceOut(TraceAreaDefault, TraceDetail, file, __LINE__, "trace_bench: connecting");
    connected = WaitReceived(before + 1, 100);
  }
  if (!connected) {
    printf("the trace channel never reached the pipe\n");
    bench::Report("trace.pipe", 0, 0, "lines/s", false, "not-connected");
  } else {
    FileHandle client(::CreateFileA(kPipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!client) {
      printf("plain pipe client could not connect (%lu)\n", ::GetLastError());
      return 1;
    }
    size_t length = strlen(line);
    bench::MedianPair(
        kRepetitions,
        [&] { return LinesPerSecond([&](int i) { TraceOut(TraceAreaDefault, TraceDetail, file, i, kText); }); },
        [&] {
          return LinesPerSecond([&](int) {
            DWORD written;
            ::WriteFile(client.Get(), line, DWORD(length), &written, nullptr);
          });
        },
        &ours, &theirs);
    stats = GetTraceStatistics();
    printf("tracer listening: TraceOut %.0f lines/s, plain WriteFile %.0f lines/s (%u records on the pipe)\n", ours,
           theirs, stats.pipeRecords);
    bench::Report("trace.pipe", ours, theirs, "lines/s", false);
  }
  s_stop = true;
  // Unblock the readers still waiting for a client, then let them go.
  for (int i = 0; i < 4; ++i) {
    FileHandle poke(::CreateFileA(kPipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  for (std::thread& t : readers) t.detach();
  ::ExitProcess(0);
}
