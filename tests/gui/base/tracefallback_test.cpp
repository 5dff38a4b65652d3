// The trace channel without a tracer: debugger output and the one-second back-off.
// A pipe server or prefix word of this test takes every process's trace lines: it runs alone.
// ctest-property: RUN_SERIAL TRUE
#include "trace.h"

#include "debugoutput.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Nothing listens on the pipe here (the resource lock keeps the other pipe tests away).
TEST(TraceFallback, ABurstWithoutTracerAttemptsThePipeOnce) {
  ::Sleep(1100);  // any earlier failure of this process is now outside its back-off second
  const TraceStatistics before = GetTraceStatistics();
  const DWORD start = ::GetTickCount();
  for (int i = 0; i < 20; ++i) TraceOut(TraceAreaDefault, TraceDetail, nullptr, 0, "burst");
  const DWORD elapsed = ::GetTickCount() - start;
  const TraceStatistics after = GetTraceStatistics();
  const uint32_t attempts = after.pipeConnectAttempts - before.pipeConnectAttempts;
  EXPECT_GE(attempts, 1u);
  // A burst normally takes a few milliseconds; one that (on a loaded machine) spans more than a
  // second may make one more attempt per second it took, never one per line.
  EXPECT_LE(attempts, 1u + elapsed / 1000);
  EXPECT_EQ(after.debuggerRecords - before.debuggerRecords, 20u);
  EXPECT_EQ(after.pipeRecords, before.pipeRecords);

  ::Sleep(1100);
  TraceOut(TraceAreaDefault, TraceDetail, nullptr, 0, "after the back-off");
  EXPECT_EQ(GetTraceStatistics().pipeConnectAttempts, after.pipeConnectAttempts + 1);
}

TEST(TraceFallback, LinesGoToTheDebuggerOutputWithPrefixAndLineBreak) {
  test::DebugOutputListener listener;
  ASSERT_TRUE(listener.IsListening());
  char expected[128];
  snprintf(expected, sizeof expected, "EX|0x%lX|0x%lX|tracefallback_test: first\r\n", ::GetCurrentProcessId(),
           ::GetCurrentThreadId());
  TraceOut(TraceAreaDefault, TraceDetail, nullptr, 0, "first\nsecond");
  ASSERT_TRUE(listener.WaitFor("second\r\n", ::GetCurrentProcessId(), 10000));
  std::string text = listener.RawTextOf(::GetCurrentProcessId());
  EXPECT_NE(text.find(expected), std::string::npos) << text;
}

}  // namespace
