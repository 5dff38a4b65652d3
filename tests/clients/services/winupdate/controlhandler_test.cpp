// The update service's host in-process: its answers to service controls, and the states its
// service main reports, watched through a stand-in for the service manager. (Wine's service
// manager delivers stops in START_PENDING and lets a dispatcher return without SERVICE_STOPPED,
// both of which Windows refuses, so the states are checked here as Windows would see them.)
// ctest-property: RESOURCE_LOCK update-service
// ctest-property: TIMEOUT 300
#include "../../common/servicemanagerfake.h"
#include "announcementflood.h"
#include "clientidentity.h"
#include "servicestep.h"
#include "testsupport.h"
#include "updateservice.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

namespace {

using servicetest::FakeServiceManager;
using servicetest::ServiceMainRun;
using servicetest::StatusReport;

TEST(UpdateServiceControlHandler, AnswersEachControlKind) {
  ServiceContext context;
  struct Case {
    DWORD control;
    void* context;
    DWORD answer;
  } cases[] = {
      {SERVICE_CONTROL_INTERROGATE, &context, NO_ERROR},
      {SERVICE_CONTROL_PAUSE, &context, NO_ERROR},
      {SERVICE_CONTROL_SHUTDOWN, &context, NO_ERROR},
      {127, &context, NO_ERROR},
      {128, &context, ERROR_CALL_NOT_IMPLEMENTED},
      {200, &context, ERROR_CALL_NOT_IMPLEMENTED},
      {255, &context, ERROR_CALL_NOT_IMPLEMENTED},
      {256, &context, NO_ERROR},
      {SERVICE_CONTROL_STOP, nullptr, ERROR_BAD_ENVIRONMENT},
      {128, nullptr, ERROR_BAD_ENVIRONMENT},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ControlHandler(c.control, 0, nullptr, c.context), c.answer) << "control " << c.control;
  // None of them touched the status.
  EXPECT_EQ(context.status.dwCheckPoint, 0u);
}

TEST(UpdateServiceControlHandler, StopWorksOnTheContextItIsGiven) {
  FakeServiceManager manager;
  ServiceContext context;
  InitServiceStatus(context);
  context.statusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<ULONG_PTR>(0x5EC0));
  context.events[0].Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  context.events[1].Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  HANDLE start = context.events[0].Get(), stop = context.events[1].Get();
  context.ready = true;

  EXPECT_EQ(ControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, &context), 0u);
  EXPECT_TRUE(context.stopRequested);
  EXPECT_EQ(context.status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(manager.States(), std::vector<DWORD>{SERVICE_STOP_PENDING});
  EXPECT_EQ(WaitForSingleObject(stop, 0), WAIT_OBJECT_0) << "the stop event of this context";
  EXPECT_EQ(WaitForSingleObject(start, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // A context whose preparation failed answers with its own saved error and reports nothing.
  ServiceContext failed;
  InitServiceStatus(failed);
  failed.lastError = ERROR_ALREADY_EXISTS;
  EXPECT_EQ(ControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, &failed), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(manager.States().size(), 1u);
}

TEST(UpdateServiceMain, PlantedPushEventEndsTheServiceWithItsError) {
  // Another process owns the name first: the service must not use an event it did not create,
  // and must not stay in START_PENDING for ever either.
  KernelHandle planted(CreateEventA(nullptr, FALSE, FALSE, ClientIdentity::MsiPushEventName));
  ASSERT_TRUE(planted);
  FakeServiceManager manager;
  ServiceMain(0, nullptr);  // returns: the test would hang otherwise
  std::vector<StatusReport> reports = manager.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].state, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(reports[0].exitCode, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  // Nobody waits on the planted event: a signal stays there.
  SetEvent(planted.Get());
  EXPECT_EQ(WaitForSingleObject(planted.Get(), 0), WAIT_OBJECT_0);
}

TEST(UpdateServiceMain, FailedHandlerRegistrationReportsNothingAndReturns) {
  FakeServiceManager manager(true, ERROR_INVALID_NAME);
  ServiceMain(0, nullptr);
  EXPECT_TRUE(manager.Reports().empty());
  // Nothing was prepared: the push event name is free again.
  KernelHandle push(CreateEventA(nullptr, FALSE, FALSE, ClientIdentity::MsiPushEventName));
  ASSERT_TRUE(push);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

// A user may fill the drop folder with announcements, or with removal markers, which every pass
// clears first.
class FullDropFolder : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(FullDropFolder, HoldsNeitherTheStartNorTheStop) {
  test::AnnouncementFlood flood(5000, GetParam());
  ASSERT_EQ(flood.Created(), 5000);

  FakeServiceManager manager;
  ULONGLONG started = GetTickCount64();
  ServiceMainRun run(ServiceMain);
  ASSERT_TRUE(run.Started());
  StatusReport running = manager.WaitForState(SERVICE_RUNNING, 120000);
  ASSERT_EQ(running.state, static_cast<DWORD>(SERVICE_RUNNING)) << "never running";
  printf("RUNNING after %llu ms, %d of 5000 taken by then\n", running.atMs - started, 5000 - flood.Waiting());
  // The first pass yields to RUNNING after two seconds, whatever the folder holds (a whole pass
  // over it takes from half a minute to two minutes here).
  EXPECT_LT(running.atMs - started, 10000u);

  // What the first pass left is taken up at once, not with the next push or a minute later.
  int waitingAtRunning = flood.Waiting();
  ASSERT_GT(waitingAtRunning, 0) << "the first pass took everything; nothing shows the yield";
  ULONGLONG resumeStart = GetTickCount64();
  while (flood.Waiting() == waitingAtRunning && GetTickCount64() - resumeStart < 20000) Sleep(50);
  EXPECT_LT(flood.Waiting(), waitingAtRunning) << "no pass after RUNNING within 20 s";

  // A stop in RUNNING is served before the next package or marker.
  ULONGLONG stopAt = GetTickCount64();
  EXPECT_EQ(manager.Control(SERVICE_CONTROL_STOP), 0u);
  ASSERT_TRUE(run.WaitForEnd(60000)) << "the service main did not end after the stop";
  StatusReport stopped = manager.WaitForState(SERVICE_STOPPED, 0);
  printf("STOPPED %llu ms after the stop control, %d still waiting\n", stopped.atMs - stopAt, flood.Waiting());
  EXPECT_LT(stopped.atMs - stopAt, 10000u);
  EXPECT_GT(flood.Waiting(), 0) << "the pass did not stop for the stop control";

  // Every state once, in order, each with its own check point, and no failure.
  std::vector<StatusReport> reports = manager.Reports();
  std::vector<DWORD> states;
  for (const StatusReport& report : reports) {
    states.push_back(report.state);
    EXPECT_EQ(report.exitCode, 0u);
    EXPECT_EQ(report.checkPoint, states.size());
  }
  EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}));
}

INSTANTIATE_TEST_SUITE_P(UpdateServiceMain, FullDropFolder, ::testing::Values(L".pending", L".removepending"),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                           return std::string(info.param[1] == L'p' ? "Announcements" : "RemovalMarkers");
                         });

}  // namespace
