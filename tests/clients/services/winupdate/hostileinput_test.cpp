// What an unprivileged user can put into the drop folder, or do to it during a pass, must not
// turn the LocalSystem update pass against the machine. Run in-process against the machine's
// real drop and update folders.
// ctest-property: RESOURCE_LOCK update-service
// ctest-property: FIXTURES_REQUIRED trusted-test-root
// ctest-property: TIMEOUT 600
#include "directories.h"
#include "files.h"
#include "folderprotection.h"
#include "packagefiles.h"
#include "paths.h"
#include "relativefiles.h"
#include "servicestep.h"
#include "heldfolders.h"
#include "testsupport.h"
#include "unixside.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using test::FixturePath;
std::wstring Wide(const Str& s) { return test::Widen(s.c_str()); }

Str DropFolder() { return DropFolderPath(); }
Str UpdateFolder() { return UpdateFolderPath(); }
std::wstring InDrop(const std::wstring& name) { return Wide(DropFolder()) + L"\\" + name; }
std::wstring InUpdate(const std::wstring& name) { return Wide(UpdateFolder()) + L"\\" + name; }
bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
std::string ResultOf(const std::wstring& name) {
  std::string line;
  test::ReadFileBytes(InUpdate(name + L".result"), &line);
  return line;
}
int CodeOf(const std::wstring& name) {
  std::string line = ResultOf(name);
  return line.size() > 3 ? std::stoi(line.substr(line.rfind(' ') + 1)) : -1;
}

using test::RunningOnWine;

void EmptyFolder(const Str& folder) { test::EmptyHeldFolder(folder); }

// The names in a folder as FindFirstFileW lists them, sorted.
std::vector<std::string> NamesIn(const Str& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW data;
  FindHandle find(FindFirstFileW((Wide(folder) + L"\\*").c_str(), &data));
  if (!find) return names;
  do {
    std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(test::Narrow(name));
  } while (FindNextFileW(find.Get(), &data));
  std::sort(names.begin(), names.end());
  return names;
}

class HostileDrop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::SigningFixturesPresent()) return;
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Vennacor\\NativeClient\\Cloud");
    MakeDirectory(DropFolder(), true);
    MakeDirectory(UpdateFolder(), true);
    EmptyFolder(DropFolder());
    EmptyFolder(UpdateFolder());
  }
  void TearDown() override {
    SetUpdatePassStopCheck(nullptr);
    EmptyFolder(DropFolder());
    EmptyFolder(UpdateFolder());
  }
  static void Announce(const std::wstring& name) { ASSERT_TRUE(test::WriteFileBytes(InDrop(name + L".pending"), "")); }
  test::TempDir elsewhere_;
};

