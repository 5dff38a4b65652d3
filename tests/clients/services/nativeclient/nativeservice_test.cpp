// The native client service under the service control manager, with stand-ins for the client's
// tray and CX processes. The per-account event names, the client registry keys and the partner
// window classes are shared by every instance of the service, hence the lock.
// ctest-property: RESOURCE_LOCK native-service
// ctest-property: TIMEOUT 400
#include "nclharness.h"

#include <memory>

#include <tlhelp32.h>

namespace {

using ncltest::NativeServiceTest;

using test::ProcessOfProgramEnds;

::testing::AssertionResult StartsOrEndsAtOnce(bool started) {
  DWORD error = 0;
  if (test::StartedOrEndedAtOnce(started, &error)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "StartService failed with " << error;
}

TEST_F(NativeServiceTest, InstallPrintsTheBannerAndRegistersOnce) {
  test::ProcessResult run = test::RunProcess(L"\"" + program_ + L"\" InStAlL", 30000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, ncltest::kBanner);
  ASSERT_TRUE(service_->Open());
  std::vector<BYTE> buffer(8192);
  DWORD needed = 0;
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  ASSERT_TRUE(QueryServiceConfigW(service_->Get(), config, static_cast<DWORD>(buffer.size()), &needed));
  EXPECT_EQ(test::Narrow(config->lpDisplayName), "Cindravale Native Client Service");
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));

  test::ProcessResult again = test::RunProcess(L"\"" + program_ + L"\" install", 30000);
  EXPECT_EQ(again.exitCode, 1u);
  EXPECT_EQ(again.out, ncltest::kBanner);
}

