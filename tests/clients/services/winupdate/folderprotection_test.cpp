// The protection of the drop and update folders and the warnings about a drop folder that an
// administrator should know of. Reports are read back from their debugger-output echo.
// ctest-property: RUN_SERIAL TRUE
// ctest-property: RESOURCE_LOCK update-service
#include "debugoutput.h"
#include "files.h"
#include "folderprotection.h"
#include "folderwarnings.h"
#include "handles.h"
#include "mountpoint.h"
#include "packagefiles.h"
#include "servicestep.h"
#include "testsupport.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using test::RunningOnWine;

struct ParsedSid {
  explicit ParsedSid(const char* text) { ::ConvertStringSidToSidA(text, &sid); }
  ~ParsedSid() { ::LocalFree(sid); }
  PSID sid = nullptr;
};

// What the entries of a DACL give `trustee` on the folder itself (`onFolder`) or on a file made
// in it (the entries it inherits).
DWORD AccessOf(PACL dacl, const char* trustee, bool onFolder) {
  ParsedSid sid(trustee);
  DWORD access = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    if (!::EqualSid(reinterpret_cast<PSID>(&ace->SidStart), sid.sid)) continue;
    const BYTE flags = ace->Header.AceFlags;
    const bool applies = onFolder ? !(flags & INHERIT_ONLY_ACE) : (flags & OBJECT_INHERIT_ACE) != 0;
    if (applies) access |= ace->Mask;
  }
  // The generic "file all" of the texts, as the file system maps it.
  if (access & GENERIC_ALL) access = (access & ~GENERIC_ALL) | FILE_ALL_ACCESS;
  return access;
}

// The access bits behind each promise the folder texts make.
TEST(FolderProtection, GivesEachAccountWhatItNeedsAndNoMore) {
  constexpr DWORD kFolderChanges = DELETE | WRITE_DAC | WRITE_OWNER | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA |
                                   FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD;
  constexpr DWORD kFileWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | DELETE |
                                WRITE_DAC | WRITE_OWNER;
  const struct {
    const char* what;
    const char* security;
    const char* trustee;
    bool onFolder;
    DWORD mustHave;
    DWORD mustNotHave;
  } cases[] = {
      {"drop folder: SYSTEM", kDropFolderSecurity, "SY", true, FILE_ALL_ACCESS, 0},
      {"drop folder: Administrators", kDropFolderSecurity, "BA", true, FILE_ALL_ACCESS, 0},
      {"drop files: SYSTEM", kDropFolderSecurity, "SY", false, FILE_ALL_ACCESS, 0},
      {"drop folder: Users list, add files, read", kDropFolderSecurity, "BU", true,
       FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
       kFolderChanges},
      {"drop files: Users read the files of others", kDropFolderSecurity, "BU", false, FILE_GENERIC_READ, kFileWrites},
      {"drop files: the creator changes its own", kDropFolderSecurity, "CO", false,
       FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | DELETE, WRITE_DAC | WRITE_OWNER},
      {"drop folder: the creator gets nothing on the folder", kDropFolderSecurity, "CO", true, 0, ~0u},
      {"drop folder: Everyone gets nothing", kDropFolderSecurity, "WD", true, 0, ~0u},
      {"update folder: SYSTEM", kUpdateFolderSecurity, "SY", true, FILE_ALL_ACCESS, 0},
      {"update folder: Administrators", kUpdateFolderSecurity, "BA", true, FILE_ALL_ACCESS, 0},
      {"update folder: Users read", kUpdateFolderSecurity, "BU", true, FILE_LIST_DIRECTORY | FILE_TRAVERSE | READ_CONTROL,
       kFolderChanges | FILE_ADD_FILE},
      {"update files: Users read", kUpdateFolderSecurity, "BU", false, FILE_GENERIC_READ | FILE_EXECUTE, kFileWrites},
      {"update files: Administrators", kUpdateFolderSecurity, "BA", false, FILE_ALL_ACCESS, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(c.security, SDDL_REVISION_1, &descriptor,
                                                                       nullptr));
    LocalMemory owner(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the parent's entries would reach in";
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);
    const DWORD access = AccessOf(dacl, c.trustee, c.onFolder);
    EXPECT_EQ(access & c.mustHave, c.mustHave) << std::hex << access;
    EXPECT_EQ(access & c.mustNotHave, 0u) << std::hex << access;
  }
}

