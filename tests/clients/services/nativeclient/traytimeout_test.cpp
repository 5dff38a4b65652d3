// A tray process that never quits: the shutdown request goes unanswered after the 25-second
// budget, and a stop request still ends in STOPPED within the 30 seconds Windows gives a
// control handler.
// ctest-property: RESOURCE_LOCK native-service
// ctest-property: TIMEOUT 300
#include "nclharness.h"

#include <cstdio>

namespace {

using ncltest::NativeServiceTest;

TEST_F(NativeServiceTest, TrayThatNeverQuitsLeavesTheShutdownUnanswered) {
  // A registered account whose CX window is present: it is never even looked at.
  ASSERT_TRUE(ncltest::WriteCompanyText(L"VennacorCloudCX\\d1", L"DomainHref", L"https://a.example"));
  ASSERT_TRUE(ncltest::WriteCompanyText(L"VennacorCloudCX\\d1\\u1", L"UserId", L"alice"));
  ASSERT_TRUE(StartChild(L"cxstandin", L"--service-desktop --domain=https://a.example --user=alice"));
  HANDLE tray = StartChild(L"traystandin", L"--service-desktop --ignore-quit --log=" + trayLog_);
  ASSERT_TRUE(tray);
  ASSERT_TRUE(WaitForWindow(L"TARSAUIPU", nullptr, true, 10000));
  ASSERT_TRUE(Register());
  ASSERT_TRUE(StartRunning());

  test::ProcessResult answer =
      test::RunProcess(L"\"" + test::ProgramPath(L"clientshutdown") + L"\" --shutdown=40000", 60000);
  EXPECT_EQ(answer.exitCode, 1u) << answer.out << answer.err;
  EXPECT_EQ(answer.out.rfind("no answer after ", 0), 0u) << answer.out;
  EXPECT_TRUE(WaitForLog("QuitSystray: timeout waiting for ui process to be terminated (25 sec)", 5000));

  // One request a second, 25 in all, each refused (0) and only traced.
  std::string trayLog = TrayLog();
  size_t requests = 0;
  for (size_t at = trayLog.find("request 2104 1 0"); at != std::string::npos; at = trayLog.find("request 2104 1 0", at + 1))
    ++requests;
  EXPECT_EQ(requests, 25u);
  std::string log = LogSinceStart();
  EXPECT_NE(log.find("QuitSystray: UI returned 0"), std::string::npos);
  EXPECT_EQ(log.find("alice"), std::string::npos) << "the CX registrations are not read after a tray timeout";
  EXPECT_EQ(WaitForSingleObject(tray, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "nothing is ended by force";
}

TEST_F(NativeServiceTest, HungTrayDoesNotBlockAStopForEver) {
  // The tray stops responding to the quit request: each request gives up after its time-out,
  // the budget runs out and the stop still ends in STOPPED.
  HANDLE tray = StartChild(L"traystandin", L"--service-desktop --hang-on-quit --log=" + trayLog_);
  ASSERT_TRUE(tray);
  ASSERT_TRUE(WaitForWindow(L"TARSAUIPU", nullptr, true, 10000));
  ASSERT_TRUE(Register());
  ASSERT_TRUE(StartRunning());
  SERVICE_STATUS status = {};
  ASSERT_TRUE(ControlService(service_->Get(), SERVICE_CONTROL_STOP, &status) ||
              GetLastError() == ERROR_SERVICE_REQUEST_TIMEOUT);
  EXPECT_EQ(service_->WaitState(SERVICE_STOPPED, 120000), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(WaitForLog("QuitSystray: timeout waiting for ui process to be terminated (25 sec)", 5000));
  TerminateProcess(tray, 1);
}

TEST_F(NativeServiceTest, StopEndsInTimeWhenTheTrayAnswersLateAndNeverQuits) {
  // Each "UI-Quit" is answered after 4.9 s, just inside a request's 5-second time-out: every
  // request's time counts against the budget, or 25 of them would hold the stop for minutes.
  HANDLE tray = StartChild(L"traystandin", L"--service-desktop --answer-delay=4900 --log=" + trayLog_);
  ASSERT_TRUE(tray);
  ASSERT_TRUE(WaitForWindow(L"TARSAUIPU", nullptr, true, 10000));
  ASSERT_TRUE(Register());
  ASSERT_TRUE(StartRunning());
  ULONGLONG stopAt = GetTickCount64();
  SERVICE_STATUS status = {};
  // Wine's service manager may give up waiting for the handler before it returns.
  ASSERT_TRUE(ControlService(service_->Get(), SERVICE_CONTROL_STOP, &status) ||
              GetLastError() == ERROR_SERVICE_REQUEST_TIMEOUT)
      << GetLastError();
  DWORD state = service_->WaitState(SERVICE_STOPPED, 180000);
  ULONGLONG took = GetTickCount64() - stopAt;
  printf("STOPPED %llu ms after the stop control\n", took);
  ASSERT_EQ(state, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_LT(took, 30000u);
  EXPECT_TRUE(WaitForLog("QuitSystray: timeout waiting for ui process to be terminated (25 sec)", 5000));
  EXPECT_NE(TrayLog().find("request 2104 1 0"), std::string::npos) << TrayLog();
  EXPECT_EQ(WaitForSingleObject(tray, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "nothing is ended by force";
}

}  // namespace