TEST_F(HostileDrop, HardLinkedPackageIsNeitherCopiedNorInstalledAndItsTargetIsUntouched) {
  // A signed package that lives elsewhere (a file the user must not be able to get installed,
  // re-owned or deleted through the service), linked into the drop folder.
  std::wstring victim = elsewhere_.Join(L"victim.msi");
  ASSERT_TRUE(CopyFileW(FixturePath(L"signed-organisation.msi").c_str(), victim.c_str(), FALSE));
  std::string before;
  ASSERT_TRUE(test::ReadFileBytes(victim, &before));
  ASSERT_TRUE(CreateHardLinkW(InDrop(L"linked.msi").c_str(), victim.c_str(), nullptr));
  Announce(L"linked");
  ASSERT_TRUE(UpdateStep());
  EXPECT_EQ(CodeOf(L"linked"), ResultNotMoved) << ResultOf(L"linked");
  EXPECT_FALSE(Exists(InUpdate(L"linked.msi")));
  std::string after;
  ASSERT_TRUE(test::ReadFileBytes(victim, &after));
  EXPECT_EQ(after, before);
  // Only the link's own name goes; the file keeps its other name.
  EXPECT_FALSE(Exists(InDrop(L"linked.msi")));
  BY_HANDLE_FILE_INFORMATION info = {};
  FileHandle file(CreateFileW(victim.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(GetFileInformationByHandle(file.Get(), &info));
  EXPECT_EQ(info.nNumberOfLinks, 1u);
}

TEST_F(HostileDrop, SymbolicLinkPackageIsRefused) {
  if (RunningOnWine())
    GTEST_SKIP() << "Wine 8 creates no symbolic links (CreateSymbolicLinkW answers TRUE and makes nothing); "
                    "the refusal is HeldPackage::Open's reparse-point test";
  std::wstring victim = elsewhere_.Join(L"victim.msi");
  ASSERT_TRUE(CopyFileW(FixturePath(L"signed-organisation.msi").c_str(), victim.c_str(), FALSE));
  if (!CreateSymbolicLinkW(InDrop(L"symlink.msi").c_str(), victim.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
    GTEST_SKIP() << "no right to create symbolic links here";
  Announce(L"symlink");
  ASSERT_TRUE(UpdateStep());
  EXPECT_EQ(CodeOf(L"symlink"), ResultNotMoved);
  EXPECT_FALSE(Exists(InUpdate(L"symlink.msi")));
  EXPECT_TRUE(Exists(victim));
}

TEST_F(HostileDrop, JunctionInPlaceOfTheDropFolderIsNotWorkedOn) {
  if (RunningOnWine())
    GTEST_SKIP() << "Wine 8 creates no junctions or directory links and shows Unix links as plain folders; "
                    "the refusal is HeldFolder::Open's reparse-point test";
  ASSERT_TRUE(RemoveDirectoryW(Wide(DropFolder()).c_str()));
  ASSERT_TRUE(test::WriteFileBytes(elsewhere_.Join(L"precious.removepending"), ""));
  ASSERT_TRUE(test::WriteFileBytes(elsewhere_.Join(L"precious.msi"), "someone else's file"));
  if (!CreateSymbolicLinkW(Wide(DropFolder()).c_str(), elsewhere_.Path().c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
    GTEST_SKIP() << "no right to create directory links here";
  EXPECT_TRUE(UpdateStep());
  EXPECT_TRUE(Exists(elsewhere_.Join(L"precious.msi")));
  EXPECT_TRUE(Exists(elsewhere_.Join(L"precious.removepending")));
  RemoveDirectoryW(Wide(DropFolder()).c_str());
}

TEST_F(HostileDrop, PackageHeldOpenForWritingIsNotInstalled) {
  // A writer that opened the package before the pass could change it after the checks; the
  // pass refuses to take a package it cannot hold against writers.
  ASSERT_TRUE(CopyFileW(FixturePath(L"signed-organisation.msi").c_str(), InDrop(L"written.msi").c_str(), FALSE));
  FileHandle writer(CreateFileW(InDrop(L"written.msi").c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                nullptr));
  ASSERT_TRUE(writer);
  Announce(L"written");
  ASSERT_TRUE(UpdateStep());
  EXPECT_EQ(CodeOf(L"written"), ResultNotMoved) << ResultOf(L"written");
  EXPECT_FALSE(Exists(InUpdate(L"written.msi")));
}

TEST_F(HostileDrop, InstalledCopyIsTheServicesOwnFile) {
  // A reader that keeps its handle (sharing everything) does not stop the pass, and the
  // package in the update folder is a new file, not the dropped one renamed.
  ASSERT_TRUE(CopyFileW(FixturePath(L"signed-organisation.msi").c_str(), InDrop(L"own.msi").c_str(), FALSE));
  FileHandle reader(CreateFileW(InDrop(L"own.msi").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                nullptr));
  ASSERT_TRUE(reader);
  BY_HANDLE_FILE_INFORMATION dropped = {};
  ASSERT_TRUE(GetFileInformationByHandle(reader.Get(), &dropped));
  Announce(L"own");
  ASSERT_TRUE(UpdateStep());
  EXPECT_EQ(CodeOf(L"own"), ResultStarted) << ResultOf(L"own");
  FileHandle copy(CreateFileW(InUpdate(L"own.msi").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(copy);
  BY_HANDLE_FILE_INFORMATION installed = {};
  ASSERT_TRUE(GetFileInformationByHandle(copy.Get(), &installed));
  EXPECT_FALSE(installed.nFileIndexHigh == dropped.nFileIndexHigh && installed.nFileIndexLow == dropped.nFileIndexLow);
  reader.Reset();
  copy.Reset();
  Sleep(3000);
  test::RunProcess(L"msiexec.exe /qn /x \"" + InUpdate(L"own.msi") + L"\"", 60000);
}

TEST_F(HostileDrop, NameThatCannotFormAPathTouchesNothingOutsideTheDropFolder) {
  // X.pending fits the file system, but X.removepending is longer than a path component may be.
  std::wstring name(246, L'n');
  Announce(name);
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(elsewhere_.Path().c_str()));
  EXPECT_TRUE(UpdateStep());
  SetCurrentDirectoryW(previous);
  EXPECT_FALSE(Exists(InDrop(name + L".pending")));
  WIN32_FIND_DATAW data;
  FindHandle anything(FindFirstFileW(elsewhere_.Join(L"*.*").c_str(), &data));
  int entries = 0;
  if (anything) {
    do {
      std::wstring entry = data.cFileName;
      if (entry != L"." && entry != L"..") ++entries;
    } while (FindNextFileW(anything.Get(), &data));
  }
  EXPECT_EQ(entries, 0) << "something was created relative to the current directory";
}

TEST_F(HostileDrop, OddEntriesAreAnsweredAndThePassFinishes) {
  // A folder named like a package, a folder named like an announcement, a read-only package,
  // an empty one and a large one.
  ASSERT_TRUE(CreateDirectoryW(InDrop(L"dir.msi").c_str(), nullptr));
  Announce(L"dir");
  ASSERT_TRUE(CreateDirectoryW(InDrop(L"folder.pending").c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(FixturePath(L"unsigned.msi").c_str(), InDrop(L"readonly.msi").c_str(), FALSE));
  ASSERT_TRUE(SetFileAttributesW(InDrop(L"readonly.msi").c_str(), FILE_ATTRIBUTE_READONLY));
  Announce(L"readonly");
  ASSERT_TRUE(test::WriteFileBytes(InDrop(L"empty.msi"), ""));
  Announce(L"empty");
  ASSERT_TRUE(test::WriteFileBytes(InDrop(L"large.msi"), std::string(8 << 20, 'L')));
  Announce(L"large");

  ASSERT_TRUE(UpdateStep());
  EXPECT_EQ(CodeOf(L"dir"), ResultNoPackage);
  EXPECT_TRUE(Exists(InDrop(L"dir.msi")));          // a folder is never deleted by the pass
  EXPECT_TRUE(Exists(InDrop(L"folder.pending")));   // not an announcement
  EXPECT_FALSE(Exists(InUpdate(L"folder.result")));
  EXPECT_EQ(CodeOf(L"readonly"), ResultUntrusted);
  EXPECT_FALSE(Exists(InDrop(L"readonly.msi")));    // removed although read-only
  EXPECT_EQ(CodeOf(L"empty"), ResultUntrusted);
  EXPECT_EQ(CodeOf(L"large"), ResultUntrusted);
  EXPECT_FALSE(Exists(InDrop(L"large.msi")));
  RemoveDirectoryW(InDrop(L"dir.msi").c_str());
  RemoveDirectoryW(InDrop(L"folder.pending").c_str());
}

TEST_F(HostileDrop, ThousandsOfAnnouncementsAreAllAnswered) {
  const int count = 2000;
  for (int i = 0; i < count; ++i) Announce(L"many" + std::to_wstring(i));
  ASSERT_TRUE(UpdateStep());
  int answered = 0;
  for (int i = 0; i < count; ++i) answered += CodeOf(L"many" + std::to_wstring(i)) == ResultNoPackage;
  EXPECT_EQ(answered, count);
  EXPECT_EQ(ListFiles(DropFolder(), Str("*.pending")).Length(), 0u);
  // The markers of the missing packages go on the next pass.
  ASSERT_TRUE(UpdateStep());
  EXPECT_EQ(ListFiles(DropFolder(), Str("*.removepending")).Length(), 0u);
}

// Windows opens a device for these names by path: the pass would write its result into the
// device and could never delete the announcement. They are removed through the held folder,
// get no answer, and the pass answers the others.
TEST_F(HostileDrop, DeviceNamedAnnouncementsAreRemovedAndTheOthersAnswered) {
  const char* const planted[] = {"NUL.pending", "COM1.pending", "aux.txt.pending", "NUL.removepending"};
  {
    HeldFolder drop;
    ASSERT_TRUE(drop.Open(DropFolder()));
    for (const char* name : planted)
      ASSERT_TRUE(OpenRelative(drop.Get(), Str(name), GENERIC_WRITE, 0, RelativeOpen::New, RelativeKind::File))
          << name;
  }
  Announce(L"plain");
  ASSERT_TRUE(UpdateStep());
  EXPECT_EQ(CodeOf(L"plain"), ResultNoPackage);
  EXPECT_EQ(NamesIn(DropFolder()), (std::vector<std::string>{"plain.removepending"}));
  EXPECT_EQ(NamesIn(UpdateFolder()), (std::vector<std::string>{"plain.result"}));
}

// What the service does to a missing drop or update folder: it makes it with its protection.
// Wine keeps a file's DACL only as far as Unix mode bits can hold it (entries for SYSTEM and the
// owner, and one for Everyone when others may read): it shows that nobody else got access, where
// a folder made with the default security is open to Everyone for reading. The protected flag,
// the entries for Administrators, Users and CREATOR OWNER are not stored.
TEST_F(HostileDrop, MissingFoldersAreMadeWithTheirProtection) {
  ASSERT_TRUE(RemoveDirectoryW(Wide(DropFolder()).c_str()));
  ASSERT_TRUE(RemoveDirectoryW(Wide(UpdateFolder()).c_str()));
  ASSERT_TRUE(UpdateStep());
  const struct {
    Str folder;
    const char* security;
  } folders[] = {{DropFolder(), kDropFolderSecurity}, {UpdateFolder(), kUpdateFolderSecurity}};
  for (const auto& f : folders) {
    SCOPED_TRACE(f.folder.c_str());
    PSECURITY_DESCRIPTOR got = nullptr;
    PACL dacl = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(Wide(f.folder).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, &dacl, nullptr, &got),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalMemory gotMemory(got);
    char* text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(got, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                     &text, nullptr));
    LocalMemory textMemory(text);
    std::string dacltext = text;
    if (RunningOnWine()) {
      EXPECT_EQ(dacltext.find(";;;WD)"), std::string::npos) << dacltext;
      EXPECT_NE(dacltext.find("(A;OICI;FA;;;SY)"), std::string::npos) << dacltext;
      continue;
    }
    // The expected text in the form Windows writes it back.
    PSECURITY_DESCRIPTOR expected = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(f.security, SDDL_REVISION_1, &expected, nullptr));
    LocalMemory expectedMemory(expected);
    char* expectedText = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(expected, SDDL_REVISION_1,
                                                                     DACL_SECURITY_INFORMATION, &expectedText, nullptr));
    LocalMemory expectedTextMemory(expectedText);
    EXPECT_EQ(dacltext, std::string(expectedText));
  }
}

// A marker X.removepending left by an earlier pass is for the X.msi of that pass. A client that
// drops X.msi and X.pending again gets its new package installed, not deleted by the clean-up.
TEST_F(HostileDrop, MarkerOfAnEarlierPassLeavesAnAnnouncedPackageAlone) {
  ASSERT_TRUE(test::WriteFileBytes(InDrop(L"again.removepending"), ""));
  ASSERT_TRUE(CopyFileW(FixturePath(L"signed-organisation.msi").c_str(), InDrop(L"again.msi").c_str(), FALSE));
  Announce(L"again");
  ASSERT_TRUE(UpdateStep());
  EXPECT_EQ(CodeOf(L"again"), ResultStarted) << ResultOf(L"again");
  EXPECT_FALSE(Exists(InDrop(L"again.removepending")));
  EXPECT_TRUE(Exists(InUpdate(L"again.msi")));
  Sleep(3000);
  test::RunProcess(L"msiexec.exe /qn /x \"" + InUpdate(L"again.msi") + L"\"", 60000);
}

// The drop folder is swapped for another one while the pass works through its list (under Wine
// from the Unix side; on Windows a user would make the emptied folder a mount point). The pass
// touches nothing in the folder put in its place, and leaves the rest to the next pass.
int s_swapsLeft = 0;
bool SwapTheDropFolderOnce() {
  if (s_swapsLeft-- != 1) return false;
  std::wstring drop = Wide(DropFolder());
  if (!unixside::SwapFolder(drop, ".moved")) return false;
  test::WriteFileBytes(drop + L"\\swapped.msi", "someone else's file");
  test::WriteFileBytes(drop + L"\\swapped.pending", "");
  test::WriteFileBytes(drop + L"\\later.pending", "");
  return false;
}

TEST_F(HostileDrop, DropFolderSwappedDuringThePassIsNotWorkedOnFurther) {
  if (!unixside::Available())
    GTEST_SKIP() << "needs Wine's Unix side to move the held drop folder; on Windows the held folder test makes "
                    "it a mount point";
  ASSERT_TRUE(test::WriteFileBytes(InDrop(L"swapped.msi"), "the dropped package"));
  Announce(L"swapped");
  Announce(L"later");
  s_swapsLeft = 1;
  SetUpdatePassStopCheck(SwapTheDropFolderOnce);
  ASSERT_TRUE(UpdateStep());
  SetUpdatePassStopCheck(nullptr);
  std::vector<std::string> inPlace = NamesIn(DropFolder());
  std::vector<std::string> answers = NamesIn(UpdateFolder());
  ASSERT_TRUE(unixside::RestoreFolder(Wide(DropFolder()), ".moved"));
  EXPECT_EQ(inPlace, (std::vector<std::string>{"later.pending", "swapped.msi", "swapped.pending"}));
  EXPECT_TRUE(answers.empty());
  EXPECT_EQ(NamesIn(DropFolder()), (std::vector<std::string>{"later.pending", "swapped.msi", "swapped.pending"}));
}

// The pass decides from one listing of the drop folder whether X.msi is there. What changes after
// the listing is still seen where it matters: a package that comes after it (the client wrote it
// while the folder was being listed) is taken, and one that goes after it is no package.
bool s_changeDone = false;
bool ChangeTheDropFolderOnce() {
  if (s_changeDone) return false;
  s_changeDone = true;
  CopyFileW(FixturePath(L"unsigned.msi").c_str(), InDrop(L"late.msi").c_str(), FALSE);
  DeleteFileW(InDrop(L"gone.msi").c_str());
  return false;
}

TEST_F(HostileDrop, PackagesThatComeOrGoAfterTheListingAreAnsweredForWhatIsThere) {
  Announce(L"late");
  ASSERT_TRUE(CopyFileW(FixturePath(L"unsigned.msi").c_str(), InDrop(L"gone.msi").c_str(), FALSE));
  Announce(L"gone");
  s_changeDone = false;
  SetUpdatePassStopCheck(ChangeTheDropFolderOnce);
  ASSERT_TRUE(UpdateStep());
  SetUpdatePassStopCheck(nullptr);
  EXPECT_EQ(CodeOf(L"late"), ResultUntrusted) << ResultOf(L"late");  // checked, not "no package"
  EXPECT_FALSE(Exists(InDrop(L"late.msi")));
  EXPECT_EQ(CodeOf(L"gone"), ResultNoPackage) << ResultOf(L"gone");
}

int s_packagesBeforeStop = 0;
bool StopAfterSomePackages() { return s_packagesBeforeStop-- <= 0; }

TEST_F(HostileDrop, StopRequestIsSeenBeforeTheNextPackage) {
  for (int i = 0; i < 50; ++i) Announce(L"queued" + std::to_wstring(i));
  s_packagesBeforeStop = 3;
  SetUpdatePassStopCheck(StopAfterSomePackages);
  ASSERT_TRUE(UpdateStep());
  SetUpdatePassStopCheck(nullptr);
  EXPECT_EQ(ListFiles(DropFolder(), Str("*.pending")).Length(), 47u);
  EXPECT_EQ(ListFiles(UpdateFolder(), Str("*.result")).Length(), 3u);
}

}  // namespace
