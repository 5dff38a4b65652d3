// The update service's reports when it is run from a console: "install" twice, and a start
// without "install". Every report is echoed to the debugger output, which is where a console
// run's entries can be read back (Wine's event log stores nothing); the program runs under this
// test's debugger, so the lines reach this test alone.
// ctest-property: RESOURCE_LOCK update-service
// ctest-property: TIMEOUT 300
#include "childrun.h"
#include "testsupport.h"
#include "updateservicehost.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using ustest::kBanner;
using ustest::kServiceName;
using ustest::Program;
using ustest::UpdateServiceHost;

TEST_F(UpdateServiceHost, SecondInstallFailsWithTheCreateServiceEntry) {
  ASSERT_EQ(test::RunProcess(L"\"" + Program() + L"\" install", 30000).exitCode, 0u);
  test::ChildResult again = test::RunUnderDebugger(L"\"" + Program() + L"\" install", {});
  ASSERT_TRUE(again.started);
  EXPECT_EQ(again.exitCode, 1u);
  EXPECT_EQ(again.out, kBanner);
  // 0x431 is ERROR_SERVICE_EXISTS; the system text differs between Windows and Wine, so only
  // the frame of the entry is compared.
  EXPECT_NE(again.debugOutput.find("ReportEvent: Function [CreateService] failed with code [00000431]: "),
            std::string::npos)
      << again.debugOutput;
  // The existing registration is left as it was.
  test::ScopedService service(kServiceName);
  EXPECT_TRUE(service.Open());
}

TEST_F(UpdateServiceHost, StartedFromAConsoleWithoutInstallFailsWithExitCodeOne) {
  // Wine makes each failed dispatcher connection wait 10 seconds: two cases are enough.
  for (const wchar_t* args : {L"", L" instal"}) {
    SCOPED_TRACE(test::Narrow(args));
    test::ChildResult run = test::RunUnderDebugger(L"\"" + Program() + L"\"" + args, {});
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(run.out.empty()) << run.out;
    // 0x427 is ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.
    EXPECT_NE(run.debugOutput.find("Function [StartServiceCtrlDispatcher] failed with code [00000427]"),
              std::string::npos)
        << run.debugOutput;
  }
}

}  // namespace
