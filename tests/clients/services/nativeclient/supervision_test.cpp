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
  ExpectTrayStartedUnlessElevated();
  ncltest::EndPartnerProcesses();
  EXPECT_TRUE(StopStopped());
}

}  // namespace
