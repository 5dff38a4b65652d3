// File operations, listings, the executable search and the well-known directories, on real
// files in a fresh folder per test.
#include "directories.h"
#include "files.h"
#include "paths.h"
#include "registry.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

bool RunningUnderWine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

class Files : public testing::Test {
 protected:
  Str At(const char* name) const { return Str((test::Narrow(dir_.Path()) + "\\" + name).c_str()); }
  std::wstring WideAt(const char* name) const { return dir_.Join(test::Widen(name)); }
  void Write(const char* name, const std::string& bytes) { ASSERT_TRUE(test::WriteFileBytes(WideAt(name), bytes)); }
  std::string Read(const char* name) {
    std::string bytes;
    EXPECT_TRUE(test::ReadFileBytes(WideAt(name), &bytes)) << name;
    return bytes;
  }

  test::TempDir dir_;
};

TEST_F(Files, ExistenceTellsFilesFromDirectories) {
  Write("file.txt", "x");
  ASSERT_TRUE(::CreateDirectoryW(WideAt("folder").c_str(), nullptr));
  struct {
    const char* name;
    bool file;
    bool directory;
  } cases[] = {{"file.txt", true, false}, {"folder", false, true}, {"missing", false, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.file, FileExists(At(c.name))) << c.name;
    EXPECT_EQ(c.directory, DirectoryExists(At(c.name))) << c.name;
  }
  EXPECT_FALSE(FileExists(Str()));
  EXPECT_FALSE(DirectoryExists(Str()));
}

TEST_F(Files, MakeDirectoryMakesParentsOnlyWhenAsked) {
  ::SetLastError(0);
  EXPECT_FALSE(MakeDirectory(At("a\\b\\c"), false));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), ::GetLastError());
  EXPECT_FALSE(DirectoryExists(At("a")));

  EXPECT_TRUE(MakeDirectory(At("a\\b\\c"), true));
  EXPECT_TRUE(DirectoryExists(At("a\\b\\c")));
  EXPECT_TRUE(MakeDirectory(At("a\\b\\c"), false)) << "an existing directory counts as made";
  EXPECT_TRUE(MakeDirectory(At("a/x//y\\"), true)) << "mixed and repeated separators";
  EXPECT_TRUE(DirectoryExists(At("a\\x\\y")));
  EXPECT_TRUE(MakeDirectory(Str("C:\\"), true)) << "a drive root is there";

  Write("plain", "x");
  EXPECT_FALSE(MakeDirectory(At("plain"), true));
  EXPECT_FALSE(MakeDirectory(At("plain\\sub"), true));
  EXPECT_FALSE(MakeDirectory(Str(), true));
}

TEST_F(Files, CreateEmptyFileTruncates) {
  Write("marker", "old content");
  ASSERT_TRUE(CreateEmptyFile(At("marker")));
  EXPECT_EQ("", Read("marker"));
  ASSERT_TRUE(CreateEmptyFile(At("new.removepending")));
  EXPECT_TRUE(FileExists(At("new.removepending")));
  EXPECT_FALSE(CreateEmptyFile(At("missing\\x")));
}

TEST_F(Files, RemoveFileClearsReadOnlyOnlyWhenAsked) {
  ::SetLastError(0);
  EXPECT_FALSE(RemoveFile(At("missing"), false));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
  EXPECT_TRUE(RemoveFile(At("missing"), true)) << "nothing to delete";
  EXPECT_TRUE(RemoveFile(At("missing-folder\\x"), true));

  // Read-only as the only attribute: clearing it must not leave the attributes "unchanged".
  const char* readOnlyCases[] = {"readonly-only", "readonly-archive"};
  DWORD attributes[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE};
  for (int i = 0; i < 2; ++i) {
    Write(readOnlyCases[i], "x");
    ASSERT_TRUE(::SetFileAttributesW(WideAt(readOnlyCases[i]).c_str(), attributes[i]));
    EXPECT_FALSE(RemoveFile(At(readOnlyCases[i]), false)) << readOnlyCases[i];
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());
    EXPECT_TRUE(RemoveFile(At(readOnlyCases[i]), true)) << readOnlyCases[i];
    EXPECT_FALSE(FileExists(At(readOnlyCases[i])));
  }
}

