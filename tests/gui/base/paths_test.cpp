// The path grammar and the name helpers.
#include "paths.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Repeat(const std::string& unit, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += unit;
  return text;
}

struct NormalizeCase {
  std::string path;
  bool fileOnly;
  std::string expected;  // empty: invalid
};

class NormalizeAbsolute : public testing::TestWithParam<NormalizeCase> {};

TEST_P(NormalizeAbsolute, GivesTheAbsoluteFormOrNothing) {
  const NormalizeCase& c = GetParam();
  Str result = NormalizePath(Str(c.path.c_str()), c.fileOnly);
  EXPECT_STREQ(c.expected.c_str(), result.c_str()) << "path: " << c.path << " fileOnly: " << c.fileOnly;
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, NormalizeAbsolute,
    testing::Values(
        // separators, ".", ".."
        NormalizeCase{"C:/a//b/./c/../d", false, "C:\\a\\b\\d"},
        NormalizeCase{"c:\\x", false, "C:\\x"},
        NormalizeCase{"C:\\", false, "C:\\"},
        NormalizeCase{"C:\\a\\..", false, "C:\\"},
        NormalizeCase{"C:\\..\\..\\a", false, "C:\\a"},
        NormalizeCase{"C:\\a\\b\\", false, "C:\\a\\b"},
        // long-path and network roots
        NormalizeCase{"\\\\?\\C:\\a\\b", false, "C:\\a\\b"},
        NormalizeCase{"\\\\?\\UNC\\srv\\share\\x", false, "\\\\srv\\share\\x"},
        NormalizeCase{"\\\\?\\Volume{1234}\\a", false, ""},
        NormalizeCase{"\\\\srv\\share\\x\\..\\y", false, "\\\\srv\\share\\y"},
        NormalizeCase{"//srv/share", false, "\\\\srv\\share"},
        NormalizeCase{"\\\\srv\\share\\..\\..", false, "\\\\srv\\share"},
        NormalizeCase{"\\\\srv", false, ""},
        NormalizeCase{"\\\\srv\\", false, ""},
        NormalizeCase{"\\\\..\\share", false, ""},
        NormalizeCase{"\\\\srv\\...", false, ""},
        NormalizeCase{"\\\\.\\pipe\\x", false, ""},
        NormalizeCase{"\\\\s*v\\share", false, ""},
        // characters a component may not hold
        NormalizeCase{"C:\\a*b", false, ""},
        NormalizeCase{"C:\\a?b", false, ""},
        NormalizeCase{"C:\\a<b", false, ""},
        NormalizeCase{"C:\\a>b", false, ""},
        NormalizeCase{"C:\\a|b", false, ""},
        NormalizeCase{"C:\\a\"b", false, ""},
        NormalizeCase{"C:\\a:b", false, ""},
        NormalizeCase{"C:\\a\tb", false, ""},
        NormalizeCase{"C:\\a\x1f", false, ""},
        // UTF-8: well-formed text passes; ill-formed bytes and an overlong "/" never reach Windows
        NormalizeCase{"C:\\\xC3\xA9t\xC3\xA9\\\xF0\x9F\x98\x80", false, "C:\\\xC3\xA9t\xC3\xA9\\\xF0\x9F\x98\x80"},
        NormalizeCase{"C:\\\xE9t\xE9", false, ""},
        NormalizeCase{"C:\\a\\..\xC0\xAF..\xC0\xAFwindows", false, ""},
        NormalizeCase{"C:\\\xED\xA0\x80", false, ""},
        // component length: 256 characters (a multi-byte character counts once)
        NormalizeCase{"C:\\" + Repeat("a", 256), false, "C:\\" + Repeat("a", 256)},
        NormalizeCase{"C:\\" + Repeat("a", 257), false, ""},
        NormalizeCase{"C:\\" + Repeat("\xC3\xA9", 256), false, "C:\\" + Repeat("\xC3\xA9", 256)},
        NormalizeCase{"C:\\" + Repeat("\xC3\xA9", 257), false, ""},
        // the file-only flag
        NormalizeCase{"C:\\a\\b", true, "C:\\a\\b"},
        NormalizeCase{"C:\\a\\", true, ""},
        NormalizeCase{"C:\\a\\.", true, ""},
        NormalizeCase{"C:\\a\\..", true, ""},
        NormalizeCase{"C:\\a/", true, ""},
        NormalizeCase{"C:\\", true, ""},
        NormalizeCase{"C:\\a\\..\\b", true, "C:\\b"},
        NormalizeCase{"", false, ""},
        NormalizeCase{"", true, ""}));

