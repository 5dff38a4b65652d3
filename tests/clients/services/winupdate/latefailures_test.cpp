// What happens after a package has been copied into the update folder: the second check on the
// copy and the start of the installer can still fail (codes 2, 3 and 1), which real packages
// cannot be made to do here, so the pass is given checks and a launcher that fail on purpose.
// Also the copy itself: its protection, and the temporary files of copies that failed or whose
// service ended while copying.
// ctest-property: RESOURCE_LOCK update-service
// ctest-property: FIXTURES_REQUIRED trusted-test-root
// ctest-property: TIMEOUT 300
#include "directories.h"
#include "files.h"
#include "packagefiles.h"
#include "paths.h"
#include "registry.h"
#include "servicestep.h"
#include "signercheck.h"
#include "heldfolders.h"
#include "testsupport.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char kSetupsKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vennacor\\WebClient\\Setups\\Cloud";

std::wstring FixturePath(const wchar_t* name) { return test::BinDir() + L"\\..\\fixtures\\" + name; }
std::wstring Wide(const Str& s) { return test::Widen(s.c_str()); }
std::wstring InDrop(const std::wstring& name) { return Wide(DropFolderPath()) + L"\\" + name; }
std::wstring InUpdate(const std::wstring& name) { return Wide(UpdateFolderPath()) + L"\\" + name; }
bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
std::string Record() { return ReadRegistryText(Str(kSetupsKey), Str(), Str("UpdateInstaller"), Str()).c_str(); }

using test::RunningOnWine;

void EmptyFolder(const Str& folder) { test::EmptyHeldFolder(folder); }

std::vector<std::string> NamesEndingIn(const Str& folder, const std::string& suffix) {
  std::vector<std::string> names;
  HeldFolder held;
  PathList all;
  if (!held.Open(folder) || !held.ListFileNames(&all)) return names;
  for (uint32_t i = 0; i < all.Length(); ++i) {
    std::string name = all[i].c_str();
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      names.push_back(name);
  }
  return names;
}

// The checks fail only on the copy in the update folder: the dropped package passes its first
// check as a real one would.
bool InUpdateFolder(const Str& path) { return !PathBelow(path, UpdateFolderPath()).IsEmpty(); }
bool TrustOnlyTheDroppedFile(const wchar_t* path) {
  return !InUpdateFolder(Str::FromUtf16(path)) && VerifyFileTrust(path);
}
bool SignerOnlyOfTheDroppedFile(const Str& path) { return !InUpdateFolder(path) && CheckInstallerSigner(path); }

// The launcher: records what it was asked to start and answers as told, starting nothing.
Str s_application, s_commandLine;
bool s_startSucceeds = false;
bool PretendToStart(const Str& application, const Str& commandLine) {
  s_application = application;
  s_commandLine = commandLine;
  return s_startSucceeds;
}

// The pass's real checks, and a launcher that answers "started".
void PretendTheInstallerStarts() {
  s_startSucceeds = true;
  UpdatePassChecks checks;
  checks.startInstaller = PretendToStart;
  SetUpdatePassChecks(checks);
}

class LateFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Exists(FixturePath(L"testroot.cer"))) GTEST_SKIP() << "signing fixtures were not made";
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Vennacor\\NativeClient\\Cloud");
    MakeDirectory(DropFolderPath(), true);
    MakeDirectory(UpdateFolderPath(), true);
    EmptyFolder(DropFolderPath());
    EmptyFolder(UpdateFolderPath());
    s_application = Str();
    s_commandLine = Str();
    s_startSucceeds = false;
  }
  void TearDown() override {
    SetUpdatePassChecks(UpdatePassChecks());
    EmptyFolder(DropFolderPath());
    EmptyFolder(UpdateFolderPath());
    RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vennacor\\WebClient\\Setups\\Cloud", 0, KEY_SET_VALUE,
                      key.Receive()) == ERROR_SUCCESS)
      RegDeleteValueW(key.Get(), L"UpdateInstaller");
  }
  static void Drop(const std::wstring& name) {
    ASSERT_TRUE(CopyFileW(FixturePath(L"signed-organisation.msi").c_str(), InDrop(name + L".msi").c_str(), FALSE));
    ASSERT_TRUE(test::WriteFileBytes(InDrop(name + L".pending"), ""));
  }
  static std::string ResultOf(const std::wstring& name) {
    std::string line;
    test::ReadFileBytes(InUpdate(name + L".result"), &line);
    return line;
  }
};