TEST_F(Files, MoveReplacesUnlessToldNotTo) {
  Write("source", "new");
  Write("target", "old");
  ::SetLastError(0);
  EXPECT_FALSE(MoveFileTo(At("source"), At("target"), true));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), ::GetLastError());
  EXPECT_EQ("new", Read("source"));
  EXPECT_EQ("old", Read("target"));

  ASSERT_TRUE(MoveFileTo(At("source"), At("target"), false));
  EXPECT_FALSE(FileExists(At("source")));
  EXPECT_EQ("new", Read("target"));

  ASSERT_TRUE(MoveFileTo(At("target"), At("renamed"), true));
  EXPECT_EQ("new", Read("renamed"));
  EXPECT_FALSE(MoveFileTo(At("missing"), At("x"), false));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
}

TEST_F(Files, MoveOfAFileHeldOpenFailsAndKeepsBoth) {
  Write("held", "held");
  Write("target", "old");
  FileHandle holder(::CreateFileW(WideAt("held").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
  ASSERT_TRUE(holder.IsValid());
  EXPECT_FALSE(MoveFileTo(At("held"), At("target"), false));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), ::GetLastError());
  EXPECT_EQ("old", Read("target"));
  EXPECT_FALSE(RemoveFile(At("held"), true));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), ::GetLastError());
}

DWORD CALLBACK CountProgress(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE,
                             HANDLE, LPVOID context) {
  ++*static_cast<int*>(context);
  return PROGRESS_CONTINUE;
}

TEST_F(Files, CopyPassesTheFailIfExistsFlagAndTheProgressCallback) {
  Write("source", "copy me");
  Write("target", "old");
  ::SetLastError(0);
  EXPECT_FALSE(CopyFileTo(At("source"), At("target"), true));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), ::GetLastError());
  EXPECT_EQ("old", Read("target"));

  ASSERT_TRUE(CopyFileTo(At("source"), At("target"), false));
  EXPECT_EQ("copy me", Read("target"));
  EXPECT_EQ("copy me", Read("source"));

  int calls = 0;
  std::string large(1 << 20, 'x');
  Write("large", large);
  ASSERT_TRUE(CopyFileTo(At("large"), At("third"), true, CountProgress, &calls));
  EXPECT_TRUE(Read("third") == large);
  // Wine 8's CopyFileExW copies without ever calling the progress routine; Windows calls it
  // at least once per stream.
  if (!RunningUnderWine()) {
    EXPECT_GT(calls, 0);
  }
}

TEST_F(Files, FileSizeIsZeroWhenTheFileCannotBeOpened) {
  Write("five", "12345");
  EXPECT_EQ(5u, FileSizeOf(At("five")));
  EXPECT_EQ(0u, FileSizeOf(At("missing")));
  ::CreateDirectoryW(WideAt("folder").c_str(), nullptr);
  EXPECT_EQ(0u, FileSizeOf(At("folder")));
}

TEST_F(Files, ListFilesGivesFullPathsOfMatchingFilesOnly) {
  Write("A.pending", "");
  Write("b.B.PENDING", "");
  Write("A.msi", "");
  Write("pending", "");
  ASSERT_TRUE(::CreateDirectoryW(WideAt("dir.pending").c_str(), nullptr));
  PathList list = ListFiles(Str(test::Narrow(dir_.Path()).c_str()), Str("*.pending"));
  std::vector<std::string> names;
  for (uint32_t i = 0; i < list.Length(); ++i) names.push_back(list[i].c_str());
  std::sort(names.begin(), names.end());  // Windows and Wine sort, but no order is promised
  EXPECT_EQ((std::vector<std::string>{At("A.pending").c_str(), At("b.B.PENDING").c_str()}), names);

  ::SetLastError(123);
  EXPECT_TRUE(ListFiles(Str(test::Narrow(dir_.Path()).c_str()), Str("*.result")).IsEmpty());
  EXPECT_EQ(0u, ::GetLastError()) << "no match is not an error";
  ::SetLastError(123);
  EXPECT_TRUE(ListFiles(At("missing"), Str("*.pending")).IsEmpty());
  EXPECT_EQ(0u, ::GetLastError()) << "a missing folder is not an error";
  EXPECT_TRUE(ListFiles(Str(), Str("*")).IsEmpty()) << "no folder is not the drive's root";
}

