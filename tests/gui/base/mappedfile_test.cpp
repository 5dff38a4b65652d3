// Files written through a memory mapping: content, exact size, growth and failures.
#include "mappedfile.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class MappedFileTest : public testing::Test {
 protected:
  Str Path() const { return Str(test::Narrow(file_).c_str()); }
  std::string Content() {
    std::string bytes;
    EXPECT_TRUE(test::ReadFileBytes(file_, &bytes));
    return bytes;
  }

  test::TempDir dir_;
  std::wstring file_ = dir_.Join(L"out.txt");
};

TEST_F(MappedFileTest, TextGetsWindowsLineEndsAndNothingElse) {
  struct {
    const char* text;
    const char* written;
  } cases[] = {
      {"one line", "one line"},
      {"a\nb\n", "a\r\nb\r\n"},
      {"a\r\nb", "a\r\nb"},
      {"\r\r\n\n", "\r\n\r\n"},
      {"cr\ronly", "cronly"},
      {"", ""},
  };
  for (const auto& c : cases) {
    MappedFile file;
    ASSERT_TRUE(file.OpenForWriting(Path()));
    ASSERT_TRUE(file.WriteText(Str(c.text)));
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(std::string(c.written), Content()) << c.text;
  }
}

TEST_F(MappedFileTest, TheFileEndsAfterTheLastByteAcrossGrowths) {
  // Appends that cross the 512 KiB growth step several times, one larger than the step.
  std::string expected;
  MappedFile file;
  ASSERT_TRUE(file.OpenForWriting(Path()));
  for (int i = 0; i < 6; ++i) {
    std::string block(i == 3 ? 0x90000 : 300000 + i, static_cast<char>('a' + i));
    ASSERT_TRUE(file.Append(block.data(), block.size()));
    expected += block;
  }
  EXPECT_EQ(expected.size(), file.Length());
  ASSERT_TRUE(file.Close());
  EXPECT_TRUE(Content() == expected) << "size " << Content().size() << " expected " << expected.size();
}

TEST_F(MappedFileTest, OpeningTruncatesAndAnUnwrittenFileIsEmpty) {
  ASSERT_TRUE(test::WriteFileBytes(file_, "previous content"));
  {
    MappedFile file;
    ASSERT_TRUE(file.OpenForWriting(Path()));
  }
  EXPECT_EQ("", Content());

  MappedFile file;
  ASSERT_TRUE(file.OpenForWriting(Path()));
  ASSERT_TRUE(file.WriteText(Str("first")));
  ASSERT_TRUE(file.OpenForWriting(Path())) << "reopening closes the first";
  ASSERT_TRUE(file.WriteText(Str("second")));
  ASSERT_TRUE(file.Close());
  EXPECT_EQ("second", Content());
}

TEST_F(MappedFileTest, FailuresAnswerFalse) {
  MappedFile file;
  ::SetLastError(0);
  EXPECT_FALSE(file.Append("x", 1));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), ::GetLastError());
  EXPECT_TRUE(file.Close());

  EXPECT_FALSE(file.OpenForWriting(Str(test::Narrow(dir_.Join(L"missing\\out.txt")).c_str())));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), ::GetLastError());

  // A file held without write sharing stays refused through the retries.
  FileHandle holder(::CreateFileW(file_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(holder.IsValid());
  EXPECT_FALSE(file.OpenForWriting(Path()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), ::GetLastError());
  EXPECT_FALSE(file.IsOpen());
}

}  // namespace
