// The update service as the service control manager and an administrator's console see it.
// ctest-property lines: the service's display name and push event are machine-wide.
// ctest-property: RESOURCE_LOCK update-service
// ctest-property: TIMEOUT 300
#include "clientidentity.h"
#include "testsupport.h"
#include "updateservicehost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace ustest;

TEST_F(UpdateServiceHost, InstallInAnyLetterCaseRegistersADemandStartService) {
  for (const wchar_t* word : {L"install", L"INSTALL", L"Install"}) {
    SCOPED_TRACE(test::Narrow(word));
    test::ProcessResult run = test::RunProcess(L"\"" + Program() + L"\" " + word + L" ignored-extra", 30000);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, kBanner);

    test::ScopedService service(kServiceName);
    ASSERT_TRUE(service.Open());
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(test::Narrow(config->lpDisplayName), kDisplayName);
    // The image path is the program path as the system reports it: no quotes, no arguments.
    EXPECT_EQ(_wcsicmp(config->lpBinaryPathName, Program().c_str()), 0) << test::Narrow(config->lpBinaryPathName);
    service.Remove();
  }
}

class RegisteredUpdateService : public UpdateServiceHost {
 protected:
  void SetUp() override {
    UpdateServiceHost::SetUp();
    ASSERT_TRUE(service_.Create(Program(), test::Widen(kDisplayName))) << GetLastError();
  }
  void TearDown() override {
    service_.Remove();
    UpdateServiceHost::TearDown();
  }
  test::ScopedService service_{kServiceName};
};

// Keeps only the changes of a polled state sequence, for comparison with the expected order.
bool IsOrderedSubsequence(const std::vector<DWORD>& seen, const std::vector<DWORD>& allowed) {
  size_t next = 0;
  for (DWORD state : seen) {
    while (next < allowed.size() && allowed[next] != state) ++next;
    if (next == allowed.size()) return false;
  }
  return true;
}

