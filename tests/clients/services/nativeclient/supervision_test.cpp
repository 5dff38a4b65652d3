// The once-a-minute supervision: while the interactive marker exists the tray is left alone;
// within about a minute after it goes, the service tries to start the tray again. This waits
// for the service's real 60-second period.
// ctest-property: RESOURCE_LOCK native-service
// ctest-property: TIMEOUT 300
#include "nclharness.h"

namespace {

using ncltest::NativeServiceTest;

TEST_F(NativeServiceTest, SupervisionStartsTheTrayAfterTheMarkerGoes) {
  KernelHandle marker(CreateEventW(nullptr, TRUE, FALSE, GlobalEventName(ClientIdentity::InteractiveEventName).c_str()));
  ASSERT_TRUE(marker);
  ASSERT_TRUE(Register());
  ASSERT_TRUE(StartRunning());
  EXPECT_TRUE(WaitForLog("NCLService: Interactive: 1", 10000));
  marker.Reset();

  ASSERT_TRUE(WaitForLog("partner window of class [TARSAUIPU] not found", 90000)) << LogSinceStart();
  if (ncltest::IsTokenElevated(service_->ProcessId())) {
    // Wine gives services a full administrator token, and a service that runs elevated never
    // starts the tray; on Windows (LocalSystem, no split token) the tray window appears.
    EXPECT_TRUE(WaitForLog(" runs elevated.|", 10000)) << LogSinceStart();
  } else {
    EXPECT_TRUE(WaitForWindow(L"TARSAUIPU", nullptr, true, 10000));
    EXPECT_NE(TrayLog().find("started"), std::string::npos);
  }
  ncltest::EndPartnerProcesses();
  EXPECT_TRUE(StopStopped());
}

}  // namespace
