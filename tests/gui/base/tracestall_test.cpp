// The trace channel beside pipe servers that do not serve: one that accepts writers and never
// reads, and one whose only instance is taken and whose default wait is endless. No writer is
// held up for long, the records go to the debugger output instead, and a tracer that reads is
// served again afterwards.
// A pipe server or debug-output listener of this test takes every process's trace lines: it
// runs alone.
// ctest-property: RUN_SERIAL TRUE
#include "trace.h"
#include "tracepipeserver.h"

#include "debugoutput.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

// What a test in this file allows the traced calls in all, far above what they take (see the
// figures printed): beyond it they count as hung.
constexpr DWORD kBoundMs = 10000;

struct TraceRun {
  bool ended = false;
  DWORD elapsedMs = 0;
  DWORD slowestCallMs = 0;
};

// Traces `perThread` records from each of `threads` threads and waits at most 60 s for them.
// When they have not ended by then, `unblock` breaks whatever holds them, so that the test can
// fail instead of hanging.
template <typename Unblock>
TraceRun TraceFromThreads(int threads, int perThread, const char* tag, Unblock unblock) {
  TraceRun run;
  KernelHandle allDone(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<int> running{threads};
  std::atomic<DWORD> slowest{0};
  const DWORD start = ::GetTickCount();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < perThread; ++i) {
        const char* text = TraceFormat("%s t%d r%d", tag, t, i);
        const DWORD before = ::GetTickCount();
        TraceOut(TraceAreaDefault, TraceDetail, nullptr, 0, text);
        const DWORD took = ::GetTickCount() - before;
        TraceFormatDone();
        DWORD seen = slowest.load();
        while (took > seen && !slowest.compare_exchange_weak(seen, took)) {
        }
      }
      if (--running == 0) ::SetEvent(allDone.Get());
    });
  }
  run.ended = ::WaitForSingleObject(allDone.Get(), 60000) == WAIT_OBJECT_0;
  run.elapsedMs = ::GetTickCount() - start;
  if (!run.ended) unblock();
  for (std::thread& w : workers) w.join();
  run.slowestCallMs = slowest.load();
  return run;
}

size_t CountRecords(const std::string& text, const std::string& tag) {
  size_t n = 0;
  for (const std::string& line : test::SplitLines(text))
    if (line.rfind(tag + " t", 0) == 0) ++n;
  return n;
}

// Waits until the listener holds `count` records of `tag` from this process.
size_t WaitForRecords(test::DebugOutputListener& listener, const std::string& tag, size_t count) {
  size_t seen = 0;
  for (int i = 0; i < 500 && seen < count; ++i) {
    seen = CountRecords(listener.TextOf(::GetCurrentProcessId()), tag);
    if (seen < count) ::Sleep(20);
  }
  return seen;
}

// After a failure the pipe is left alone for a second; a reading tracer then gets the records.
void ExpectAReadingTracerIsServedAgain() {
  test::TracePipeServer reader;
  ASSERT_TRUE(reader.IsListening());
  bool served = false;
  for (int k = 0; k < 40 && !served; ++k) {
    std::string line = "served again " + std::to_string(k);
    TraceOut(TraceAreaDefault, TraceDetail, nullptr, 0, line.c_str());
    served = reader.TakeUntil(line, nullptr, 100);
  }
  EXPECT_TRUE(served) << "a tracer that reads gets no records after the planted server";
  // And every record from then on, from several threads at once.
  TraceRun run = TraceFromThreads(4, 50, "reader", [] {});
  ASSERT_TRUE(run.ended);
  TraceOut(TraceAreaDefault, TraceDetail, nullptr, 0, "reader end");
  std::vector<std::string> records;
  ASSERT_TRUE(reader.TakeUntil("reader end", &records));
  size_t received = 0;
  for (const std::string& r : records)
    if (r.find(": reader t") != std::string::npos) ++received;
  EXPECT_EQ(received, 200u);
}

TEST(StalledTracer, ManyThreadsEndSoonAndTheirRecordsGoToTheDebuggerOutput) {
  test::DebugOutputListener listener;
  ASSERT_TRUE(listener.IsListening());
  test::NeverReadingPipeServer planted;
  ASSERT_TRUE(planted.IsListening()) << ::GetLastError();
  ::Sleep(1100);  // outside any earlier back-off second of this process

  const TraceStatistics before = GetTraceStatistics();
  TraceRun run = TraceFromThreads(4, 250, "stalled", [&] { planted.Stop(); });
  const TraceStatistics after = GetTraceStatistics();
  printf("1000 records beside a server that never reads: %lu ms in all, slowest call %lu ms, %u connection(s), "
         "%u pipe attempt(s)\n",
         run.elapsedMs, run.slowestCallMs, planted.Connections(),
         after.pipeConnectAttempts - before.pipeConnectAttempts);
  ASSERT_TRUE(run.ended) << "the writers were still held after 60 s";
  EXPECT_LT(run.elapsedMs, kBoundMs);
  EXPECT_GE(planted.Connections(), 1) << "the planted server was never written to";

  // Every record went somewhere, and what did not reach the pipe reached the debugger output.
  const uint32_t piped = after.pipeRecords - before.pipeRecords;
  const uint32_t debugger = after.debuggerRecords - before.debuggerRecords;
  EXPECT_EQ(piped + debugger, 1000u);
  EXPECT_EQ(WaitForRecords(listener, "stalled", debugger), debugger);
  // The back-off held: one attempt when the run began, at most one more per second it took.
  EXPECT_LE(after.pipeConnectAttempts - before.pipeConnectAttempts, 2 + run.elapsedMs / 1000);

  planted.Stop();
  ExpectAReadingTracerIsServedAgain();
}

// A server that offers one instance, keeps it taken and asks writers to wait for it for ever.
TEST(StalledTracer, ABusyPipeWithAnEndlessDefaultWaitIsWaitedForBriefly) {
  FileHandle only(::CreateNamedPipeA("\\\\.\\pipe\\ZevTracePipe", PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096,
                                     NMPWAIT_WAIT_FOREVER, nullptr));
  ASSERT_TRUE(only) << ::GetLastError();
  KernelHandle connected(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED connect{};
  connect.hEvent = connected.Get();
  ::ConnectNamedPipe(only.Get(), &connect);
  FileHandle occupant(::CreateFileA("\\\\.\\pipe\\ZevTracePipe", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(occupant) << ::GetLastError();
  ::Sleep(1100);

  const TraceStatistics before = GetTraceStatistics();
  TraceRun run = TraceFromThreads(1, 3, "busy", [&] {
    occupant.Reset();
    only.Reset();
  });
  const TraceStatistics after = GetTraceStatistics();
  printf("3 records beside a busy pipe with an endless default wait: %lu ms in all, slowest call %lu ms\n",
         run.elapsedMs, run.slowestCallMs);
  ASSERT_TRUE(run.ended) << "the writer was still waiting for the busy pipe after 60 s";
  EXPECT_LT(run.elapsedMs, kBoundMs);
  EXPECT_EQ(after.debuggerRecords - before.debuggerRecords, 3u);
  EXPECT_EQ(after.pipeRecords, before.pipeRecords);

  occupant.Reset();
  if (only) ::CancelIo(only.Get());
  DWORD ignored = 0;
  if (only) ::GetOverlappedResult(only.Get(), &connect, &ignored, TRUE);
  only.Reset();
  ExpectAReadingTracerIsServedAgain();
}

}  // namespace
