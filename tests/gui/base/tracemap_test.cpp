// The section of the shared prefix word: a new one is made for all users; one that existed
// before is used only when its owner is LocalSystem, Administrators or this process's user.
// The sections here have names of their own: "ZevTraceMap" itself is already held by this
// process (and perhaps by services), so it cannot be planted by a test.
#include "handles.h"
// The section code is private to the library; the test reaches its header directly.
#include "../../../gui/base/source/traceinternal.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

namespace {

std::wstring UniqueName(const wchar_t* what) {
  static int s_serial = 0;
  return L"TraceMapTest-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++s_serial) + L"-" + what;
}

std::string ProcessUserSid() {
  KernelHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return "";
  alignas(TOKEN_USER) BYTE buffer[256];
  DWORD size = 0;
  if (!::GetTokenInformation(token.Get(), TokenUser, buffer, sizeof buffer, &size)) return "";
  char* text = nullptr;
  if (!::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return "";
  std::string sid = text;
  ::LocalFree(text);
  return sid;
}

void EnablePrivilege(const wchar_t* name) {
  KernelHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.Receive())) return;
  TOKEN_PRIVILEGES privileges{1, {}};
  if (!::LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) return;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  ::AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr);
}

// Another process's section of that name, with this owner, open to everyone, holding `word`.
KernelHandle PlantSection(const std::wstring& name, const std::string& owner, uint32_t word) {
  std::string sddl = "O:" + owner + "D:(A;;GA;;;WD)";
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &raw, nullptr))
    return KernelHandle();
  LocalMemory descriptor(raw);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, raw, FALSE};
  KernelHandle section(
      ::CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, sizeof(uint32_t), name.c_str()));
  if (!section) return section;
  MappedView view(::MapViewOfFile(section.Get(), FILE_MAP_WRITE, 0, 0, sizeof(uint32_t)));
  if (view) *static_cast<uint32_t*>(view.Get()) = word;
  return section;
}

std::string OwnerOf(const std::wstring& name) {
  KernelHandle section(::OpenFileMappingW(READ_CONTROL, FALSE, name.c_str()));
  PSECURITY_DESCRIPTOR raw = nullptr;
  PSID owner = nullptr;
  if (!section || ::GetSecurityInfo(section.Get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                    nullptr, nullptr, &raw) != ERROR_SUCCESS)
    return "";
  LocalMemory descriptor(raw);
  char* text = nullptr;
  if (!owner || !::ConvertSidToStringSidA(owner, &text)) return "";
  std::string sid = text;
  ::LocalFree(text);
  return sid;
}

TEST(TraceMapSection, ExistingSectionIsUsedOnlyWhenATrustedAccountOwnsIt) {
  // Windows lets a process name another account as owner only with SeRestorePrivilege.
  EnablePrivilege(SE_RESTORE_NAME);
  const std::string self = ProcessUserSid();
  ASSERT_FALSE(self.empty());
  const struct {
    const char* what;
    std::string owner;
    bool used;
  } cases[] = {
      {"LocalSystem", "SY", true},
      {"Administrators", "BA", true},
      {"this process's user", self, true},
      {"another account", "S-1-5-21-1000-2000-3000-1001", false},
      {"the anonymous logon", "AN", false},
      {"Everyone", "WD", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring name = UniqueName(L"planted");
    KernelHandle planted = PlantSection(name, c.owner, 0x27);
    if (!planted && ::GetLastError() == ERROR_INVALID_OWNER) {
      GTEST_SKIP() << "this account may not make a section owned by " << c.what
                   << " (SeRestorePrivilege is not held), so no planted section can be shown";
    }
    ASSERT_TRUE(planted) << ::GetLastError();
    uint32_t* word = OpenTracePrefixSection(name.c_str());
    if (c.used) {
      ASSERT_NE(word, nullptr);
      EXPECT_EQ(*word, 0x27u) << "the existing section is shared, not made again";
    } else {
      EXPECT_EQ(word, nullptr) << "a section another account made first must not be used";
    }
  }
}

TEST(TraceMapSection, NewSectionHoldsTheDefaultWordAndBelongsToThisUser) {
  const std::wstring name = UniqueName(L"new");
  uint32_t* word = OpenTracePrefixSection(name.c_str());
  ASSERT_NE(word, nullptr);
  EXPECT_EQ(*word, TracePrefixDefault);
  EXPECT_EQ(OwnerOf(name), ProcessUserSid());
  // A second opening in this process finds its own section and uses it.
  uint32_t* again = OpenTracePrefixSection(name.c_str());
  ASSERT_NE(again, nullptr);
  *word = 0x1000;
  EXPECT_EQ(*again, 0x1000u);
}

}  // namespace