// Each late failure gets its result line, the copy goes, and the record names no removed file:
// neither the copy (it is recorded only once both checks passed) nor an earlier package of the
// same name that the copy had replaced before it failed.
TEST_F(LateFailure, EachIsAnsweredAndLeavesNoCopyAndNoRecordOfARemovedFile) {
  struct Case {
    const char* name;
    UpdatePassChecks checks;
    ResultCode code;
  } cases[] = {
      {"untrusted-copy", {TrustOnlyTheDroppedFile, nullptr, nullptr}, ResultMovedUntrusted},
      {"foreign-copy", {nullptr, SignerOnlyOfTheDroppedFile, nullptr}, ResultMovedSignerFailed},
      {"not-started", {nullptr, nullptr, PretendToStart}, ResultNotStarted},
  };
  for (const Case& c : cases) {
    for (bool replacesAnEarlierPackage : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (replacesAnEarlierPackage ? ", replacing an earlier package" : ""));
      const std::wstring name = test::Widen(c.name);
      // The record names what the installer got last: another package, or the earlier one of
      // this name, which the new copy replaces.
      const std::wstring recorded = replacesAnEarlierPackage ? InUpdate(name + L".msi") : InUpdate(L"earlier.msi");
      ASSERT_TRUE(test::WriteFileBytes(recorded, "an earlier package"));
      ASSERT_TRUE(WriteRegistryText(Str(kSetupsKey), Str(), Str("UpdateInstaller"), Str(test::Narrow(recorded).c_str())));
      Drop(name);
      SetUpdatePassChecks(c.checks);
      ASSERT_TRUE(UpdateStep());
      SetUpdatePassChecks(UpdatePassChecks());

      std::string line = ResultOf(name);
      ASSERT_GT(line.size(), 3u);
      EXPECT_EQ(line.substr(0, 2), "0|") << line;
      EXPECT_EQ(line.substr(line.size() - 3), ": " + std::to_string(c.code)) << line;
      EXPECT_FALSE(Exists(InUpdate(name + L".msi")));
      EXPECT_FALSE(Exists(InDrop(name + L".msi")));
      EXPECT_FALSE(Exists(InDrop(name + L".pending")));
      std::string record = Record();
      EXPECT_TRUE(record.empty() || Exists(test::Widen(record))) << "the record names a removed file: " << record;
      if (!replacesAnEarlierPackage) {
        EXPECT_EQ(record, test::Narrow(recorded));
      }
      EmptyFolder(UpdateFolderPath());
    }
  }
}

// The launcher gets the installer as the program to run and the command line of the design:
// the quoted installer, " /qn /i ", the quoted copy, " AUTOUPDATE=1". Started, the copy stays
// and is recorded.
TEST_F(LateFailure, TheStartedInstallerIsTheSystemOneWithTheCopy) {
  PretendTheInstallerStarts();
  Drop(L"started");
  ASSERT_TRUE(UpdateStep());
  EXPECT_EQ(ResultOf(L"started").substr(0, 2), "1|");
  const std::string installer = test::Narrow(Wide(GetDirectory(DirectorySystem))) + "\\msiexec.exe";
  const std::string copy = test::Narrow(InUpdate(L"started.msi"));
  EXPECT_EQ(_stricmp(s_application.c_str(), installer.c_str()), 0) << s_application.c_str();
  EXPECT_EQ(std::string(s_commandLine.c_str()),
            "\"" + std::string(s_application.c_str()) + "\" /qn /i \"" + copy + "\" AUTOUPDATE=1");
  EXPECT_TRUE(Exists(InUpdate(L"started.msi")));
  EXPECT_EQ(Record(), copy);
}

std::string SddlOf(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION what) {
  char* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, what, &text, nullptr))
    return "?";
  LocalMemory owned(text);
  return text;
}

