// Searching inside a Str: byte offsets into the UTF-8 text, the same under every ANSI code page.
// ansicodepage_test.sh runs this program again under code page 932 (Japanese), where UTF-8
// continuation bytes read as lead bytes of double-byte characters.
#include "str.h"
#include "win.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// "ト" (U+30C8) is E3 83 88; 0x88 is a lead byte in code page 932, which swallows what follows.
#define KATAKANA_TO "\xE3\x83\x88"
// "漢" (U+6F22) is E6 BC A2; "é" is C3 A9.

enum class Op { Find, FindFrom, FindNoCase, FindLast, FindText };

struct SearchCase {
  const char* name;
  const char* text;
  Op op;
  char c;
  const char* needle;
  uint32_t start;
  int32_t expected;
};

int32_t Search(const SearchCase& c) {
  Str s(c.text);
  switch (c.op) {
    case Op::Find: return s.Find(c.c);
    case Op::FindFrom: return s.Find(c.c, c.start);
    case Op::FindNoCase: return s.FindNoCase(c.c, c.start);
    case Op::FindLast: return s.FindLast(c.c);
    case Op::FindText: return s.Find(c.needle, c.start);
  }
  return -2;
}

TEST(StrSearch, ByteOffsetsWhateverTheCodePage) {
  const SearchCase cases[] = {
      // The dot, backslash and letters behind a multi-byte character are found where they are.
      {"last dot after a katakana letter", KATAKANA_TO ".pending", Op::FindLast, '.', nullptr, 0, 3},
      {"first dot after a katakana letter", KATAKANA_TO ".pending", Op::Find, '.', nullptr, 0, 3},
      {"text after a katakana letter", KATAKANA_TO ".pending", Op::FindText, 0, ".pend", 0, 3},
      {"letter after a katakana letter, any case", KATAKANA_TO ".pending", Op::FindNoCase, 'P', nullptr, 0, 4},
      {"backslash after a katakana letter", "C:\\" KATAKANA_TO "\\x", Op::FindFrom, '\\', nullptr, 3, 6},
      {"last dot of two names", "\xE6\xBC\xA2." KATAKANA_TO ".msi", Op::FindLast, '.', nullptr, 0, 7},
      {"search that starts inside a character", KATAKANA_TO KATAKANA_TO ".", Op::FindFrom, '.', nullptr, 1, 6},
      // Bytes of a multi-byte character are bytes like any other.
      {"continuation byte", KATAKANA_TO ".", Op::Find, '\x88', nullptr, 0, 2},
      {"lead byte from the end", KATAKANA_TO KATAKANA_TO, Op::FindLast, '\xE3', nullptr, 0, 3},
      // Letter case is folded for ASCII letters only: a UTF-8 byte never matches a Latin-1
      // letter of the other case (C3 would be "Ã", E3 "ã" in code page 1252).
      {"ASCII letters fold", "abcDEF", Op::FindNoCase, 'e', nullptr, 0, 4},
      {"ASCII letters fold from a start", "xAxa", Op::FindNoCase, 'a', nullptr, 2, 3},
      {"UTF-8 lead byte is not a Latin-1 letter", "caf\xC3\xA9", Op::FindNoCase, '\xE3', nullptr, 0, -1},
      {"only the same byte matches above ASCII", "caf\xC3\xA9", Op::FindNoCase, '\xC3', nullptr, 0, 3},
      {"non-letters do not fold", "[{@`", Op::FindNoCase, '`', nullptr, 0, 3},
      // Nothing to find.
      {"absent", "abc", Op::Find, 'z', nullptr, 0, -1},
      {"start at the length", "abc", Op::FindFrom, 'c', nullptr, 3, -1},
      {"text from the length", "abc", Op::FindText, 0, "c", 3, -1},
      {"text start beyond the length", "abc", Op::FindText, 0, "a", 9, -1},
      {"the zero byte", "abc", Op::Find, '\0', nullptr, 0, -1},
      {"the zero byte from the end", "abc", Op::FindLast, '\0', nullptr, 0, -1},
      {"the zero byte, any case", "abc", Op::FindNoCase, '\0', nullptr, 0, -1},
      {"the empty text", "abc", Op::FindText, 0, "", 0, -1},
      {"a null text", "abc", Op::FindText, 0, nullptr, 0, -1},
      {"in the empty string", "", Op::FindLast, 'a', nullptr, 0, -1},
      {"text in the empty string", "", Op::FindText, 0, "a", 0, -1},
  };
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Search(c), c.expected);
  }
}

TEST(StrSearch, EndsAtTheFirstZeroByte) {
  Str s("ab");
  s.Append("\0cd", 3);
  ASSERT_EQ(s.Length(), 5u);
  EXPECT_EQ(s.Find('c'), -1);
  EXPECT_EQ(s.FindNoCase('C'), -1);
  EXPECT_EQ(s.FindLast('d'), -1);
  EXPECT_EQ(s.Find("cd"), -1);
  EXPECT_EQ(s.FindLast('b'), 1);
}

// Under ansicodepage_test.sh the code page must really be the one it asks for.
TEST(StrSearch, RunsUnderTheExpectedCodePage) {
  const char* expected = std::getenv("CINDRAVALE_EXPECTED_ACP");
  if (!expected) GTEST_SKIP() << "no code page asked for (set only by ansicodepage_test.sh)";
  EXPECT_EQ(::GetACP(), static_cast<UINT>(std::strtoul(expected, nullptr, 10)));
}

}  // namespace
