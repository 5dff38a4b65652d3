// The Windows installer the update pass starts: only the msiexec.exe that lies directly in the
// system folder, and that file is what runs, whatever the command line's first word says.
// Its own program: the search-path mode the test sets stays set for the process.
// ctest-property: RESOURCE_LOCK update-service
// ctest-property: FIXTURES_REQUIRED trusted-test-root
// ctest-property: TIMEOUT 300
#include "directories.h"
#include "files.h"
#include "launch.h"
#include "packagefiles.h"
#include "servicestep.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring FixturePath(const wchar_t* name) { return test::BinDir() + L"\\..\\fixtures\\" + name; }
std::wstring Wide(const Str& s) { return test::Widen(s.c_str()); }
std::wstring SystemFolder() { return Wide(GetDirectory(DirectorySystem)); }

TEST(ExecuteProgram, RunsTheApplicationItIsGivenNotTheCommandLinesFirstWord) {
  KernelHandle process;
  const Str application = Str((test::Narrow(SystemFolder()) + "\\cmd.exe").c_str());
  uint32_t pid = ExecuteProgram(application, Str("\"C:\\no such folder\\msiexec.exe\" /c exit 7"), Str(), false,
                                false, &process);
  ASSERT_NE(pid, 0u);
  ASSERT_EQ(WaitForSingleObject(process.Get(), 30000), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.Get(), &exitCode);
  EXPECT_EQ(exitCode, 7u);
  // Without an application the first word is the program: here one that does not exist.
  EXPECT_EQ(ExecuteProgram(Str(), Str("\"C:\\no such folder\\msiexec.exe\" /c exit 7"), Str(), false, false, &process),
            0u);
}

void EmptyFolder(const Str& folder) {
  HeldFolder held;
  PathList names;
  if (!held.Open(folder) || !held.ListFileNames(&names)) return;
  for (uint32_t i = 0; i < names.Length(); ++i) held.DeleteEntry(names[i]);
}

// A folder below the system folder that users may write (as System32\Tasks is on Windows)
// holds a msiexec.exe that the search finds first: it is not the installer.
TEST(InstallerSearch, AMsiexecInASubfolderOfTheSystemFolderIsRefused) {
  if (GetFileAttributesW(FixturePath(L"testroot.cer").c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "signing fixtures were not made";
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Vennacor\\NativeClient\\Cloud");
  const std::wstring planted = SystemFolder() + L"\\CindravaleTestTasks" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr));
  // Not a program: if it were taken, the start would fail (code 1) rather than run anything.
  ASSERT_TRUE(test::WriteFileBytes(planted + L"\\msiexec.exe", "MZ not a program"));
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  // The current folder before the system folder, as Windows searches when safe search is off.
  ASSERT_TRUE(SetSearchPathMode(BASE_SEARCH_PATH_DISABLE_SAFE_SEARCHMODE));
  ASSERT_TRUE(SetCurrentDirectoryW(planted.c_str()));
  Str found = FindExecutable(Str("msiexec.exe"));

  const Str drop = DropFolderPath(), update = UpdateFolderPath();
  MakeDirectory(drop, true);
  MakeDirectory(update, true);
  EmptyFolder(drop);
  EmptyFolder(update);
  bool copied = CopyFileW(FixturePath(L"signed-organisation.msi").c_str(), (Wide(drop) + L"\\planted.msi").c_str(), FALSE);
  bool announced = test::WriteFileBytes(Wide(drop) + L"\\planted.pending", "");
  bool ran = copied && announced && UpdateStep();
  SetCurrentDirectoryW(previous);
  std::string line;
  test::ReadFileBytes(Wide(update) + L"\\planted.result", &line);
  bool copyLeft = GetFileAttributesW((Wide(update) + L"\\planted.msi").c_str()) != INVALID_FILE_ATTRIBUTES;
  DeleteFileW((planted + L"\\msiexec.exe").c_str());
  RemoveDirectoryW(planted.c_str());
  EmptyFolder(drop);
  EmptyFolder(update);

  ASSERT_EQ(_wcsicmp(Wide(found).c_str(), (planted + L"\\msiexec.exe").c_str()), 0)
      << "the planted file is not found first: " << found.c_str();
  ASSERT_TRUE(ran);
  EXPECT_EQ(line.substr(0, 2), "0|") << line;
  EXPECT_EQ(line.substr(line.size() - 3), ": 8") << line;
  EXPECT_FALSE(copyLeft);  // not started: the copy is deleted
}

}  // namespace
