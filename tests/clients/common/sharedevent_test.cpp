// The per-account event names and the events made under them. Each test uses a base name of
// its own, so the service's real events are never touched.
#include "handles.h"
#include "sharedevent.h"
#include "testsupport.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring OwnSidText() {
  KernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return {};
  BYTE buffer[256];
  DWORD size = 0;
  if (!GetTokenInformation(token.Get(), TokenUser, buffer, sizeof buffer, &size)) return {};
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return {};
  std::wstring sid = text;
  LocalFree(text);
  return sid;
}

std::string UniqueBase(const char* what) {
  return std::string("com.vennacor.test.") + what + "." + std::to_string(GetCurrentProcessId());
}

TEST(GlobalEventName, IsGlobalBaseDotAccountSid) {
  std::wstring sid = OwnSidText();
  ASSERT_FALSE(sid.empty());
  EXPECT_EQ(GlobalEventName("com.vennacor.nclservice.shutdown"), (L"Global\\com.vennacor.nclservice.shutdown." + sid).c_str());
  EXPECT_EQ(GlobalEventName("com.vennacor.nclservice.stopped"), (L"Global\\com.vennacor.nclservice.stopped." + sid).c_str());
}

TEST(CreateSharedEvent, SecondCreateOfTheNameGivesNoEvent) {
  std::string base = UniqueBase("twice");
  bool existed = true;
  KernelHandle first(CreateSharedEvent(base.c_str(), false, false, &existed));
  ASSERT_TRUE(first) << GetLastError();
  EXPECT_FALSE(existed);

  KernelHandle second(CreateSharedEvent(base.c_str(), false, false, &existed));
  EXPECT_FALSE(second);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(existed);
  // The optional flag may be left out.
  KernelHandle third(CreateSharedEvent(base.c_str(), false, false));
  EXPECT_FALSE(third);
}

TEST(CreateSharedEvent, EveryoneGetsFullAccessByTheFullName) {
  std::string base = UniqueBase("dacl");
  KernelHandle event(CreateSharedEvent(base.c_str(), false, false));
  ASSERT_TRUE(event);

  PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(event.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                            &rawDescriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  LocalMemory descriptor(rawDescriptor);
  char* sddl = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(rawDescriptor, SDDL_REVISION_1,
                                                                   DACL_SECURITY_INFORMATION, &sddl, nullptr));
  LocalMemory sddlOwner(sddl);
  EXPECT_STREQ(sddl, "D:(A;;0x1fffff;;;WD)");

  // Another process of the account reaches it by the per-account name and can signal it.
  WStr name = GlobalEventName(base.c_str());
  KernelHandle opened(OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str()));
  ASSERT_TRUE(opened) << GetLastError();
  ASSERT_TRUE(SetEvent(opened.Get()));
  EXPECT_EQ(WaitForSingleObject(event.Get(), 0), WAIT_OBJECT_0);
  // Auto-reset: the wait consumed the signal.
  EXPECT_EQ(WaitForSingleObject(event.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(CreateSharedEvent, ManualResetAndInitialStateAreHonoured) {
  std::string base = UniqueBase("manual");
  KernelHandle event(CreateSharedEvent(base.c_str(), true, true));
  ASSERT_TRUE(event);
  EXPECT_EQ(WaitForSingleObject(event.Get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.Get(), 0), WAIT_OBJECT_0);
}

}  // namespace
