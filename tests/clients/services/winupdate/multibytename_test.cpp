// One update pass over packages whose names are not ASCII, run in-process against the machine's
// drop and update folders. Run plainly it uses this machine's ANSI code page;
// ansicodepage_test.sh runs it again under code page 932 (Japanese), where a UTF-8 name read
// by the code page hides the dot after some characters ("ト." is E3 83 88 2E, and 88 2E reads
// as one character).
// ctest-property: RESOURCE_LOCK update-service
#include "files.h"
#include "servicestep.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>

namespace {

std::wstring InFolder(const Str& folder, const std::string& name) {
  return test::Widen(folder.c_str()) + L"\\" + test::Widen(name);
}
bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void EmptyFolder(const Str& folder) {
  PathList files = ListFiles(folder, Str("*"));
  for (uint32_t i = 0; i < files.Length(); ++i) RemoveFile(files[i], true);
}

std::set<std::string> ResultFiles(const Str& folder) {
  std::set<std::string> names;
  PathList files = ListFiles(folder, Str("*.result"));
  for (uint32_t i = 0; i < files.Length(); ++i) {
    std::string path = files[i].c_str();
    names.insert(path.substr(path.find_last_of('\\') + 1));
  }
  return names;
}

class MultiByteNames : public ::testing::Test {
 protected:
  void SetUp() override {
    // Under ansicodepage_test.sh the code page must really be the one it asks for.
    if (const char* expected = std::getenv("CINDRAVALE_EXPECTED_ACP")) {
      ASSERT_EQ(GetACP(), static_cast<UINT>(std::strtoul(expected, nullptr, 10)));
    }
    ASSERT_TRUE(MakeDirectory(drop_, true));
    ASSERT_TRUE(MakeDirectory(update_, true));
    EmptyFolder(drop_);
    EmptyFolder(update_);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Vennacor\\NativeClient\\Cloud");
  }
  void TearDown() override {
    EmptyFolder(drop_);
    EmptyFolder(update_);
  }
  Str drop_ = DropFolderPath();
  Str update_ = UpdateFolderPath();
};

TEST_F(MultiByteNames, EachPackageIsAnsweredUnderItsOwnName) {
  const struct {
    const char* name;
    bool withPackage;  // a file that is no signed package: code 6; none at all: code 7
    int code;
  } cases[] = {
      {"\xE3\x83\x88", true, ResultUntrusted},                   // ト
      {"\xE6\xBC\xA2\xE5\xAD\x97", false, ResultNoPackage},       // 漢字
      {"\xE6\xBC\xA2.\xE3\x83\x88", true, ResultUntrusted},       // 漢.ト
      {"plain", false, ResultNoPackage},
  };
  std::set<std::string> expected;
  for (const auto& c : cases) {
    if (c.withPackage) {
      ASSERT_TRUE(test::WriteFileBytes(InFolder(drop_, std::string(c.name) + ".msi"), "not a package"));
    }
    ASSERT_TRUE(test::WriteFileBytes(InFolder(drop_, std::string(c.name) + ".pending"), ""));
    expected.insert(std::string(c.name) + ".result");
  }
  ASSERT_TRUE(UpdateStep());

  EXPECT_EQ(ResultFiles(update_), expected);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string line;
    ASSERT_TRUE(test::ReadFileBytes(InFolder(update_, std::string(c.name) + ".result"), &line));
    EXPECT_EQ(line.substr(0, 2), "0|") << line;
    EXPECT_EQ(line.substr(line.size() - 3), ": " + std::to_string(c.code)) << line;
    EXPECT_FALSE(Exists(InFolder(drop_, std::string(c.name) + ".pending")));
    EXPECT_FALSE(Exists(InFolder(drop_, std::string(c.name) + ".msi")));
  }
}

}  // namespace