TEST_F(RegisteredUpdateService, ReportsItsStatesFromStartToStop) {
  size_t logStart = test::ReadServicesLog().size();
  ASSERT_TRUE(service_.Start()) << GetLastError();
  std::vector<DWORD> seen;
  ASSERT_EQ(service_.WaitState(SERVICE_RUNNING, 20000, &seen), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(IsOrderedSubsequence(seen, {SERVICE_STOPPED, SERVICE_START_PENDING, SERVICE_RUNNING}));
  EXPECT_TRUE(test::WaitForServicesLog("Cindravale Client Update Service (25.10.0.74) started.", logStart, 10000));

  SERVICE_STATUS status = {};
  // Interrogate and user-defined controls leave the service running. (Windows answers control
  // 128 with the handler's ERROR_CALL_NOT_IMPLEMENTED; Wine's service manager answers TRUE
  // whatever the handler returns, so the handler's answers are checked in-process instead.)
  EXPECT_TRUE(ControlService(service_.Get(), SERVICE_CONTROL_INTERROGATE, &status)) << GetLastError();
  ControlService(service_.Get(), 128, &status);
  EXPECT_EQ(service_.State(), static_cast<DWORD>(SERVICE_RUNNING));

  DWORD pid = service_.ProcessId();
  KernelHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  seen.clear();
  ASSERT_TRUE(ControlService(service_.Get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  ASSERT_EQ(service_.WaitState(SERVICE_STOPPED, 20000, &seen), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(IsOrderedSubsequence(seen, {SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  EXPECT_TRUE(test::WaitForServicesLog("Cindravale Client Update Service (25.10.0.74) stopped.", logStart, 10000));
  // The dispatcher returns once the service has stopped, and the program exits with 0.
  ASSERT_TRUE(process);
  ASSERT_EQ(WaitForSingleObject(process.Get(), 10000), WAIT_OBJECT_0);
  DWORD exitCode = 99;
  GetExitCodeProcess(process.Get(), &exitCode);
  EXPECT_EQ(exitCode, 0u);
}

TEST_F(RegisteredUpdateService, PushEventGrantsEveryoneFullAccessAndWakesTheService) {
  ASSERT_TRUE(service_.Start());
  ASSERT_EQ(service_.WaitState(SERVICE_RUNNING, 20000), static_cast<DWORD>(SERVICE_RUNNING));
  // What any client process does after dropping a package.
  KernelHandle push(OpenEventA(EVENT_MODIFY_STATE | READ_CONTROL, FALSE, ClientIdentity::MsiPushEventName));
  ASSERT_TRUE(push) << GetLastError();
  EXPECT_TRUE(SetEvent(push.Get()));
  EXPECT_EQ(service_.State(), static_cast<DWORD>(SERVICE_RUNNING));
}

// The update folder, as the service names it.
std::wstring UpdateFolderPath() {
  wchar_t folder[MAX_PATH];
  ExpandEnvironmentStringsW(L"%ProgramFiles%\\Vennacor\\Update", folder, MAX_PATH);
  return folder;
}

TEST_F(RegisteredUpdateService, AnswersAnnouncementsAtStartAndOnEveryPush) {
  // The client stand-in drops announcements without packages: each is answered with code 7.
  DeleteFileW((UpdateFolderPath() + L"\\atstart.result").c_str());
  DeleteFileW((UpdateFolderPath() + L"\\pushed.result").c_str());
  std::wstring tool = L"\"" + test::ProgramPath(L"droppackage") + L"\" --no-package --timeout 1 --no-signal --name ";
  ASSERT_EQ(test::RunProcess(tool + L"atstart", 30000).exitCode, 2u);  // nobody answers yet
  ASSERT_TRUE(service_.Start());
  ASSERT_EQ(service_.WaitState(SERVICE_RUNNING, 20000), static_cast<DWORD>(SERVICE_RUNNING));
  // The first pass runs before RUNNING is reported.
  std::string line;
  EXPECT_TRUE(test::ReadFileBytes(UpdateFolderPath() + L"\\atstart.result", &line));
  EXPECT_EQ(line.substr(0, 2), "0|");
  EXPECT_EQ(line.substr(line.size() - 3), ": 7");

  test::ProcessResult pushed = test::RunProcess(
      L"\"" + test::ProgramPath(L"droppackage") + L"\" --no-package --timeout 30 --name pushed", 40000);
  EXPECT_EQ(pushed.exitCode, 1u) << pushed.out << pushed.err;  // a result other than "started"
  EXPECT_NE(pushed.out.find("pushed.result: 0|"), std::string::npos) << pushed.out;
  std::string printed = pushed.out;
  printed.erase(std::remove(printed.begin(), printed.end(), '\r'), printed.end());
  EXPECT_NE(printed.find(": 7\n"), std::string::npos) << printed;
}

TEST_F(RegisteredUpdateService, PlantedPushEventStopsPreparationWithoutAnyStateReport) {
  // Another process owns the name first: the service must not use an event it did not create.
  KernelHandle planted(CreateEventA(nullptr, FALSE, FALSE, ClientIdentity::MsiPushEventName));
  ASSERT_TRUE(planted);
  size_t logStart = test::ReadServicesLog().size();
  // Windows' StartService returns once the service main runs; Wine's waits for a first status
  // report, which never comes here, and fails with ERROR_SERVICE_REQUEST_TIMEOUT after 10 s.
  service_.Start();
  // 0xB7 is ERROR_ALREADY_EXISTS.
  EXPECT_TRUE(test::WaitForServicesLog("Function [CreateMSIPushEvent] failed with code [000000B7]", logStart, 20000));
  std::vector<DWORD> seen;
  service_.WaitState(SERVICE_RUNNING, 2000, &seen);
  for (DWORD state : seen) EXPECT_NE(state, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(test::ReadServicesLog().find("Cindravale Client Update Service (25.10.0.74) started.", logStart),
            std::string::npos);
}

}  // namespace