TEST_F(Files, ListFilesIsASnapshot) {
  Write("1.pending", "");
  Write("2.pending", "");
  PathList list = ListFiles(Str(test::Narrow(dir_.Path()).c_str()), Str("*.pending"));
  ASSERT_EQ(2u, list.Length());
  for (uint32_t i = 0; i < list.Length(); ++i) EXPECT_TRUE(RemoveFile(list[i], false));
  EXPECT_FALSE(FileExists(At("1.pending")));
  EXPECT_FALSE(FileExists(At("2.pending")));
}

// ---------------------------------------------------------------------------------------------
// FindExecutable

TEST(FindExecutable, FindsSystemProgramsWithOrWithoutExtension) {
  Str expected = JoinFilePath(GetDirectory(DirectorySystem), Str("msiexec.exe"));
  ASSERT_TRUE(FileExists(expected));
  for (const char* name : {"msiexec.exe", "msiexec", "MSIEXEC.EXE"}) {
    Str found = FindExecutable(Str(name));
    EXPECT_EQ(CSTR_EQUAL, ::CompareStringOrdinal(WStr(found).c_str(), -1, WStr(expected).c_str(), -1, TRUE))
        << name << " -> " << found.c_str();
  }
  EXPECT_TRUE(FindExecutable(Str("cindravale-no-such-program")).IsEmpty());
  EXPECT_TRUE(FindExecutable(Str()).IsEmpty());
}

TEST(FindExecutable, FallsBackToTheAppPathsRegistration) {
  test::TempDir dir;
  std::string program = test::Narrow(dir.Join(L"tool.bin"));
  ASSERT_TRUE(test::WriteFileBytes(dir.Join(L"tool.bin"), "MZ"));
  std::string name = "cindravale-apppath-" + std::to_string(::GetCurrentProcessId());
  std::string key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + name + ".exe";
  std::string path = "HKEY_LOCAL_MACHINE\\" + key;
  struct {
    std::string value;
    bool found;
  } cases[] = {
      {program, true},
      {"\"" + program + "\"", true},  // registered as on a command line
      {test::Narrow(dir.Path()), false},  // a directory is no program
      {program + ".missing", false},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(WriteRegistryText(Str(path.c_str()), Str(), Str(), Str(c.value.c_str())));
    EXPECT_STREQ(c.found ? program.c_str() : "", FindExecutable(Str(name.c_str())).c_str()) << c.value;
  }
  // The extension is added only when the name has none; a folder part of the name is ignored.
  std::string withFolder = "C:\\nowhere\\" + name + ".exe";
  ASSERT_TRUE(WriteRegistryText(Str(path.c_str()), Str(), Str(), Str(program.c_str())));
  EXPECT_STREQ(program.c_str(), FindExecutable(Str(withFolder.c_str())).c_str());
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, test::Widen(key).c_str());
}

// ---------------------------------------------------------------------------------------------
// GetDirectory

TEST(GetDirectory, GivesExistingDirectoriesForKnownIdsAndNothingBeyond) {
  for (uint32_t id : {0u, 1u, 2u, 3u, 4u, 13u, 14u, 20u, 21u, 22u, 23u, 24u, 26u, 27u}) {
    Str directory = GetDirectory(id);
    EXPECT_FALSE(directory.IsEmpty()) << id;
    EXPECT_TRUE(DirectoryExists(directory)) << id << ": " << directory.c_str();
  }
  for (uint32_t id : {28u, 29u, 1000u, 0xFFFFFFFFu}) EXPECT_TRUE(GetDirectory(id).IsEmpty()) << id;
}

TEST(GetDirectory, NormalisesTheTemporaryAndProfileDirectories) {
  wchar_t temp[MAX_PATH + 1];
  ASSERT_GT(::GetTempPathW(MAX_PATH + 1, temp), 0u);
  EXPECT_STREQ(NormalizePath(Str(test::Narrow(temp).c_str()), false).c_str(), GetDirectory(DirectoryTemp).c_str());
  Str temporary = GetDirectory(DirectoryTemp);
  EXPECT_NE('\\', temporary[temporary.Length() - 1]);
  EXPECT_STREQ(DirectoryOf(GetProgramPath()).c_str(), GetDirectory(DirectoryProgram).c_str());
  EXPECT_STREQ("files_test", BaseNameOf(GetProgramPath()).c_str());
}

}  // namespace
