// Without any push, the update service still runs a pass every 60 seconds.
// This is the suite's one long wait for the update service; it runs beside the other tests.
// ctest-property: RESOURCE_LOCK update-service
// ctest-property: TIMEOUT 300
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

TEST(UpdateServicePeriod, AnnouncementWithoutPushIsAnsweredByTheNextTimedPass) {
  test::DeleteServiceIfPresent(L"CINDRAVALEUS");
  test::ScopedService service(L"CINDRAVALEUS");
  ASSERT_TRUE(service.Create(test::ProgramPath(L"CindravaleUS"), L"Cindravale Client Update Service"));
  ASSERT_TRUE(service.Start());
  ASSERT_EQ(service.WaitState(SERVICE_RUNNING, 20000), static_cast<DWORD>(SERVICE_RUNNING));

  wchar_t result[MAX_PATH];
  ExpandEnvironmentStringsW(L"%ProgramFiles%\\Vennacor\\Update\\timed.result", result, MAX_PATH);
  DeleteFileW(result);
  // Announced after the first pass and never signalled: only the 60-second time-out finds it.
  test::ProcessResult drop = test::RunProcess(
      L"\"" + test::ProgramPath(L"droppackage") + L"\" --no-package --no-signal --timeout 90 --name timed", 100000);
  EXPECT_EQ(drop.exitCode, 1u) << drop.out << drop.err;
  std::string printed = drop.out;
  printed.erase(std::remove(printed.begin(), printed.end(), '\r'), printed.end());
  EXPECT_NE(printed.find(": 7\n"), std::string::npos) << printed;
  service.Remove();
}

}  // namespace