TEST(FolderOwner, OnlyTheSystemAdministratorsAndTheServicesOwnAccountAreTrusted) {
  KernelHandle token;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive()));
  alignas(TOKEN_USER) BYTE buffer[256];
  DWORD size = 0;
  ASSERT_TRUE(::GetTokenInformation(token.Get(), TokenUser, buffer, sizeof buffer, &size));
  EXPECT_TRUE(IsTrustedFolderOwner(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid));
  const struct {
    const char* sid;
    bool trusted;
  } cases[] = {
      {"S-1-5-18", true},            // LocalSystem
      {"S-1-5-32-544", true},        // Administrators
      {"S-1-5-32-545", false},       // Users
      {"S-1-1-0", false},            // Everyone
      {"S-1-5-11", false},           // Authenticated Users
      {"S-1-5-21-7-8-9-1001", false},  // some other account
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sid);
    ParsedSid sid(c.sid);
    ASSERT_TRUE(sid.sid);
    EXPECT_EQ(IsTrustedFolderOwner(sid.sid), c.trusted);
  }
  EXPECT_FALSE(IsTrustedFolderOwner(nullptr));
}

void EmptyDropFolder() {
  HeldFolder drop;
  PathList names;
  if (!drop.Open(DropFolderPath()) || !drop.ListFileNames(&names)) return;
  for (uint32_t i = 0; i < names.Length(); ++i) drop.DeleteEntry(names[i]);
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

class FolderWarnings : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(debugOutput_.IsListening());
    NoteDropFolderState(Str("C:\\Reset"), false, nullptr);
  }
  void TearDown() override { NoteDropFolderState(Str("C:\\Reset"), false, nullptr); }
  // The warnings this process wrote so far that contain `needle`.
  size_t Warnings(const std::string& needle) {
    ::Sleep(300);  // the echo of the last report arrives through another thread
    return Count(debugOutput_.TextOf(::GetCurrentProcessId()), needle);
  }
  test::DebugOutputListener debugOutput_;
};

TEST_F(FolderWarnings, AReparsePointIsReportedOnceWhenItBegins) {
  const Str folder("C:\\ProgramData\\vennacor.plugin");
  const std::string warning = "The drop folder [C:\\ProgramData\\vennacor.plugin] is not worked on: it is a reparse point";
  for (int pass = 0; pass < 3; ++pass) NoteDropFolderState(folder, true, nullptr);
  EXPECT_EQ(Warnings(warning), 1u);
  NoteDropFolderState(folder, false, nullptr);  // back to a plain folder: forgotten
  NoteDropFolderState(folder, true, nullptr);
  NoteDropFolderState(folder, true, nullptr);
  EXPECT_EQ(Warnings(warning), 2u);
}

TEST_F(FolderWarnings, AnUntrustedOwnerIsReportedOncePerOwner) {
  const Str folder("C:\\ProgramData\\vennacor.plugin");
  const std::string warning = "The drop folder [C:\\ProgramData\\vennacor.plugin] is owned by S-1-5-";
  ParsedSid users("S-1-5-32-545"), other("S-1-5-21-7-8-9-1001"), system("S-1-5-18");
  NoteDropFolderState(folder, false, users.sid);
  NoteDropFolderState(folder, false, users.sid);
  EXPECT_EQ(Warnings(warning), 1u);
  EXPECT_EQ(Warnings("is owned by S-1-5-32-545"), 1u);
  NoteDropFolderState(folder, false, other.sid);  // another owner: a new state
  EXPECT_EQ(Warnings(warning), 2u);
  NoteDropFolderState(folder, false, system.sid);  // a trusted owner ends it
  NoteDropFolderState(folder, false, system.sid);
  NoteDropFolderState(folder, false, other.sid);
  EXPECT_EQ(Warnings(warning), 3u);
  EXPECT_NE(debugOutput_.TextOf(::GetCurrentProcessId()).find("It is still worked on."), std::string::npos);
}

