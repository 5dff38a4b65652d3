// The library's own UTF-16 <-> UTF-8 converters.
#include "utf.h"

#include "win.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr DWORD kOk = 0;
constexpr DWORD kInvalidParameter = 87;
constexpr DWORD kNoTranslation = 1113;
constexpr DWORD kInsufficientBuffer = 122;

std::wstring Units(std::initializer_list<unsigned> units) {
  std::wstring s;
  for (unsigned u : units) s += static_cast<wchar_t>(u);
  return s;
}

TEST(Utf16ToUtf8, Table) {
  struct Case {
    const char* name;
    std::wstring in;
    DWORD error;           // kOk: success
    std::string expected;  // the bytes on success
  };
  const Case cases[] = {
      {"ascii", L"Az09", kOk, "Az09"},
      {"two bytes", Units({0xE9}), kOk, "\xC3\xA9"},
      {"largest two-byte", Units({0x7FF}), kOk, "\xDF\xBF"},
      {"three bytes", Units({0x20AC}), kOk, "\xE2\x82\xAC"},
      {"unit FFFF", Units({0xFFFF}), kOk, "\xEF\xBF\xBF"},
      {"surrogate pair", Units({0xD83D, 0xDE00}), kOk, "\xF0\x9F\x98\x80"},
      {"largest pair", Units({0xDBFF, 0xDFFF}), kOk, "\xF4\x8F\xBF\xBF"},
      {"mixed", Units({'a', 0xE9, 0x20AC, 0xD800, 0xDC00}), kOk, "a\xC3\xA9\xE2\x82\xAC\xF0\x90\x80\x80"},
      {"zero unit inside a count", Units({'a', 0, 'b'}), kOk, std::string("a\0b", 3)},
      {"unpaired low surrogate", Units({0xDC00}), kNoTranslation, ""},
      {"low surrogate first", Units({0xDC00, 0xD800}), kNoTranslation, ""},
      {"high surrogate at the end", Units({'a', 0xD800}), kNoTranslation, ""},
      {"high surrogate then other", Units({0xD800, 'a'}), kNoTranslation, ""},
      {"two high surrogates", Units({0xD800, 0xD800, 0xDC00}), kNoTranslation, ""},
      {"two low surrogates", Units({0xDC00, 0xDC00}), kNoTranslation, ""},
  };
  for (const Case& c : cases) {
    const int count = static_cast<int>(c.in.size());
    char out[64] = {};
    ::SetLastError(kOk);
    const int measured = Utf16ToUtf8(c.in.data(), count, nullptr, 0);
    EXPECT_EQ(::GetLastError(), c.error) << c.name << " (measuring)";
    ::SetLastError(kOk);
    const int written = Utf16ToUtf8(c.in.data(), count, out, sizeof out);
    EXPECT_EQ(::GetLastError(), c.error) << c.name;
    if (c.error == kOk) {
      EXPECT_EQ(measured, static_cast<int>(c.expected.size())) << c.name;
      EXPECT_EQ(std::string(out, written), c.expected) << c.name;
    } else {
      EXPECT_EQ(measured, 0) << c.name;
      EXPECT_EQ(written, 0) << c.name;
    }
  }
}

TEST(Utf8ToUtf16, Table) {
  struct Case {
    const char* name;
    std::string in;
    DWORD error;
    std::wstring expected;
  };
  const Case cases[] = {
      {"ascii", "Az09", kOk, L"Az09"},
      {"two bytes", "\xC3\xA9", kOk, Units({0xE9})},
      {"three bytes", "\xE2\x82\xAC", kOk, Units({0x20AC})},
      {"four bytes", "\xF0\x9F\x98\x80", kOk, Units({0xD83D, 0xDE00})},
      {"largest code point", "\xF4\x8F\xBF\xBF", kOk, Units({0xDBFF, 0xDFFF})},
      {"encoded surrogate passes", "\xED\xA0\x80", kOk, Units({0xD800})},
      {"overlong zero passes", "\xC0\x80", kOk, Units({0})},
      {"overlong slash passes", "\xE0\x80\xAF", kOk, Units({'/'})},
      {"five-byte lead", "\xF8\x80\x80\x80\x80", kNoTranslation, L""},
      {"lead F8 with three continuations", "\xF8\x80\x80\x81", kNoTranslation, L""},
      {"lead FB with three continuations", "\xFB\x80\x80\x81", kNoTranslation, L""},
      {"lead FF", "\xFF", kNoTranslation, L""},
      {"continuation as lead", "\x80", kNoTranslation, L""},
      {"continuation BF as lead", "a\xBF", kNoTranslation, L""},
      {"cut two-byte", "\xC3", kNoTranslation, L""},
      {"cut four-byte", "\xF0\x9F\x98", kNoTranslation, L""},
      {"bad continuation", "\xC3\x41", kNoTranslation, L""},
      {"continuation C0", "\xE2\xC0\x80", kNoTranslation, L""},
      {"above 10FFFF", "\xF4\x90\x80\x80", kNoTranslation, L""},
      {"F7 lead: far above 10FFFF", "\xF7\xBF\xBF\xBF", kNoTranslation, L""},
  };
  for (const Case& c : cases) {
    const int count = static_cast<int>(c.in.size());
    wchar_t out[32] = {};
    ::SetLastError(kOk);
    const int measured = Utf8ToUtf16(c.in.data(), count, nullptr, 0);
    EXPECT_EQ(::GetLastError(), c.error) << c.name << " (measuring)";
    ::SetLastError(kOk);
    const int written = Utf8ToUtf16(c.in.data(), count, out, 32);
    EXPECT_EQ(::GetLastError(), c.error) << c.name;
    if (c.error == kOk) {
      EXPECT_EQ(measured, static_cast<int>(c.expected.size())) << c.name;
      EXPECT_EQ(std::wstring(out, written), c.expected) << c.name;
    } else {
      EXPECT_EQ(measured, 0) << c.name;
      EXPECT_EQ(written, 0) << c.name;
    }
  }
}