TEST_F(NativeServiceTest, StartedFromAConsoleWithoutInstallExitsWithOne) {
  // Wine makes the failed dispatcher connection wait 10 seconds; one case is enough.
  test::ProcessResult run = test::RunProcess(L"\"" + program_ + L"\" installer", 60000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(run.out.empty()) << run.out;
}

TEST_F(NativeServiceTest, StartsTheTrayWithoutMarkerAndStopsPromptlyWithoutTray) {
  ASSERT_TRUE(Register());
  ASSERT_TRUE(StartRunning());
  EXPECT_TRUE(WaitForLog("NCLService: Interactive: 0", 10000));
  EXPECT_TRUE(WaitForLog("partner window of class [TARSAUIPU] not found", 10000));
  ExpectTrayStartedUnlessElevated();
  ncltest::EndPartnerProcesses();
  // With nothing to wait for, the stop is prompt.
  EXPECT_TRUE(StopStopped(10000));
  EXPECT_TRUE(WaitForLog("Cindravale Native Client Service (25.10.0.74) stopped.", 10000));
}

TEST_F(NativeServiceTest, LeavesTheTrayAloneWhileTheMarkerExists) {
  KernelHandle marker(CreateEventW(nullptr, TRUE, FALSE, GlobalEventName(ClientIdentity::InteractiveEventName).c_str()));
  ASSERT_TRUE(marker);
  ASSERT_TRUE(Register());
  ASSERT_TRUE(StartRunning());
  EXPECT_TRUE(WaitForLog("NCLService: Interactive: 1", 10000));
  EXPECT_TRUE(WaitForLog("Native Client Service (25.10.0.74) started.", 10000));
  ASSERT_TRUE(StopStopped());
  std::string log = LogSinceStart();
  EXPECT_EQ(log.find("partner window of class [TARSAUIPU] not found"), std::string::npos) << log;
  EXPECT_TRUE(TrayLog().empty());
}

TEST_F(NativeServiceTest, StopAsksTheTrayToQuitBeforeStopPending) {
  HANDLE tray = StartChild(L"traystandin", L"--service-desktop --quit-delay=1500 --log=" + trayLog_);
  ASSERT_TRUE(tray);
  ASSERT_TRUE(WaitForWindow(L"TARSAUIPU", nullptr, true, 10000));
  ASSERT_TRUE(Register());
  ASSERT_TRUE(StartRunning());
  // The tray was found at start: nothing is started.
  EXPECT_TRUE(WaitForLog("NCLService: Interactive: 0", 10000));

  ASSERT_TRUE(StopStopped(20000));
  // The control returns only after the tray's window is gone, so the tray ended first.
  EXPECT_EQ(WaitForSingleObject(tray, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  // The request arrives as id 2104 with the single zero byte.
  EXPECT_NE(TrayLog().find("request 2104 1 0"), std::string::npos) << TrayLog();
  EXPECT_NE(TrayLog().find("quit"), std::string::npos);
  EXPECT_TRUE(WaitForLog("QuitSystray: UI returned 1", 5000));
  EXPECT_EQ(LogSinceStart().find("partner window of class [TARSAUIPU] not found"), std::string::npos);
}

TEST_F(NativeServiceTest, ShutdownIsAnsweredOnceTrayAndRegisteredCxWindowsAreGone) {
  // One registered account whose CX process lives 3 more seconds; a domain key without
  // "DomainHref" and a user key without "UserId" whose windows never go: both are ignored.
  ASSERT_TRUE(ncltest::WriteCompanyText(L"VennacorCloudCX\\d1", L"DomainHref", L"https://a.example"));
  ASSERT_TRUE(ncltest::WriteCompanyText(L"VennacorCloudCX\\d1\\u1", L"UserId", L"alice"));
  ASSERT_TRUE(ncltest::WriteCompanyText(L"VennacorCloudCX\\d1\\u2", L"Other", L"carol"));
  ASSERT_TRUE(ncltest::WriteCompanyText(L"VennacorCloudCX\\d2", L"Other", L"https://b.example"));
  ASSERT_TRUE(ncltest::WriteCompanyText(L"VennacorCloudCX\\d2\\u1", L"UserId", L"bob"));
  ASSERT_TRUE(StartChild(L"cxstandin", L"--service-desktop --domain=https://a.example --user=carol"));
  ASSERT_TRUE(StartChild(L"cxstandin", L"--service-desktop --domain=https://b.example --user=bob"));
  ASSERT_TRUE(StartChild(L"traystandin", L"--service-desktop --log=" + trayLog_));
  ASSERT_TRUE(WaitForWindow(L"TARSAUIPU", nullptr, true, 10000));
  ASSERT_TRUE(Register());
  ASSERT_TRUE(StartRunning());

  HANDLE cx = StartChild(L"cxstandin", L"--service-desktop --domain=https://a.example --user=alice --lifetime=3000");
  ASSERT_TRUE(cx);
  ASSERT_TRUE(WaitForWindow(L"TARSACXPU", L"https://a.example|alice", true, 10000));
  test::ProcessResult answer = test::RunProcess(L"\"" + test::ProgramPath(L"clientshutdown") + L"\" --shutdown", 60000);
  EXPECT_EQ(answer.exitCode, 0u) << answer.out << answer.err;
  EXPECT_EQ(answer.out.rfind("answered after ", 0), 0u) << answer.out;
  EXPECT_EQ(WaitForSingleObject(cx, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_FALSE(FindWindowExW(nullptr, nullptr, L"TARSAUIPU", nullptr));

  std::string log = LogSinceStart();
  EXPECT_NE(log.find("NCLService: Shutdown (Interactive)"), std::string::npos);
  EXPECT_NE(log.find("QuitSystray: Wait for CX process https://a.example|alice to be terminated"), std::string::npos);
  EXPECT_NE(log.find("QuitSystray: CX process https://a.example|alice did quit"), std::string::npos) << log;
  EXPECT_EQ(log.find("bob"), std::string::npos);
  EXPECT_EQ(log.find("carol"), std::string::npos);
  // The service keeps running after a shutdown request.
  EXPECT_EQ(service_->State(), static_cast<DWORD>(SERVICE_RUNNING));
  ncltest::EndPartnerProcesses();
  EXPECT_TRUE(StopStopped());
}

TEST_F(NativeServiceTest, PlantedShutdownEventEndsTheServiceWithExitCode183) {
  // An event another process made under the name must never be waited on; the service ends
  // visibly instead of staying in START_PENDING.
  KernelHandle planted(CreateEventW(nullptr, FALSE, FALSE, GlobalEventName(ClientIdentity::ShutdownEventName).c_str()));
  ASSERT_TRUE(planted);
  ASSERT_TRUE(Register());
  ASSERT_TRUE(StartsOrEndsAtOnce(service_->Start()));
  ASSERT_EQ(service_->WaitState(SERVICE_STOPPED, 20000), static_cast<DWORD>(SERVICE_STOPPED));
  SERVICE_STATUS status = {};
  ASSERT_TRUE(QueryServiceStatus(service_->Get(), &status));
  // What "sc query" shows as WIN32_EXIT_CODE: 183, ERROR_ALREADY_EXISTS.
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  // 0xB7 is ERROR_ALREADY_EXISTS.
  EXPECT_TRUE(WaitForLog("Function [CreateEvent] failed with code [000000B7]", 10000)) << LogSinceStart();
  EXPECT_EQ(LogSinceStart().find("Native Client Service (25.10.0.74) started."), std::string::npos);
  // The dispatcher has returned and the program has ended.
  EXPECT_TRUE(ProcessOfProgramEnds((serviceName_ + L".exe").c_str(), 10000));
}

TEST_F(NativeServiceTest, ProgramPathWithABlankIsRegisteredInQuotes) {
  // Unquoted, "C:\\Program Files\\..." would let a file "C:\\Program.exe" run as the service's
  // account.
  std::wstring folder = dir_.Join(L"Program Files");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  std::wstring copy = folder + L"\\" + serviceName_ + L".exe";
  ASSERT_TRUE(test::CopyProgram(program_, copy));
  test::ProcessResult run = test::RunProcess(L"\"" + copy + L"\" install", 30000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.out;
  ASSERT_TRUE(service_->Open());
  std::vector<BYTE> buffer(8192);
  DWORD needed = 0;
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  ASSERT_TRUE(QueryServiceConfigW(service_->Get(), config, static_cast<DWORD>(buffer.size()), &needed));
  EXPECT_EQ(_wcsicmp(config->lpBinaryPathName, (L"\"" + copy + L"\"").c_str()), 0)
      << test::Narrow(config->lpBinaryPathName);
}

}  // namespace
