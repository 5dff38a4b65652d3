// Both services beside a trace pipe server that accepts every writer and never reads (anyone
// can listen on the pipe name): the update service still answers a package and stops, the
// native client service still starts and stops, and their trace lines reach the debugger
// output instead.
// A pipe server of this test takes every process's trace lines: it runs alone.
// ctest-property: RUN_SERIAL TRUE
// ctest-property: RESOURCE_LOCK update-service
// ctest-property: RESOURCE_LOCK native-service
// ctest-property: TIMEOUT 300
#include "nclharness.h"
// The planted server is the trace tests' own.
#include "../../../gui/base/tracepipeserver.h"

#include <string>

namespace {

const wchar_t kUpdateService[] = L"CINDRAVALEUS";

bool WaitForExit(DWORD pid, DWORD timeoutMs) {
  KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  return !process || WaitForSingleObject(process.Get(), timeoutMs) == WAIT_OBJECT_0;
}

TEST(StalledTracerService, UpdateServiceAnswersAPackageAndStops) {
  test::NeverReadingPipeServer planted;
  ASSERT_TRUE(planted.IsListening()) << GetLastError();
  test::DeleteServiceIfPresent(kUpdateService);
  test::ScopedService service(kUpdateService);
  ASSERT_TRUE(service.Create(test::ProgramPath(L"CindravaleUS"), L"Cindravale Client Update Service"))
      << GetLastError();
  const size_t logStart = test::ReadServicesLog().size();

  ASSERT_TRUE(service.Start()) << GetLastError();
  ASSERT_EQ(service.WaitState(SERVICE_RUNNING, 30000), static_cast<DWORD>(SERVICE_RUNNING));
  const DWORD pid = service.ProcessId();
  EXPECT_GE(planted.Connections(), 1) << "the service never wrote to the planted server";

  // An announcement without its package, answered with code 7 by the pass the push starts.
  test::ProcessResult drop = test::RunProcess(
      L"\"" + test::ProgramPath(L"droppackage") + L"\" --no-package --timeout 30 --name stalledtracer", 60000);
  EXPECT_EQ(drop.exitCode, 1u) << drop.out << drop.err;
  EXPECT_NE(drop.out.find("stalledtracer.result: 0|"), std::string::npos) << drop.out;
  // The pass's trace line went to the debugger output, which the services log collects.
  EXPECT_TRUE(test::WaitForServicesLog("Result code 7", logStart, 10000));

  const DWORD start = GetTickCount();
  ASSERT_TRUE(service.Stop()) << GetLastError();
  EXPECT_EQ(service.WaitState(SERVICE_STOPPED, 30000), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(WaitForExit(pid, 10000));
  printf("update service stop beside a server that never reads: %lu ms\n", GetTickCount() - start);
  service.Remove();
}

class StalledTracerNativeService : public ncltest::NativeServiceTest {};

TEST_F(StalledTracerNativeService, StartsAndStops) {
  test::NeverReadingPipeServer planted;
  ASSERT_TRUE(planted.IsListening()) << GetLastError();
  ASSERT_TRUE(Register()) << GetLastError();
  ASSERT_TRUE(StartRunning());
  const DWORD pid = service_->ProcessId();
  EXPECT_GE(planted.Connections(), 1) << "the service never wrote to the planted server";
  EXPECT_TRUE(WaitForLog("NCLService: ", 10000)) << LogSinceStart();

  const DWORD start = GetTickCount();
  // The service manager allows a stop 30 seconds.
  EXPECT_TRUE(StopStopped(30000));
  EXPECT_TRUE(WaitForExit(pid, 10000));
  printf("native client service stop beside a server that never reads: %lu ms\n", GetTickCount() - start);
}

}  // namespace
