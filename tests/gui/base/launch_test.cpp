// Starting programs and the one record every attempt leaves.
// The records are read back from the debugger-output echo of each report.
// ctest-property: RUN_SERIAL TRUE
#include "debugoutput.h"
#include "error.h"
#include "launch.h"
#include "trace.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class Launch : public ::testing::Test {
 protected:
  std::string Records() { return debugOutput_.TextOf(GetCurrentProcessId()); }
  bool WaitForRecord(const std::string& text) { return debugOutput_.WaitFor(text, GetCurrentProcessId(), 5000); }
  // Everything this process reported so far has reached the listener: a line traced now goes the
  // same way as a report's echo, after it, so once it has arrived an earlier record would have.
  bool AllReportsArrived() {
    static int s_serial = 0;
    const std::string marker = "launch_test: reports so far, mark " + std::to_string(++s_serial);
    TraceOut(TraceAreaDefault, TraceState, "launch_test", __LINE__, marker.c_str());
    return WaitForRecord(marker);
  }
  test::DebugOutputListener debugOutput_;
};

TEST_F(Launch, EmptyCommandLineStartsNothingAndWritesNoRecord) {
  ASSERT_TRUE(debugOutput_.IsListening());
  KernelHandle process;
  EXPECT_EQ(ExecuteCommand(Str(), Str(), true, true, &process), 0u);
  EXPECT_FALSE(process);
  EXPECT_FALSE(RunCommandShown(Str()));
  ASSERT_TRUE(AllReportsArrived()) << Records();
  EXPECT_EQ(Records().find("Command execution"), std::string::npos) << Records();
}

TEST_F(Launch, MissingProgramWritesTheFailureRecordWithTheSystemText) {
  ASSERT_TRUE(debugOutput_.IsListening());
  Str command("\"C:\\no such folder\\missing.exe\" /x");
  EXPECT_FALSE(RunCommandShown(command));
  ASSERT_TRUE(WaitForRecord("Command execution failed")) << Records();
  std::string records = Records();
  EXPECT_NE(records.find("QELGUI-02106: Command execution failed"), std::string::npos) << records;
  EXPECT_NE(records.find(std::string("qelgui.command: ") + command.c_str()), std::string::npos) << records;
  // Which of the two "not found" codes Windows answers depends on whether the folder exists.
  std::string fileText = std::string("qelgui.error: ") + GetErrorText(ERROR_FILE_NOT_FOUND).c_str();
  std::string pathText = std::string("qelgui.error: ") + GetErrorText(ERROR_PATH_NOT_FOUND).c_str();
  EXPECT_TRUE(records.find(fileText) != std::string::npos || records.find(pathText) != std::string::npos) << records;
}

TEST_F(Launch, StartedProcessIsHandedToTheCallerAndNotWaitedFor) {
  ASSERT_TRUE(debugOutput_.IsListening());
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  // A console child: WaitForInputIdle fails at once for it, and the call must not hang.
  Str command = Str::FromUtf16(system);
  command.Append("\\cmd.exe /c exit 7");
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
    EXPECT_TRUE(WaitForRecord("qelgui.processid: " + std::to_string(pid))) << Records();
  }
  EXPECT_NE(Records().find("QELGUI-02105: Command execution succeeded"), std::string::npos);
  EXPECT_TRUE(RunCommand(command, Str(), false, false));
}

}  // namespace
