// The held folder through which the update pass reaches every file of the drop folder: names are
// opened relative to the folder's handle, so they reach exactly the file of that name in the
// folder that was opened, whatever happens to the folder's path afterwards.
#include "handles.h"
#include "mountpoint.h"
#include "packagefiles.h"
#include "relativefiles.h"
#include "testsupport.h"
#include "unixside.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using test::RunningOnWine;

Str ToStr(const std::wstring& path) { return Str(test::Narrow(path).c_str()); }
bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The names in a folder as FindFirstFileW lists them (not through the code under test).
std::vector<std::string> NamesIn(const std::wstring& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW data;
  FindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
  if (!find) return names;
  do {
    std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(test::Narrow(name));
  } while (::FindNextFileW(find.Get(), &data));
  std::sort(names.begin(), names.end());
  return names;
}

bool Plant(const HeldFolder& folder, const char* name) {
  return OpenRelative(folder.Get(), Str(name), GENERIC_WRITE, 0, RelativeOpen::New, RelativeKind::File).IsValid();
}

// Names a Win32 path turns into a device or trims reach their own file through the held folder:
// listed, found and deleted there, never opening a device.
TEST(HeldFolder, ReachesFilesWhoseNamesAPathCannotName) {
  test::TempDir dir;
  HeldFolder folder;
  ASSERT_TRUE(folder.Open(ToStr(dir.Path())));
  const char* const names[] = {"NUL.pending", "COM1.pending", "aux.txt.pending", "CON", "trailing.", "blank "};
  for (const char* name : names) ASSERT_TRUE(Plant(folder, name)) << name << ": " << ::GetLastError();
  ASSERT_EQ(NamesIn(dir.Path()).size(), 6u);

  PathList listed;
  ASSERT_TRUE(folder.ListFileNames(&listed));
  EXPECT_EQ(listed.Length(), 6u);
  for (const char* name : names) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(folder.HasFile(Str(name)));
    EXPECT_TRUE(folder.DeleteEntry(Str(name))) << ::GetLastError();
  }
  EXPECT_TRUE(NamesIn(dir.Path()).empty());

  // By its path the same name reaches the device (where the platform lets a test see it).
  ASSERT_TRUE(Plant(folder, "NUL.pending"));
  FileHandle byPath(::CreateFileW((dir.Path() + L"\\NUL.pending").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (byPath) {
    EXPECT_EQ(::GetFileType(byPath.Get()), static_cast<DWORD>(FILE_TYPE_CHAR));
  }
  EXPECT_TRUE(folder.DeleteEntry(Str("NUL.pending")));
}

TEST(HeldFolder, NamesStayInsideTheFolder) {
  test::TempDir dir;
  ASSERT_TRUE(test::WriteFileBytes(dir.Join(L"outside.msi"), "outside"));
  ASSERT_TRUE(::CreateDirectoryW(dir.Join(L"held").c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW(dir.Join(L"held\\sub").c_str(), nullptr));
  ASSERT_TRUE(test::WriteFileBytes(dir.Join(L"held\\sub\\inner.msi"), "inner"));
  HeldFolder folder;
  ASSERT_TRUE(folder.Open(ToStr(dir.Join(L"held"))));
  for (const char* name : {"..\\outside.msi", "../outside.msi", "sub\\inner.msi", "..", ".", "x:stream", ""}) {
    SCOPED_TRACE(name);
    FileHandle file = OpenRelative(folder.Get(), Str(name), FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                                   RelativeOpen::Existing, RelativeKind::Any);
    EXPECT_FALSE(file);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_FALSE(folder.DeleteEntry(Str(name)));
  }
  EXPECT_TRUE(Exists(dir.Join(L"outside.msi")));
  EXPECT_TRUE(Exists(dir.Join(L"held\\sub\\inner.msi")));
  // A real folder is never deleted, and is no file.
  EXPECT_FALSE(folder.HasFile(Str("sub")));
  EXPECT_FALSE(folder.DeleteEntry(Str("sub")));
  EXPECT_TRUE(Exists(dir.Join(L"held\\sub")));
  // A marker never opens what is already there.
  ASSERT_TRUE(test::WriteFileBytes(dir.Join(L"held\\kept.removepending"), "content"));
  EXPECT_TRUE(folder.CreateEmptyFile(Str("kept.removepending")));
  std::string content;
  ASSERT_TRUE(test::ReadFileBytes(dir.Join(L"held\\kept.removepending"), &content));
  EXPECT_EQ(content, "content");
  EXPECT_FALSE(folder.CreateEmptyFile(Str("sub")));
}

// The attack the held folder closes: once the pass holds the folder, its path is made to lead
// to another folder holding files named like the announced ones. Under Wine the folder is moved
// away from the Unix side and a new one put in its place; on Windows (next test) it is made a
// mount point. Either way, what the held folder deletes, finds and creates is in the folder it
// opened, and it knows that its path no longer leads there.
TEST(HeldFolder, KeepsToTheFolderItOpenedWhenItsPathIsSwapped) {
  if (!unixside::Available()) GTEST_SKIP() << "needs Wine's Unix side to move a held folder; on Windows see the mount-point test";
  test::TempDir dir;
  const std::wstring path = dir.Join(L"drop");
  ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr));
  ASSERT_TRUE(test::WriteFileBytes(path + L"\\X.msi", "the dropped package"));
  HeldFolder folder;
  ASSERT_TRUE(folder.Open(ToStr(path)));
  EXPECT_TRUE(folder.IsIntact());

  ASSERT_TRUE(unixside::SwapFolder(path, ".moved"));
  ASSERT_TRUE(test::WriteFileBytes(path + L"\\X.msi", "someone else's file"));
  ASSERT_TRUE(test::WriteFileBytes(path + L"\\other.msi", "someone else's file"));

  EXPECT_FALSE(folder.IsIntact());
  EXPECT_FALSE(folder.HasFile(Str("other.msi")));
  EXPECT_TRUE(folder.DeleteEntry(Str("X.msi")));
  EXPECT_TRUE(folder.CreateEmptyFile(Str("X.removepending")));
  PathList listed;
  ASSERT_TRUE(folder.ListFileNames(&listed));
  std::vector<std::string> names;
  for (uint32_t i = 0; i < listed.Length(); ++i) names.push_back(listed[i].c_str());

  // Nothing in the folder put in its place was touched.
  std::string content;
  ASSERT_TRUE(test::ReadFileBytes(path + L"\\X.msi", &content));
  EXPECT_EQ(content, "someone else's file");
  EXPECT_EQ(NamesIn(path), (std::vector<std::string>{"X.msi", "other.msi"}));
  // The marker went into the held folder.
  std::vector<std::string> held = NamesIn(path + L".moved");
  EXPECT_NE(std::find(held.begin(), held.end(), "X.removepending"), held.end());
  if (RunningOnWine() && Exists(path + L".moved\\X.msi"))
    GTEST_SKIP() << "Wine deletes a file at its last close by the Unix name it was opened under, and only while "
                    "that name still leads to the same file: after the folder moved, the deletion is dropped "
                    "(nothing else is deleted either, as checked above)";
  EXPECT_EQ(names, (std::vector<std::string>{"X.removepending"}));
  EXPECT_EQ(held, (std::vector<std::string>{"X.removepending"}));
}