// Relative forms are resolved against the current directory, which the fixture moves into a
// fresh folder (the test program runs its tests one after another).
class NormalizeRelative : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t saved[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, saved);
    saved_ = saved;
    ASSERT_TRUE(::SetCurrentDirectoryW(dir_.Path().c_str()));
    current_ = test::Narrow(dir_.Path());
  }
  void TearDown() override { ::SetCurrentDirectoryW(saved_.c_str()); }

  test::TempDir dir_;
  std::wstring saved_;
  std::string current_;  // C:\users\...\cvtest-...
};

TEST_F(NormalizeRelative, ResolvesAgainstTheCurrentDirectoryAndDrive) {
  ASSERT_EQ(':', current_[1]);
  std::string drive = current_.substr(0, 2);
  std::string parent = current_.substr(0, current_.rfind('\\'));
  struct {
    std::string path;
    std::string expected;
  } cases[] = {
      {"a\\b", current_ + "\\a\\b"},
      {"./a/../b", current_ + "\\b"},
      {".", current_},
      {"..\\x", parent + "\\x"},
      {"\\top", drive + "\\top"},
      {drive + "name", current_ + "\\name"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(c.expected.c_str(), NormalizePath(Str(c.path.c_str()), false).c_str()) << c.path;
  EXPECT_TRUE(NormalizePath(Str("."), true).IsEmpty());
  EXPECT_TRUE(NormalizePath(Str(".."), true).IsEmpty());
}

TEST(AppendPathComponent, ReplacesThePathOnlyWhenTheResultIsValid) {
  struct {
    const char* path;
    const char* name;
    bool ok;
    const char* expected;
  } cases[] = {
      {"C:\\ProgramData", "vennacor.plugin", true, "C:\\ProgramData\\vennacor.plugin"},
      {"C:\\ProgramData\\", "Cloud", true, "C:\\ProgramData\\Cloud"},
      {"C:\\", "x", true, "C:\\x"},
      {"C:\\Program Files", "Vennacor\\Update", true, "C:\\Program Files\\Vennacor\\Update"},
      {"C:\\ProgramData", "a*b", false, "C:\\ProgramData"},
      {"C:\\ProgramData", "d:x", false, "C:\\ProgramData"},
      {"C:\\ProgramData", "", false, "C:\\ProgramData"},
      {"", "x", false, ""},
  };
  for (const auto& c : cases) {
    Str path(c.path);
    EXPECT_EQ(c.ok, AppendPathComponent(path, Str(c.name))) << c.path << " + " << c.name;
    EXPECT_STREQ(c.expected, path.c_str()) << c.path << " + " << c.name;
  }
}

TEST(JoinFilePath, RefusesWildcardsAndOverlongNames) {
  struct {
    std::string directory;
    std::string name;
    std::string expected;
  } cases[] = {
      {"C:\\Drop", "X.msi", "C:\\Drop\\X.msi"},
      {"C:\\Drop", "*.pending", ""},
      {"C:\\Drop", Repeat("n", 256), "C:\\Drop\\" + Repeat("n", 256)},
      {"C:\\Drop", Repeat("n", 257), ""},
      {"C:\\Drop", ".", ""},
      {"C:\\Drop", "sub\\", ""},
      {"C:\\Drop", "", ""},
      {"", "X.msi", ""},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(c.expected.c_str(), JoinFilePath(Str(c.directory.c_str()), Str(c.name.c_str())).c_str())
        << c.directory << " + " << c.name.substr(0, 20);
}

// Names that Windows reads differently from what they say: a device (the part before the first
// dot, trailing blanks removed, is a DOS device name) or a name that loses a trailing dot or
// blank. Each is refused as a file name and as any component; the look-alikes are ordinary names.
TEST(FileNames, DeviceNamesAndTrimmedNamesAreRefused) {
  const char* const refused[] = {
      "CON", "con", "Prn", "AUX", "nul", "CONIN$", "conout$", "NUL.pending", "nul.txt.pending", "aux.txt.pending",
      "COM1.pending", "com0", "COM9.log", "lpt1", "LPT0.x", "Lpt9", "COM1 .txt", "NUL  ",
      "COM\xC2\xB9", "lpt\xC2\xB2.pending", "COM\xC2\xB3.x",  // superscript one, two, three
      "name.", "name ", "a.b.", "x. ", "...",
  };
  for (const char* name : refused) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(IsValidFileName(Str(name)));
    EXPECT_TRUE(JoinFilePath(Str("C:\\Drop"), Str(name)).IsEmpty());
    Str folder("C:\\Drop");
    EXPECT_FALSE(AppendPathComponent(folder, Str(name)));
    EXPECT_TRUE(NormalizePath(Str((std::string("C:\\") + name + "\\x").c_str()), false).IsEmpty());
  }
  const char* const accepted[] = {
      "CONSOLE", "COM10", "LPT", "COMA.txt", "NULL.pending", "xnul", "nul_", "con-x.msi", "COM\xC2\xB9" "0",
      "COM\xC2\xB4", ".pending", "a.b", " leading", "X.msi",
  };
  for (const char* name : accepted) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(IsValidFileName(Str(name)));
    EXPECT_STREQ((std::string("C:\\Drop\\") + name).c_str(), JoinFilePath(Str("C:\\Drop"), Str(name)).c_str());
  }
  // One component only.
  EXPECT_FALSE(IsValidFileName(Str("a\\b")));
  EXPECT_FALSE(IsValidFileName(Str("a/b")));
  EXPECT_FALSE(IsValidFileName(Str("..")));
  EXPECT_FALSE(IsValidFileName(Str()));
}

TEST(NameHelpers, SplitPathsIntoFolderNameAndBase) {
  struct {
    const char* path;
    const char* fileName;
    const char* baseName;
    const char* directory;
  } cases[] = {
      {"C:\\Drop\\A.B.pending", "A.B.pending", "A.B", "C:\\Drop"},
      {"C:\\Drop\\.pending", ".pending", ".pending", "C:\\Drop"},
      {"C:/Drop/X.msi", "X.msi", "X", "C:/Drop"},
      {"C:\\Drop\\noext", "noext", "noext", "C:\\Drop"},
      {"C:\\Drop\\trailing.", "trailing.", "trailing", "C:\\Drop"},
      {"C:\\x", "x", "x", "C:\\"},
      {"C:\\", "", "", "C:\\"},
      {"C:\\a\\\\b", "b", "b", "C:\\a"},
      {"\\\\srv\\share\\f.txt", "f.txt", "f", "\\\\srv\\share"},
      {"\\x", "x", "x", "\\"},
      {"name.txt", "name.txt", "name", ""},
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    Str path(c.path);
    EXPECT_STREQ(c.fileName, FileNameOf(path).c_str()) << c.path;
    EXPECT_STREQ(c.baseName, BaseNameOf(path).c_str()) << c.path;
    EXPECT_STREQ(c.directory, DirectoryOf(path).c_str()) << c.path;
  }
}

TEST(NameHelpers, TrailingSeparatorAndQuotes) {
  EXPECT_STREQ("C:\\a\\", AddTrailingSeparator(Str("C:\\a")).c_str());
  EXPECT_STREQ("C:\\a\\", AddTrailingSeparator(Str("C:\\a\\")).c_str());
  EXPECT_STREQ("C:/a/", AddTrailingSeparator(Str("C:/a/")).c_str());
  EXPECT_STREQ("\"C:\\Program Files\\x.exe\"", QuotePath(Str("C:\\Program Files\\x.exe")).c_str());
  EXPECT_STREQ("\"\"", QuotePath(Str()).c_str());
}

TEST(PathBelow, GivesTheRestBelowADirectoryIgnoringCase) {
  struct {
    const char* path;
    const char* directory;
    const char* expected;
  } cases[] = {
      {"C:\\Drop\\sub\\X.msi", "c:\\drop", "sub\\X.msi"},
      {"C:\\Drop\\X.msi", "C:\\Drop\\", "X.msi"},
      {"C:\\\xC3\x89t\xC3\xA9\\x", "c:\\\xC3\xA9T\xC3\x89", "x"},
      {"C:\\Dropped\\X.msi", "C:\\Drop", ""},
      {"C:\\Drop\\", "C:\\Drop", ""},
      {"C:\\Drop", "C:\\Drop", ""},
      {"C:\\Drop\\X.msi", "", ""},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(c.expected, PathBelow(Str(c.path), Str(c.directory)).c_str()) << c.path << " below " << c.directory;
}

}  // namespace
