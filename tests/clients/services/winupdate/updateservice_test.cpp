// The update service as the service control manager and an administrator's console see it.
// ctest-property lines: the service's display name and push event are machine-wide.
// ctest-property: RESOURCE_LOCK update-service
// ctest-property: TIMEOUT 600
#include "announcementflood.h"
#include "clientidentity.h"
#include "testsupport.h"
#include "updateservicehost.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace ustest;

std::wstring ImagePathOf(test::ScopedService& service) {
  std::vector<BYTE> buffer(8192);
  DWORD needed = 0;
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed)) return L"(unreadable)";
  return config->lpBinaryPathName;
}

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
    // A program path without blanks is registered as the system reports it: no quotes, no arguments.
    ASSERT_EQ(Program().find(L' '), std::wstring::npos) << "the build folder holds a blank";
    EXPECT_EQ(_wcsicmp(config->lpBinaryPathName, Program().c_str()), 0) << test::Narrow(config->lpBinaryPathName);
    service.Remove();
  }
}

TEST_F(UpdateServiceHost, ProgramPathWithABlankIsRegisteredInQuotes) {
  // Unquoted, "C:\Program Files\...\CindravaleUS.exe" would let a file "C:\Program.exe" run as
  // the service's account.
  test::TempDir dir;
  std::wstring folder = dir.Join(L"Program Files");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  std::wstring copy = folder + L"\\CindravaleUS.exe";
  ASSERT_TRUE(test::CopyProgram(Program(), copy));
  test::ProcessResult run = test::RunProcess(L"\"" + copy + L"\" install", 30000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.out;

  test::ScopedService service(kServiceName);
  ASSERT_TRUE(service.Open());
  std::wstring image = ImagePathOf(service);
  EXPECT_EQ(_wcsicmp(image.c_str(), (L"\"" + copy + L"\"").c_str()), 0) << test::Narrow(image);
  // The service manager starts the program from the quoted path.
  ASSERT_TRUE(service.Start()) << GetLastError();
  EXPECT_EQ(service.WaitState(SERVICE_RUNNING, 20000), static_cast<DWORD>(SERVICE_RUNNING));
  service.Remove();
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

using test::ProcessOfProgramEnds;

::testing::AssertionResult StartsOrEndsAtOnce(bool started) {
  DWORD error = 0;
  if (test::StartedOrEndedAtOnce(started, &error)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "StartService failed with " << error;
}

// What a poll of the service manager saw: the state, and the check point, which the service
// raises by one with every state it reports.
struct StatusSample {
  DWORD state = 0;
  DWORD checkPoint = 0;
  DWORD exitCode = 0;
};

StatusSample QueryStatus(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
    return {};
  return {status.dwCurrentState, status.dwCheckPoint, status.dwWin32ExitCode};
}

// Polls until `want` is seen or the time-out passes, appending every change to `seen`.
StatusSample WatchStatus(SC_HANDLE service, DWORD want, DWORD timeoutMs, std::vector<StatusSample>* seen) {
  ULONGLONG start = GetTickCount64();
  for (;;) {
    StatusSample now = QueryStatus(service);
    if (seen->empty() || seen->back().state != now.state || seen->back().checkPoint != now.checkPoint)
      seen->push_back(now);
    if (now.state == want || GetTickCount64() - start > timeoutMs) return now;
    Sleep(5);
  }
}

// A poll may miss a state that lasted only a moment; the check points still tell which report
// each sample was. Passes when every sample is the report its check point names, the reports
// come in order, and the last sample is the last expected report. Samples with check point 0
// are the service manager's own (STOPPED before the start, its START_PENDING until the first
// report) and may come only first.
::testing::AssertionResult ReportsFollow(const std::vector<StatusSample>& seen, const std::vector<DWORD>& expected) {
  DWORD lastCheckPoint = 0;
  for (size_t i = 0; i < seen.size(); ++i) {
    const StatusSample& sample = seen[i];
    if (sample.checkPoint == 0) {
      if (lastCheckPoint != 0 || (sample.state != SERVICE_STOPPED && sample.state != SERVICE_START_PENDING))
        return ::testing::AssertionFailure() << "sample " << i << ": state " << sample.state << " without a report";
      continue;
    }
    if (sample.checkPoint < lastCheckPoint || sample.checkPoint > expected.size())
      return ::testing::AssertionFailure() << "sample " << i << ": check point " << sample.checkPoint;
    if (sample.state != expected[sample.checkPoint - 1])
      return ::testing::AssertionFailure() << "sample " << i << ": report " << sample.checkPoint << " is state "
                                           << sample.state << ", expected " << expected[sample.checkPoint - 1];
    lastCheckPoint = sample.checkPoint;
  }
  if (lastCheckPoint != expected.size())
    return ::testing::AssertionFailure() << "the last report seen is number " << lastCheckPoint << " of "
                                         << expected.size();
  return ::testing::AssertionSuccess();
}

TEST(ReportsFollow, FailsWhenAReportIsMissingOrOutOfOrder) {
  const std::vector<DWORD> order = {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED};
  struct Case {
    const char* what;
    std::vector<StatusSample> seen;
    bool passes;
  } cases[] = {
      {"every report", {{1, 0}, {2, 1}, {4, 2}, {3, 3}, {1, 4}}, true},
      {"short states missed by the poll", {{1, 0}, {2, 0}, {4, 2}, {1, 4}}, true},
      {"no START_PENDING report", {{1, 0}, {4, 1}, {3, 2}, {1, 3}}, false},
      {"RUNNING alone", {{4, 2}}, false},
      {"STOP_PENDING before RUNNING", {{2, 1}, {3, 2}, {4, 3}, {1, 4}}, false},
      {"check point going back", {{2, 1}, {4, 2}, {2, 1}, {1, 4}}, false},
      {"never stopped", {{2, 1}, {4, 2}, {3, 3}}, false},
      {"state before any report after one", {{2, 1}, {1, 0}, {1, 4}}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(bool(ReportsFollow(c.seen, order)), c.passes) << c.what;
}

TEST_F(RegisteredUpdateService, ReportsItsStatesFromStartToStop) {
  size_t logStart = test::ReadServicesLog().size();
  ASSERT_TRUE(service_.Start()) << GetLastError();
  std::vector<StatusSample> seen;
  ASSERT_EQ(WatchStatus(service_.Get(), SERVICE_RUNNING, 20000, &seen).state, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(ReportsFollow(seen, {SERVICE_START_PENDING, SERVICE_RUNNING}));
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
  ASSERT_TRUE(ControlService(service_.Get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  StatusSample stopped = WatchStatus(service_.Get(), SERVICE_STOPPED, 20000, &seen);
  ASSERT_EQ(stopped.state, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(stopped.exitCode, 0u);
  EXPECT_TRUE(ReportsFollow(seen, {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  EXPECT_TRUE(test::WaitForServicesLog("Cindravale Client Update Service (25.10.0.74) stopped.", logStart, 10000));
  // The dispatcher returns once the service has stopped, and the program exits with 0.
  ASSERT_TRUE(process);
  ASSERT_EQ(WaitForSingleObject(process.Get(), 10000), WAIT_OBJECT_0);
  DWORD exitCode = 99;
  GetExitCodeProcess(process.Get(), &exitCode);
  EXPECT_EQ(exitCode, 0u);
}

// The update folder, as the service names it.
std::wstring UpdateFolderPath() {
  wchar_t folder[MAX_PATH];
  ExpandEnvironmentStringsW(L"%ProgramFiles%\\Vennacor\\Update", folder, MAX_PATH);
  return folder;
}

using test::KernelObjectDaclText;

TEST_F(RegisteredUpdateService, PushEventGrantsEveryoneFullAccessAndWakesTheService) {
  std::wstring result = UpdateFolderPath() + L"\\woken.result";
  DeleteFileW(result.c_str());
  ASSERT_TRUE(service_.Start());
  ASSERT_EQ(service_.WaitState(SERVICE_RUNNING, 20000), static_cast<DWORD>(SERVICE_RUNNING));
  // The event the running service waits on carries the one rule: Everyone, full access.
  KernelHandle push(OpenEventA(EVENT_MODIFY_STATE | READ_CONTROL, FALSE, ClientIdentity::MsiPushEventName));
  ASSERT_TRUE(push) << GetLastError();
  EXPECT_EQ(KernelObjectDaclText(push.Get()), "D:(A;;0x1fffff;;;WD)");

  // An announcement after the first pass, not signalled: the next timed pass is a minute away.
  test::ProcessResult drop = test::RunProcess(
      L"\"" + test::ProgramPath(L"droppackage") + L"\" --no-package --no-signal --timeout 1 --name woken", 30000);
  ASSERT_EQ(drop.exitCode, 2u) << drop.out << drop.err;
  std::string line;
  EXPECT_FALSE(test::ReadFileBytes(result, &line)) << "answered without a push: " << line;
  // What any client process does after dropping a package.
  ULONGLONG pushedAt = GetTickCount64();
  ASSERT_TRUE(SetEvent(push.Get()));
  while (!test::ReadFileBytes(result, &line) && GetTickCount64() - pushedAt < 20000) Sleep(50);
  ASSERT_TRUE(test::ReadFileBytes(result, &line)) << "no pass after the push";
  printf("answered %llu ms after the push\n", GetTickCount64() - pushedAt);
  EXPECT_EQ(line.substr(line.size() - 3), ": 7");
  EXPECT_EQ(service_.State(), static_cast<DWORD>(SERVICE_RUNNING));
  DeleteFileW(result.c_str());
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

TEST_F(RegisteredUpdateService, PlantedPushEventEndsTheServiceWithExitCode183) {
  // Another process owns the name first: the service must not use an event it did not create,
  // and it ends visibly instead of staying in START_PENDING.
  KernelHandle planted(CreateEventA(nullptr, FALSE, FALSE, ClientIdentity::MsiPushEventName));
  ASSERT_TRUE(planted);
  size_t logStart = test::ReadServicesLog().size();
  ASSERT_TRUE(StartsOrEndsAtOnce(service_.Start()));
  std::vector<StatusSample> seen;
  StatusSample stopped = WatchStatus(service_.Get(), SERVICE_STOPPED, 20000, &seen);
  ASSERT_EQ(stopped.state, static_cast<DWORD>(SERVICE_STOPPED));
  // What "sc query" shows as WIN32_EXIT_CODE: 183, ERROR_ALREADY_EXISTS.
  EXPECT_EQ(stopped.exitCode, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(ReportsFollow(seen, {SERVICE_STOPPED}));
  // 0xB7 is ERROR_ALREADY_EXISTS.
  EXPECT_TRUE(test::WaitForServicesLog("Function [CreateMSIPushEvent] failed with code [000000B7]", logStart, 10000));
  EXPECT_EQ(test::ReadServicesLog().find("Cindravale Client Update Service (25.10.0.74) started.", logStart),
            std::string::npos);
  // The dispatcher has returned and the program has ended.
  EXPECT_TRUE(ProcessOfProgramEnds(L"CindravaleUS.exe", 10000));
}

TEST_F(RegisteredUpdateService, FullDropFolderNeitherHoldsTheStartNorTheStop) {
  // A user may fill the drop folder. Windows refuses stops in START_PENDING (Wine delivers them,
  // so the in-process test checks the states as Windows would see them).
  test::AnnouncementFlood flood(5000);
  ASSERT_EQ(flood.Created(), 5000);
  ULONGLONG startAt = GetTickCount64();
  ASSERT_TRUE(service_.Start()) << GetLastError();
  std::vector<StatusSample> seen;
  ASSERT_EQ(WatchStatus(service_.Get(), SERVICE_RUNNING, 120000, &seen).state, static_cast<DWORD>(SERVICE_RUNNING));
  ULONGLONG runningAfter = GetTickCount64() - startAt;
  printf("RUNNING %llu ms after the start, %d announcements still waiting\n", runningAfter, flood.Waiting());
  EXPECT_LT(runningAfter, 15000u);
  EXPECT_TRUE(ReportsFollow(seen, {SERVICE_START_PENDING, SERVICE_RUNNING}));

  DWORD pid = service_.ProcessId();
  KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  ULONGLONG stopAt = GetTickCount64();
  SERVICE_STATUS status = {};
  ASSERT_TRUE(ControlService(service_.Get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  ASSERT_EQ(WatchStatus(service_.Get(), SERVICE_STOPPED, 60000, &seen).state, static_cast<DWORD>(SERVICE_STOPPED));
  ULONGLONG stoppedAfter = GetTickCount64() - stopAt;
  int waiting = flood.Waiting();
  printf("STOPPED %llu ms after the stop, %d announcements still waiting\n", stoppedAfter, waiting);
  EXPECT_LT(stoppedAfter, 15000u);
  EXPECT_TRUE(ReportsFollow(seen, {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  ASSERT_TRUE(process);
  EXPECT_EQ(WaitForSingleObject(process.Get(), 10000), WAIT_OBJECT_0);
  EXPECT_GT(waiting, 0) << "the pass did not stop for the stop control";

  // The next start answers the rest, pass after pass, without any push.
  ULONGLONG restartAt = GetTickCount64();
  ASSERT_TRUE(service_.Start()) << GetLastError();
  ASSERT_EQ(service_.WaitState(SERVICE_RUNNING, 60000), static_cast<DWORD>(SERVICE_RUNNING));
  printf("RUNNING %llu ms after the second start\n", GetTickCount64() - restartAt);
  while (flood.Answered() < 5000 && GetTickCount64() - restartAt < 400000) Sleep(500);
  printf("all answered %llu ms after the second start\n", GetTickCount64() - restartAt);
  EXPECT_EQ(flood.Answered(), 5000);
  EXPECT_EQ(flood.Waiting(), 0);
  service_.Remove();
}

}  // namespace
