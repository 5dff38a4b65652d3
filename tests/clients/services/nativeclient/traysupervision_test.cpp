// The service's tray supervision: its periodic step run in this process with the elevation check
// answered "not elevated", and the start under the service manager. The interactive marker, the
// client registry keys and the services' desktop are shared with the native service's other
// tests, hence the lock.
// ctest-property: RESOURCE_LOCK native-service
// ctest-property: TIMEOUT 300
#include "nclharness.h"
#include "nclservice.h"
#include "trayhelpers.h"

#include <string>

namespace {

using ncltest::NativeServiceTest;
using traytest::ExpectStartedOnce;
using traytest::TrayLog;

class SupervisionStep : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ncltest::UseServiceDesktop()) << GetLastError();
    ncltest::EndPartnerProcesses();
    ncltest::DeleteClientKeys();
    tray_ = dir_.Join(L"tray.exe");
    // The tray opens the services' desktop itself: this process moved there only after it started.
    ASSERT_TRUE(traytest::PlaceTray(tray_, true));
    ASSERT_TRUE(ncltest::WriteCompanyText(L"VennacorCloudUI", L"Path", tray_));
  }
  void TearDown() override {
    SetElevationCheck(nullptr);
    ncltest::EndPartnerProcesses();
    ncltest::DeleteClientKeys();
  }
  test::TempDir dir_;
  std::wstring tray_;
};

// While the interactive marker exists the tray is left alone; without it the step starts the
// tray once and then finds it running.
TEST_F(SupervisionStep, StartsTheTrayOnlyWithoutTheInteractiveMarker) {
  traytest::ElevationAnswer answer(traytest::NotElevated);
  ServiceContext context;
  InitServiceStatus(context);
  {
    KernelHandle marker(
        CreateEventW(nullptr, TRUE, FALSE, GlobalEventName(ClientIdentity::InteractiveEventName).c_str()));
    ASSERT_TRUE(marker);
    SuperviseTrayAfterQuietPeriod(context);
    EXPECT_TRUE(TrayLog(tray_).empty()) << "started while an interactive client had announced itself";
  }
  SuperviseTrayAfterQuietPeriod(context);
  ExpectStartedOnce(tray_);
  SuperviseTrayAfterQuietPeriod(context);
  ExpectStartedOnce(tray_);
}

// Under the service manager the start is the service's own, with its own token. On Windows
// LocalSystem's token is not a split one, and the tray window appears.
TEST_F(NativeServiceTest, StartsTheTrayUnderTheServiceManager) {
  ASSERT_TRUE(Register());
  ASSERT_TRUE(StartRunning());
  EXPECT_TRUE(WaitForLog("partner window of class [TARSAUIPU] not found", 10000)) << LogSinceStart();
  if (test::RunningOnWine() && ncltest::IsTokenElevated(service_->ProcessId())) {
    // What Wine shows instead: the refusal, and no tray.
    EXPECT_TRUE(WaitForLog(" runs elevated.|", 10000)) << LogSinceStart();
    EXPECT_TRUE(StopStopped(10000));
    EXPECT_TRUE(TrayLog().empty()) << TrayLog();
    GTEST_SKIP() << "Wine starts every process, services included, with a full administrator token "
                    "(elevation type 2) and every child with it, so the service refuses to start the "
                    "tray here; the start itself is shown with the elevation check answered "
                    "(SupervisionStep and traystart_test)";
  }
  EXPECT_TRUE(WaitForWindow(L"TARSAUIPU", nullptr, true, 10000));
  EXPECT_NE(TrayLog().find("started"), std::string::npos) << TrayLog();
  ncltest::EndPartnerProcesses();
  EXPECT_TRUE(StopStopped(10000));
}

}  // namespace
