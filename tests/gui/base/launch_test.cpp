// Starting programs and the one record every attempt leaves. Each case runs in a child under
// this test's debugger, which receives the echo of every report privately and completely: once
// the child has ended, every line it wrote has arrived. The child traces a mark after its calls,
// so that an absent record means something: a tracer that listens would take the lines instead,
// and then the mark is missing too.
#include "childrun.h"
#include "error.h"
#include "launch.h"
#include "trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

const wchar_t kChildMarker[] = L"LAUNCH_TEST_CHILD";
const char kCallsDone[] = "launch_test: the calls are done";

void TraceCallsDone() { TraceOut(TraceAreaDefault, TraceState, "launch_test", __LINE__, kCallsDone); }

// The child's run of `filter`: it ended well and its trace lines reached this debugger.
test::ChildResult RunLaunchChild(const wchar_t* filter) {
  test::ChildResult child = test::RunTestInChild(filter, kChildMarker);
  EXPECT_TRUE(child.started);
  EXPECT_EQ(child.exitCode, 0u) << child.out;
  EXPECT_NE(child.debugOutput.find(kCallsDone), std::string::npos) << "the child's trace lines did not arrive";
  return child;
}

std::string FieldOf(const test::TracedReport& report, const char* name) {
  for (const auto& field : report.fields)
    if (field.first == name) return field.second;
  return "(no field)";
}

Str CmdExit7() {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  Str command = Str::FromUtf16(system);
  command.Append("\\cmd.exe /c exit 7");
  return command;
}

const char kMissingProgram[] = "\"C:\\no such folder\\missing.exe\" /x";

TEST(LaunchChild, DISABLED_EmptyCommandLine) {
  if (!test::IsChildRun("LAUNCH_TEST_CHILD")) GTEST_SKIP() << "runs only as a child process";
  KernelHandle process;
  EXPECT_EQ(ExecuteCommand(Str(), Str(), true, true, &process), 0u);
  EXPECT_FALSE(process);
  EXPECT_FALSE(RunCommandShown(Str()));
  TraceCallsDone();
}

TEST(Launch, EmptyCommandLineStartsNothingAndWritesNoRecord) {
  test::ChildResult child = RunLaunchChild(L"LaunchChild.DISABLED_EmptyCommandLine");
  EXPECT_EQ(child.debugOutput.find("Command execution"), std::string::npos) << child.debugOutput;
  EXPECT_TRUE(test::TracedReports(child.debugOutput).empty()) << child.debugOutput;
}

TEST(LaunchChild, DISABLED_MissingProgram) {
  if (!test::IsChildRun("LAUNCH_TEST_CHILD")) GTEST_SKIP() << "runs only as a child process";
  EXPECT_FALSE(RunCommandShown(Str(kMissingProgram)));
  TraceCallsDone();
}

TEST(Launch, MissingProgramWritesTheFailureRecordWithTheSystemText) {
  test::ChildResult child = RunLaunchChild(L"LaunchChild.DISABLED_MissingProgram");
  const std::vector<test::TracedReport> reports = test::TracedReports(child.debugOutput);
  ASSERT_EQ(reports.size(), 1u) << child.debugOutput;
  EXPECT_EQ(reports[0].id, "QELGUI-02106");
  EXPECT_EQ(reports[0].message, "Command execution failed");
  EXPECT_EQ(FieldOf(reports[0], "qelgui.command"), kMissingProgram);
  // Which of the two "not found" codes Windows answers depends on whether the folder exists.
  const std::string error = FieldOf(reports[0], "qelgui.error");
  EXPECT_TRUE(error == GetErrorText(ERROR_FILE_NOT_FOUND).c_str() ||
              error == GetErrorText(ERROR_PATH_NOT_FOUND).c_str())
      << error;
}

// Prints the process id of each start.
TEST(LaunchChild, DISABLED_StartedProcess) {
  if (!test::IsChildRun("LAUNCH_TEST_CHILD")) GTEST_SKIP() << "runs only as a child process";
  // A console child: WaitForInputIdle fails at once for it, and the call must not hang.
  const Str command = CmdExit7();
  for (bool foreground : {false, true}) {
    SCOPED_TRACE(foreground);
    KernelHandle process;
    uint32_t pid = ExecuteCommand(command, Str("C:\\"), false, foreground, &process);
    ASSERT_NE(pid, 0u);
    ASSERT_TRUE(process);
    EXPECT_EQ(GetProcessId(process.Get()), pid);
    ASSERT_EQ(WaitForSingleObject(process.Get(), 10000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.Get(), &exitCode);
    EXPECT_EQ(exitCode, 7u);
    printf("started %u\n", pid);
  }
  EXPECT_TRUE(RunCommand(command, Str(), false, false));
  TraceCallsDone();
}

TEST(Launch, StartedProcessIsHandedToTheCallerAndNotWaitedFor) {
  test::ChildResult child = RunLaunchChild(L"LaunchChild.DISABLED_StartedProcess");
  const std::vector<test::TracedReport> reports = test::TracedReports(child.debugOutput);
  ASSERT_EQ(reports.size(), 3u) << child.debugOutput;
  for (const test::TracedReport& report : reports) {
    EXPECT_EQ(report.id, "QELGUI-02105");
    EXPECT_EQ(report.message, "Command execution succeeded");
    EXPECT_EQ(FieldOf(report, "qelgui.command"), CmdExit7().c_str());
  }
  // The first two records name the processes the child saw started.
  const std::vector<std::string> lines = test::SplitLines(child.out);
  for (size_t i = 0; i < 2; ++i) {
    const std::string started = "started " + FieldOf(reports[i], "qelgui.processid");
    EXPECT_NE(std::find(lines.begin(), lines.end(), started), lines.end()) << started << "\n" << child.out;
  }
}

}  // namespace