// The copy is the service's own file: owner and group Administrators, and a DACL of nothing but
// what the update folder gives it. Wine keeps no file owners (every file reads as the Wine
// user's, whatever was set) and keeps a DACL only as Unix mode bits: what it shows is that the
// copy is open to nobody but its owner and SYSTEM, where the dropped file was readable by
// Everyone (the mode bits of a new file).
TEST_F(LateFailure, TheCopyIsOwnedByAdministratorsAndCarriesOnlyWhatItInherits) {
  PretendTheInstallerStarts();
  Drop(L"secured");
  const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                    DACL_SECURITY_INFORMATION;
  PSECURITY_DESCRIPTOR dropped = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(InDrop(L"secured.msi").c_str(), SE_FILE_OBJECT, what, nullptr, nullptr, nullptr,
                                  nullptr, &dropped),
            static_cast<DWORD>(ERROR_SUCCESS));
  LocalMemory droppedMemory(dropped);
  ASSERT_TRUE(UpdateStep());
  ASSERT_EQ(ResultOf(L"secured").substr(0, 2), "1|");

  PSECURITY_DESCRIPTOR copy = nullptr;
  PSID owner = nullptr, group = nullptr;
  PACL dacl = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(InUpdate(L"secured.msi").c_str(), SE_FILE_OBJECT, what, &owner, &group, &dacl,
                                  nullptr, &copy),
            static_cast<DWORD>(ERROR_SUCCESS));
  LocalMemory copyMemory(copy);
  const std::string text = SddlOf(copy, what);
  if (RunningOnWine()) {
    EXPECT_NE(SddlOf(dropped, DACL_SECURITY_INFORMATION).find(";;;WD)"), std::string::npos)
        << SddlOf(dropped, DACL_SECURITY_INFORMATION);
    EXPECT_EQ(text.find(";;;WD)"), std::string::npos) << text;
    EXPECT_NE(text.find("(A;;FA;;;SY)"), std::string::npos) << text;
    return;
  }
  EXPECT_TRUE(IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) << text;
  EXPECT_TRUE(IsWellKnownSid(group, WinBuiltinAdministratorsSid)) << text;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(copy, &control, &revision));
  EXPECT_FALSE(control & SE_DACL_PROTECTED) << text;
  ASSERT_TRUE(dacl);
  EXPECT_GT(dacl->AceCount, 0u) << text;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    EXPECT_TRUE(ace->AceFlags & INHERITED_ACE) << "an entry of its own: " << text;
  }
}

// A copy that cannot get its name (the older package of that name is held open without delete
// sharing) is deleted at once; temporary copies left by a service that ended while it copied are
// removed by the next pass, except one that a copier still holds.
TEST_F(LateFailure, NoTemporaryCopyOutlivesItsCopier) {
  ASSERT_TRUE(test::WriteFileBytes(InUpdate(L"held.msi"), "an older package"));
  {
    FileHandle older(CreateFileW(InUpdate(L"held.msi").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(older);
    Drop(L"held");
    ASSERT_TRUE(UpdateStep());
    EXPECT_EQ(ResultOf(L"held").substr(ResultOf(L"held").size() - 3), ": 4");
    EXPECT_TRUE(NamesEndingIn(UpdateFolderPath(), ".copying").empty());
  }
  ASSERT_TRUE(test::WriteFileBytes(InUpdate(L"stale.msi.4242-77.copying"), "half a package"));
  ASSERT_TRUE(test::WriteFileBytes(InUpdate(L"busy.msi.4243-78.copying"), "a package being copied"));
  {
    FileHandle copier(CreateFileW(InUpdate(L"busy.msi.4243-78.copying").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(copier);
    ASSERT_TRUE(UpdateStep());
    EXPECT_EQ(NamesEndingIn(UpdateFolderPath(), ".copying"), (std::vector<std::string>{"busy.msi.4243-78.copying"}));
  }
  ASSERT_TRUE(UpdateStep());
  EXPECT_TRUE(NamesEndingIn(UpdateFolderPath(), ".copying").empty());
}

}  // namespace
