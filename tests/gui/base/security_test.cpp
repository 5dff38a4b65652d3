// Object protection and integrity labels, read back where Wine keeps what was set.
#include "handles.h"
#include "security.h"
#include "testsupport.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!sid || !::ConvertSidToStringSidA(sid, &text)) return "?";
  std::string s = text;
  ::LocalFree(text);
  return s;
}

std::string ProcessUser() {
  KernelHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return "?";
  alignas(TOKEN_USER) BYTE buffer[512];
  DWORD size = 0;
  if (!::GetTokenInformation(token.Get(), TokenUser, buffer, sizeof buffer, &size)) return "?";
  return SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

struct Ace {
  BYTE type, flags;
  DWORD mask;
  std::string sid;
  bool operator==(const Ace&) const = default;
};
void PrintTo(const Ace& a, std::ostream* os) {
  *os << "{type " << int(a.type) << ", flags " << int(a.flags) << ", mask 0x" << std::hex << a.mask << std::dec
      << ", " << a.sid << "}";
}

struct ReadBack {
  bool ok = false;
  std::string owner, group;
  std::vector<Ace> aces;
};

ReadBack ReadSecurity(HANDLE object) {
  ReadBack r;
  PSID owner = nullptr, group = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  DWORD rc = ::GetSecurityInfo(object, SE_KERNEL_OBJECT,
                               OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                               &owner, &group, &dacl, nullptr, &raw);
  if (rc != ERROR_SUCCESS) return r;
  LocalMemory descriptor(raw);
  r.ok = true;
  r.owner = SidText(owner);
  r.group = SidText(group);
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
    r.aces.push_back(Ace{ace->Header.AceType, ace->Header.AceFlags, ace->Mask,
                         SidText(reinterpret_cast<PSID>(&ace->SidStart))});
  }
  return r;
}

// Kernel objects of the kinds the library protects.
KernelHandle MakeObject(const std::string& kind) {
  if (kind == "event") return KernelHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  return KernelHandle(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
}

constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

struct ProtectCase {
  const char* kind;
  bool inheritable, wellKnownGroups;
  // Expected entries in order; "USER" stands for the process user.
  std::vector<std::pair<const char*, DWORD>> entries;
};

TEST(ProtectObjectForUsers, KernelObjectsGetOwnerGroupAndEntriesInOrder) {
  const ProtectCase cases[] = {
      {"event", false, true, {{"USER", 0x1FFFFF}, {"S-1-5-18", 0x1FFFFF}, {"S-1-5-32-544", 0x1FFFFF}, {"S-1-1-0", 0x1301BF}}},
      {"mapping", false, true, {{"USER", 0x1FFFFF}, {"S-1-5-18", 0x1FFFFF}, {"S-1-5-32-544", 0x1FFFFF}, {"S-1-1-0", 0x1301BF}}},
      {"event", true, true, {{"USER", 0x1FFFFF}, {"S-1-5-18", 0x1FFFFF}, {"S-1-5-32-544", 0x1FFFFF}, {"S-1-1-0", 0x1301BF}}},
      {"event", false, false, {{"USER", 0x1FFFFF}}},
      {"mapping", true, false, {{"USER", 0x1FFFFF}}},
  };
  const std::string user = ProcessUser();
  ASSERT_NE(user, "?");
  for (const ProtectCase& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + (c.inheritable ? " inheritable" : "") + (c.wellKnownGroups ? " groups" : ""));
    KernelHandle object = MakeObject(c.kind);
    ASSERT_TRUE(object);
    ASSERT_TRUE(ProtectObjectForUsers(object.Get(), Str(), c.inheritable, c.wellKnownGroups)) << ::GetLastError();
    ReadBack r = ReadSecurity(object.Get());
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.owner, user);
    EXPECT_EQ(r.group, user);
    std::vector<Ace> expected;
    for (const auto& [sid, mask] : c.entries) {
      expected.push_back(Ace{ACCESS_ALLOWED_ACE_TYPE, BYTE(c.inheritable ? kInherit : 0), mask,
                             std::string(sid) == "USER" ? user : sid});
    }
    EXPECT_EQ(r.aces, expected);
  }
}