// End to end through the pass: a drop folder made a mount point is not worked on, and says so
// once, not on every pass.
TEST_F(FolderWarnings, APassOverADropFolderThatIsAMountPointWarnsOnceAndTouchesNothing) {
  if (RunningOnWine()) GTEST_SKIP() << "Wine 8 has no reparse points (no junctions or mount points can be made)";
  const std::wstring drop(WStr(DropFolderPath()).c_str());
  ASSERT_TRUE(MakeDirectory(DropFolderPath(), true));
  EmptyDropFolder();
  test::TempDir elsewhere;
  ASSERT_TRUE(test::WriteFileBytes(elsewhere.Join(L"precious.msi"), "someone else's file"));
  ASSERT_TRUE(test::WriteFileBytes(elsewhere.Join(L"precious.removepending"), ""));
  ASSERT_TRUE(test::WriteFileBytes(elsewhere.Join(L"precious.pending"), ""));
  ASSERT_TRUE(mountpoint::Make(drop, elsewhere.Path())) << ::GetLastError();
  EXPECT_TRUE(UpdateStep());
  EXPECT_TRUE(UpdateStep());
  EXPECT_TRUE(mountpoint::Remove(drop));
  EXPECT_EQ(Warnings("is not worked on: it is a reparse point"), 1u);
  EXPECT_NE(debugOutput_.TextOf(::GetCurrentProcessId()).find(test::Narrow(drop)), std::string::npos);
  EXPECT_TRUE(::GetFileAttributesW(elsewhere.Join(L"precious.msi").c_str()) != INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(::GetFileAttributesW(elsewhere.Join(L"precious.pending").c_str()) != INVALID_FILE_ATTRIBUTES);
}

// End to end through the pass, where the platform lets a test make the state: a drop folder
// owned by another account (an administrator test may give a folder away).
TEST_F(FolderWarnings, APassOverAForeignOwnedDropFolderWarnsOnceAndWorksOnIt) {
  const Str drop = DropFolderPath();
  const Str update = UpdateFolderPath();
  ASSERT_TRUE(MakeDirectory(drop, true));
  EmptyDropFolder();
  // Giving a file away needs the restore privilege.
  KernelHandle token;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Receive()));
  TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
  ASSERT_TRUE(::LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &privileges.Privileges[0].Luid));
  ::AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr);
  ParsedSid users("S-1-5-32-545");
  std::wstring widePath(WStr(drop).c_str());
  DWORD set = ::SetNamedSecurityInfoW(&widePath[0], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, users.sid, nullptr,
                                      nullptr, nullptr);
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR got = nullptr;
  ASSERT_EQ(::GetNamedSecurityInfoW(widePath.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                    nullptr, nullptr, &got),
            static_cast<DWORD>(ERROR_SUCCESS));
  LocalMemory gotMemory(got);
  if (!::EqualSid(owner, users.sid) && RunningOnWine())
    GTEST_SKIP() << "Wine 8 keeps no file owners: every file reads as owned by the Wine user, which is also the "
                    "service's own account (SetNamedSecurityInfoW answered " << set << ")";
  ASSERT_TRUE(::EqualSid(owner, users.sid)) << set;

  ASSERT_TRUE(test::WriteFileBytes(std::wstring(WStr(drop).c_str()) + L"\\owned.pending", ""));
  ASSERT_TRUE(UpdateStep());
  ASSERT_TRUE(UpdateStep());
  EXPECT_EQ(Warnings("is owned by S-1-5-32-545"), 1u);
  std::string result;
  EXPECT_TRUE(test::ReadFileBytes(std::wstring(WStr(update).c_str()) + L"\\owned.result", &result));
  ::DeleteFileW((std::wstring(WStr(update).c_str()) + L"\\owned.result").c_str());
  ParsedSid administrators("S-1-5-32-544");
  ::SetNamedSecurityInfoW(&widePath[0], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, administrators.sid, nullptr,
                          nullptr, nullptr);
}

}  // namespace
