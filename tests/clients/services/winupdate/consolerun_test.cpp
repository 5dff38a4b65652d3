// The update service's reports when it is run from a console: "install" twice, and a start
// without "install". A console run's reports are read back from its debugger output.
// ctest-property: RESOURCE_LOCK update-service
// ctest-property: RUN_SERIAL TRUE
// ctest-property: TIMEOUT 300
#include "debugoutput.h"
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
  // Every report is echoed to the debugger output, which is where a console run's entries can
  // be read back (Wine's event log stores nothing).
  test::DebugOutputListener debugOutput;
  ASSERT_TRUE(debugOutput.IsListening());
  test::ProcessResult again = test::RunProcess(L"\"" + Program() + L"\" install", 30000);
  ASSERT_TRUE(again.finished);
  EXPECT_EQ(again.exitCode, 1u);
  EXPECT_EQ(again.out, kBanner);
  // 0x431 is ERROR_SERVICE_EXISTS; the system text differs between Windows and Wine, so only
  // the frame of the entry is compared.
  EXPECT_TRUE(debugOutput.WaitFor("ReportEvent: Function [CreateService] failed with code [00000431]: ", 0, 5000))
      << debugOutput.TextOf();
  // The existing registration is left as it was.
  test::ScopedService service(kServiceName);
  EXPECT_TRUE(service.Open());
}

TEST_F(UpdateServiceHost, StartedFromAConsoleWithoutInstallFailsWithExitCodeOne) {
  // Wine makes each failed dispatcher connection wait 10 seconds: two cases are enough.
  for (const wchar_t* args : {L"", L" instal"}) {
    SCOPED_TRACE(test::Narrow(args));
    test::DebugOutputListener debugOutput;
    ASSERT_TRUE(debugOutput.IsListening());
    test::ProcessResult run = test::RunProcess(L"\"" + Program() + L"\"" + args, 60000);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(run.out.empty()) << run.out;
    // 0x427 is ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.
    EXPECT_TRUE(debugOutput.WaitFor("Function [StartServiceCtrlDispatcher] failed with code [00000427]", 0, 5000))
        << debugOutput.TextOf();
  }
}

}  // namespace