// A thread that impersonates its own process user: one user entry only. (Impersonating a
// different user needs a second account, which the Wine prefix does not have: its LogonUser
// gives no token of another SID, so the "thread user first, process user second" case is not
// asserted here.)
TEST(ProtectObjectForUsers, ThreadUserEqualToProcessUserGivesOneUserEntry) {
  const std::string user = ProcessUser();
  KernelHandle object = MakeObject("event");
  ASSERT_TRUE(object);
  ASSERT_TRUE(::ImpersonateSelf(SecurityImpersonation)) << ::GetLastError();
  bool protectedOk = ProtectObjectForUsers(object.Get(), Str(), false, true);
  DWORD error = ::GetLastError();
  ::RevertToSelf();
  ASSERT_TRUE(protectedOk) << error;
  ReadBack r = ReadSecurity(object.Get());
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.owner, user);
  ASSERT_EQ(r.aces.size(), 4u);
  EXPECT_EQ(r.aces[0].sid, user);
  EXPECT_EQ(r.aces[1].sid, "S-1-5-18");
}

TEST(ProtectObjectForUsers, BadTargetsFailWithTheirError) {
  SetLastError(0);
  EXPECT_FALSE(ProtectObjectForUsers(nullptr, Str(), false, true));
  EXPECT_EQ(::GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

  // A handle without WRITE_DAC/WRITE_OWNER: the change is refused, and reported as a failure.
  KernelHandle full(::CreateEventW(nullptr, TRUE, FALSE, L"Local\\tracesec-protect-readonly"));
  ASSERT_TRUE(full);
  KernelHandle weak(::OpenEventW(SYNCHRONIZE, FALSE, L"Local\\tracesec-protect-readonly"));
  ASSERT_TRUE(weak);
  EXPECT_FALSE(ProtectObjectForUsers(weak.Get(), Str(), false, false));
  EXPECT_EQ(::GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

// Files: Wine emulates file DACLs with Unix mode bits and ignores owner and group (it keeps
// none of what SetFileSecurityW sets), so only the answer is asserted; on Windows the same
// descriptor as on kernel objects is read back.
TEST(ProtectObjectForUsers, FilesAndFoldersAnswerTrue) {
  test::TempDir dir;
  std::wstring file = dir.Join(L"protected.txt");
  ASSERT_TRUE(test::WriteFileBytes(file, "x"));
  Str filePath(test::Narrow(file).c_str());
  Str folderPath(test::Narrow(dir.Path()).c_str());
  EXPECT_TRUE(ProtectObjectForUsers(nullptr, filePath, false, true)) << ::GetLastError();
  EXPECT_TRUE(ProtectObjectForUsers(nullptr, folderPath, true, true)) << ::GetLastError();
  EXPECT_TRUE(ProtectObjectForUsers(nullptr, filePath, false, false)) << ::GetLastError();
}

TEST(SetIntegrityLabel, LevelsOnKernelObjects) {
  // Wine accepts the label on events and mappings but keeps no SACL, so the label itself
  // cannot be read back; the answer for every level is asserted.
  for (uint32_t level = IntegrityLow; level <= IntegritySystem; ++level) {
    SCOPED_TRACE(level);
    KernelHandle object = MakeObject(level % 2 ? "event" : "mapping");
    ASSERT_TRUE(object);
    bool labelled = SetIntegrityLabel(object.Get(), Str(), level);
    if (level == IntegrityMediumPlus && !labelled) {
      // Wine's SDDL parser does not know the alias "MP" (medium plus) and answers
      // ERROR_INVALID_ACL; Windows converts it to S-1-16-8448.
      EXPECT_EQ(::GetLastError(), DWORD(ERROR_INVALID_ACL));
      continue;
    }
    EXPECT_TRUE(labelled) << ::GetLastError();
  }
}

TEST(SetIntegrityLabel, BadArgumentsAreRefused) {
  KernelHandle object = MakeObject("event");
  const struct {
    HANDLE object;
    uint32_t level;
  } cases[] = {{object.Get(), 5}, {object.Get(), 0xFFFFFFFFu}, {nullptr, IntegrityLow}};
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(SetIntegrityLabel(c.object, Str(), c.level));
    EXPECT_EQ(::GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  }
}

// On Windows a file takes the label (true). Wine refuses labels on files with
// ERROR_ACCESS_DENIED, also with SeSecurityPrivilege; either answer must come with its error.
TEST(SetIntegrityLabel, FileAnswersTrueOrAccessDenied) {
  test::TempDir dir;
  std::wstring file = dir.Join(L"labelled.txt");
  ASSERT_TRUE(test::WriteFileBytes(file, "x"));
  bool labelled = SetIntegrityLabel(nullptr, Str(test::Narrow(file).c_str()), IntegrityLow);
  if (!labelled) {
    EXPECT_EQ(::GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  }
  // Protection goes on when the label fails.
  EXPECT_TRUE(ProtectObjectForUsers(nullptr, Str(test::Narrow(file).c_str()), false, true));
}

}  // namespace