TEST(HeldFolder, KeepsToTheFolderItOpenedWhenItBecomesAMountPoint) {
  if (RunningOnWine())
    GTEST_SKIP() << "Wine 8 has no reparse points (no junctions or mount points can be made); the Unix-side "
                    "swap of the test before stands in for it";
  test::TempDir dir;
  const std::wstring path = dir.Join(L"drop");
  const std::wstring target = dir.Join(L"elsewhere");
  ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW(target.c_str(), nullptr));
  ASSERT_TRUE(test::WriteFileBytes(target + L"\\X.msi", "someone else's file"));
  HeldFolder folder;
  ASSERT_TRUE(folder.Open(ToStr(path)));

  // What any user with the right to add files may do to an empty folder.
  ASSERT_TRUE(mountpoint::Make(path, target)) << ::GetLastError();
  ASSERT_TRUE(Exists(path + L"\\X.msi")) << "the mount point does not lead to the other folder";

  EXPECT_FALSE(folder.IsIntact());
  EXPECT_FALSE(folder.HasFile(Str("X.msi")));
  EXPECT_FALSE(folder.DeleteEntry(Str("X.msi")));
  folder.CreateEmptyFile(Str("X.removepending"));
  EXPECT_EQ(NamesIn(target), (std::vector<std::string>{"X.msi"}));

  EXPECT_TRUE(mountpoint::Remove(path));
}

}  // namespace
