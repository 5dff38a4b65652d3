// The push event's name, kind and access rules, checked in-process.
// ctest-property: RESOURCE_LOCK update-service
#include "clientidentity.h"
#include "handles.h"
#include "pushevent.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

namespace {

using test::KernelObjectDaclText;

TEST(PushEvent, IsAnAutoResetEventThatEveryoneMayUse) {
  KernelHandle event(CreateMSIPushEvent());
  ASSERT_TRUE(event) << GetLastError();
  EXPECT_EQ(KernelObjectDaclText(event.Get()), "D:(A;;0x1fffff;;;WD)");

  KernelHandle opened(OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, ClientIdentity::MsiPushEventName));
  ASSERT_TRUE(opened);
  EXPECT_EQ(WaitForSingleObject(event.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "created signalled";
  // Five signals before the waiter wakes collapse into one wake-up.
  for (int i = 0; i < 5; ++i) SetEvent(opened.Get());
  EXPECT_EQ(WaitForSingleObject(event.Get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(PushEvent, ExistingNameIsNeverUsed) {
  KernelHandle first(CreateMSIPushEvent());
  ASSERT_TRUE(first);
  SetLastError(0);
  KernelHandle second(CreateMSIPushEvent());
  EXPECT_FALSE(second);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

}  // namespace