TEST(UtfConverters, InvalidParameters) {
  struct Case {
    const char* name;
    int (*call)();
  };
  const Case cases[] = {
      {"null UTF-16 input", [] { char b[8]; return Utf16ToUtf8(nullptr, 3, b, 8); }},
      {"UTF-16 count 0", [] { char b[8]; return Utf16ToUtf8(L"abc", 0, b, 8); }},
      {"null UTF-8 input", [] { wchar_t u[8]; return Utf8ToUtf16(nullptr, -1, u, 8); }},
      {"UTF-8 count 0", [] { wchar_t u[8]; return Utf8ToUtf16("abc", 0, u, 8); }},
  };
  for (const Case& c : cases) {
    ::SetLastError(kOk);
    EXPECT_EQ(c.call(), 0) << c.name;
    EXPECT_EQ(::GetLastError(), kInvalidParameter) << c.name;
  }
}

TEST(UtfConverters, CountMinusOneIncludesTheTerminator) {
  char bytes[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(Utf16ToUtf8(L"a\u00E9", -1, nullptr, 0), 4);
  EXPECT_EQ(Utf16ToUtf8(L"a\u00E9", -1, bytes, 8), 4);
  EXPECT_EQ(std::string(bytes, 5), std::string("a\xC3\xA9\0x", 5));
  wchar_t units[8] = {L'x', L'x', L'x', L'x', L'x', L'x', L'x', L'x'};
  EXPECT_EQ(Utf8ToUtf16("a\xC3\xA9", -1, nullptr, 0), 3);
  EXPECT_EQ(Utf8ToUtf16("a\xC3\xA9", -1, units, 8), 3);
  EXPECT_EQ(std::wstring(units, 4), std::wstring(L"a\u00E9\0x", 4));
  // A terminator inside a cut sequence is a bad continuation byte.
  ::SetLastError(kOk);
  EXPECT_EQ(Utf8ToUtf16("a\xC3", -1, units, 8), 0);
  EXPECT_EQ(::GetLastError(), kNoTranslation);
}

TEST(UtfConverters, InsufficientBufferNeverWritesHalfASequence) {
  struct Case {
    const char* name;
    std::wstring in;
    int outSize;
    std::string fitted;  // the whole sequences that fit before the one that does not
  };
  const Case encodeCases[] = {
      {"two-byte after one", Units({'a', 0xE9}), 2, "a"},
      {"three-byte", Units({0x20AC}), 2, ""},
      {"pair", Units({0xD83D, 0xDE00}), 3, ""},
      {"ascii", L"abc", 2, "ab"},
  };
  for (const Case& c : encodeCases) {
    char out[8] = {'-', '-', '-', '-', '-', '-', '-', '-'};
    ::SetLastError(kOk);
    EXPECT_EQ(Utf16ToUtf8(c.in.data(), static_cast<int>(c.in.size()), out, c.outSize), 0) << c.name;
    EXPECT_EQ(::GetLastError(), kInsufficientBuffer) << c.name;
    // Whatever went before, no byte of the sequence that did not fit is written.
    for (size_t i = c.fitted.size(); i < 8; ++i) EXPECT_EQ(out[i], '-') << c.name << " byte " << i;
  }
  wchar_t units[1];
  ::SetLastError(kOk);
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80", 4, units, 1), 0);  // a pair needs two units
  EXPECT_EQ(::GetLastError(), kInsufficientBuffer);
  ::SetLastError(kOk);
  EXPECT_EQ(Utf8ToUtf16("ab", 2, units, 1), 0);
  EXPECT_EQ(::GetLastError(), kInsufficientBuffer);
}

TEST(UtfConverters, RoundTripOfEveryScalarValueClass) {
  // One code point from each range, boundaries included, through both directions.
  const unsigned points[] = {0x01, 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x10FFFF};
  for (unsigned cp : points) {
    std::wstring in;
    if (cp > 0xFFFF)
      in = Units({0xD800 + ((cp - 0x10000) >> 10), 0xDC00 + (cp & 0x3FF)});
    else
      in = Units({cp});
    char bytes[8];
    const int n = Utf16ToUtf8(in.data(), static_cast<int>(in.size()), bytes, 8);
    ASSERT_GT(n, 0) << std::hex << cp;
    EXPECT_EQ(n, cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4) << std::hex << cp;
    wchar_t back[4];
    const int m = Utf8ToUtf16(bytes, n, back, 4);
    EXPECT_EQ(std::wstring(back, m), in) << std::hex << cp;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Block-wise conversion. Runs of ASCII are converted eight UTF-16 units or sixteen UTF-8 bytes at
// a time. Every length up to past two blocks, with one non-ASCII character (or an ill-formed
// unit) at every position, must give what the character-by-character rules give, for every
// output size from too small to large enough, also for input that ends where an inaccessible
// page begins.

#include "pageedge.h"

// One conversion case: the text with one special unit or byte run at `position`, the others ASCII.
template <typename In, typename Out>
struct BlockSpecial {
  std::basic_string<In> in;
  DWORD error;
  std::basic_string<Out> out;
};

// Every length 0..40 with each special at every position, the input ending at an inaccessible
// page, measured and then converted into every output size up to the needed one.
template <typename In, typename Out, size_t N, typename Place, typename Convert>
void CheckEveryLengthPositionAndOutputSize(const BlockSpecial<In, Out> (&specials)[N], Place place,
                                           Convert convert) {
  for (size_t n = 0; n <= 40; ++n) {
    for (size_t position = 0; position < n; ++position) {
      for (const BlockSpecial<In, Out>& special : specials) {
        std::basic_string<In> in;
        std::basic_string<Out> expected;
        for (size_t i = 0; i < n; ++i) {
          if (i == position) {
            in += special.in;
            expected += special.out;
          } else {
            in += static_cast<In>('a' + i % 26);
            expected += static_cast<Out>('a' + i % 26);
          }
        }
        const In* placed = place(in.data(), in.size());
        const int count = static_cast<int>(in.size());
        ::SetLastError(kOk);
        const int measured = convert(placed, count, nullptr, 0);
        ASSERT_EQ(::GetLastError(), special.error) << n << " " << position;
        if (special.error != kOk) {
          Out out[64];
          ASSERT_EQ(convert(placed, count, out, 64), 0);
          ASSERT_EQ(::GetLastError(), special.error);
          continue;
        }
        ASSERT_EQ(measured, static_cast<int>(expected.size()));
        for (size_t room = 1; room <= expected.size(); ++room) {
          std::basic_string<Out> out(room, static_cast<Out>('#'));
          ::SetLastError(kOk);
          const int written = convert(placed, count, out.data(), static_cast<int>(room));
          if (room < expected.size()) {
            ASSERT_EQ(written, 0) << n << " " << position << " room " << room;
            ASSERT_EQ(::GetLastError(), kInsufficientBuffer);
          } else {
            ASSERT_EQ(written, measured);
            ASSERT_EQ(out, expected) << n << " " << position;
          }
        }
      }
    }
  }
}

TEST(UtfBlocks, Utf16EveryLengthPositionAndOutputSize) {
  test::PageEdge edge;
  ASSERT_TRUE(edge.Ready());
  const BlockSpecial<wchar_t, char> specials[] = {
      {Units({0xE9}), kOk, "\xC3\xA9"},
      {Units({0x20AC}), kOk, "\xE2\x82\xAC"},
      {Units({0xD83D, 0xDE00}), kOk, "\xF0\x9F\x98\x80"},
      {Units({0xDC00}), kNoTranslation, ""},
  };
  CheckEveryLengthPositionAndOutputSize(
      specials, [&](const wchar_t* units, size_t n) { return edge.PlaceUnits(units, n); }, Utf16ToUtf8);
}

TEST(UtfBlocks, Utf8EveryLengthPositionAndOutputSize) {
  test::PageEdge edge;
  ASSERT_TRUE(edge.Ready());
  const BlockSpecial<char, wchar_t> specials[] = {
      {"\xC3\xA9", kOk, Units({0xE9})},
      {"\xE2\x82\xAC", kOk, Units({0x20AC})},
      {"\xF0\x9F\x98\x80", kOk, Units({0xD83D, 0xDE00})},
      {"\x80", kNoTranslation, L""},
  };
  CheckEveryLengthPositionAndOutputSize(
      specials, [&](const char* bytes, size_t n) { return edge.Place(bytes, n); }, Utf8ToUtf16);
}
