// The program's path and name, read by the library for the reporter, the trace prefix and the
// service host, seen in a copy of this program with a dotted name.
#include "error.h"
#include "programfile.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::wstring OwnPath() {
  std::wstring path(32768, L'\0');
  DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(n);
  return path;
}

TEST(ProgramFile, PathAndNameOfACopyWithADottedName) {
  test::TempDir temp;
  const std::wstring copy = temp.Join(L"Dotted.Program.Name.exe");
  ASSERT_TRUE(::CopyFileW(OwnPath().c_str(), copy.c_str(), FALSE)) << GetLastError();

  test::ProcessResult run = test::RunProcess(
      L"\"" + copy + L"\" --gtest_also_run_disabled_tests --gtest_filter=ProgramFileChild.*", 60000, {L"LOGTYPE=stdout"});
  ::DeleteFileW(copy.c_str());
  ASSERT_TRUE(run.started) << GetLastError();
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;

  EXPECT_NE(run.out.find("path=[" + test::Narrow(copy) + "]"), std::string::npos) << run.out;
  // Only the last extension goes, and the name keeps its letter case ...
  EXPECT_NE(run.out.find("name=[Dotted.Program.Name]"), std::string::npos) << run.out;
  // ... which the reporter's record gives in upper case.
  EXPECT_NE(run.out.find("\"processname\":\"DOTTED.PROGRAM.NAME\""), std::string::npos) << run.out;
}

// The child: run by the test above as the copy.
TEST(ProgramFileChild, DISABLED_PrintsWhatItFinds) {
  printf("path=[%s]\nname=[%s]\n", ProgramFilePath().c_str(), ProgramName().c_str());
  fflush(stdout);
  EXPECT_TRUE(ReportEvent(Str("named"), SeverityInfo, CategoryNone));
}

}  // namespace
