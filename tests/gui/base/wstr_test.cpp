// The UTF-16 counted string WStr.
#include "str.h"

#include "childrun.h"
#include "win.h"

// The size arithmetic is private to the library; the test reaches its header directly.
#include "../../../gui/base/source/strsize.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::wstring Units(const WStr& s) { return std::wstring(s.c_str(), s.Length()); }

struct alignas(8) FakeWStrBuffer {
  WStrHeader header;
  wchar_t text[8];
};

TEST(WStrSizing, CapacityRounding) {
  struct Case {
    uint32_t requested;
    uint32_t capacity;
  };
  const Case cases[] = {
      {1, 5},          {4, 5},   {5, 9},  {6, 9},  {9, 13},
      {500, 501},      // total 1016
      {501, 505},      // total 1024: not above 1024
      {504, 505},
      {505, 513},      // total 1032 -> 1040
      {0x7FFFFFF0u, 0x7FFFFFF9u},
      {0xFFFFFFF0u, 0xFFFFFFF9u},
      {0xFFFFFFF8u, 0xFFFFFFF8u},  // (total - 14) / 2 would exceed 32 bits: the request itself
      {0xFFFFFFFFu, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) EXPECT_EQ(WStrCapacityFor(c.requested), c.capacity) << "n = " << c.requested;
  EXPECT_EQ(WStrBlockSize(WStrCapacityFor(1)), 26u);
}

TEST(WStrEmpty, IsOneSharedBufferWhoseCountNeverChanges) {
  WStr empty;
  ASSERT_TRUE(empty.IsSharedEmpty());
  const int32_t count = empty.UseCount();
  EXPECT_GE(count, 1);
  EXPECT_EQ(empty.Capacity(), 0u);
  EXPECT_EQ(empty.Length(), 0u);
  EXPECT_STREQ(empty.c_str(), L"");
  // Every way of making an empty WStr, each copied, moved and released many times.
  for (int round = 0; round < 100; ++round) {
    const WStr made[] = {WStr(),
                         WStr(L""),
                         WStr(static_cast<const wchar_t*>(nullptr)),
                         WStr(L"abc", 0),
                         WStr(""),
                         WStr(Str()),
                         WStr("\xF8\x80\x80\x80\x80"),  // fails to decode
                         WStr::FromCodePage(1252, ""),
                         WStrAlloc(0, 0),
                         Concat(WStr(), WStr()),
                         Left(WStr(L"abc"), 0)};
    for (const WStr& w : made) {
      EXPECT_EQ(w.BufferIdentity(), empty.BufferIdentity());
      WStr copy = w;
      WStr moved = std::move(copy);
      EXPECT_TRUE(copy.IsSharedEmpty());
      copy = moved;
      moved = WStr();
    }
  }
  EXPECT_EQ(empty.UseCount(), count);
}

TEST(WStr, CreateFromUtf16IsAnExactCopy) {
  WStr w(L"caf\u00E9");
  EXPECT_EQ(Units(w), L"caf\u00E9");
  EXPECT_EQ(w.Capacity(), WStrCapacityFor(4));
  EXPECT_EQ(w.c_str()[4], 0);
  EXPECT_EQ(w.UseCount(), 1);
  WStr run(L"a\0b", 3);
  EXPECT_EQ(run.Length(), 3u);
}

TEST(WStr, CreateFromUtf8) {
  struct Case {
    const char* utf8;
    std::wstring expected;  // empty: the shared empty buffer
  };
  const Case cases[] = {
      {"plain", L"plain"},
      {"caf\xC3\xA9", L"caf\u00E9"},
      {"\xF0\x9F\x98\x80!", L"\U0001F600!"},
      {"\xED\xA0\x80", std::wstring(1, wchar_t(0xD800))},
      {"\xF8\x80\x80\x80\x80", L""},
      {"ok\xC3", L""},
  };
  for (const Case& c : cases) {
    WStr fromText(c.utf8);
    WStr fromStr{Str(c.utf8)};
    EXPECT_EQ(Units(fromText), c.expected) << c.utf8;
    EXPECT_EQ(Units(fromStr), c.expected) << c.utf8;
    EXPECT_EQ(fromText.IsSharedEmpty(), c.expected.empty()) << c.utf8;
    EXPECT_EQ(fromText.c_str()[fromText.Length()], 0);
  }
}

TEST(WStr, FromCodePage) {
  EXPECT_EQ(Units(WStr::FromCodePage(1252, "\xE9t\xE9")), L"\u00E9t\u00E9");
  EXPECT_EQ(Units(WStr::FromCodePage(1252, "\x80 and more text", 5)), L"\u20AC and");
  EXPECT_EQ(Units(WStr::FromCodePage(CP_UTF8, "\xC3\xA9t\xC3\xA9")), L"\u00E9t\u00E9");
  // 65001 uses the library's decoder: an encoded surrogate passes.
  EXPECT_EQ(Units(WStr::FromCodePage(CP_UTF8, "\xED\xA0\x80", 3)), std::wstring(1, wchar_t(0xD800)));
}

TEST(WStr, CopyRaisesTheCountAndAppendingCopiesTheBuffer) {
  WStr a(L"x");
  WStr b = a;
  EXPECT_EQ(a.UseCount(), 2);
  EXPECT_EQ(a.BufferIdentity(), b.BufferIdentity());
  ASSERT_TRUE(b.Append(L"y"));
  EXPECT_EQ(Units(a), L"x");
  EXPECT_EQ(Units(b), L"xy");
  EXPECT_NE(a.BufferIdentity(), b.BufferIdentity());
  EXPECT_EQ(a.UseCount(), 1);
  WStr& alias = a;
  a = alias;
  EXPECT_EQ(a.UseCount(), 1);
  EXPECT_EQ(Units(a), L"x");
}

TEST(WStrAppend, InPlaceWhileUniqueAndLargeEnough) {
  WStr w(L"a");  // capacity 5
  const void* buffer = w.BufferIdentity();
  ASSERT_TRUE(w.Append(L"bc"));
  ASSERT_TRUE(w.Append(L'd'));
  ASSERT_TRUE(w.Append(WStr(L"e")));
  EXPECT_EQ(w.BufferIdentity(), buffer);
  EXPECT_EQ(Units(w), L"abcde");
  ASSERT_TRUE(w.Append(L"f"));  // 6 > 5: normal growth policy
  EXPECT_NE(w.BufferIdentity(), buffer);
  EXPECT_EQ(w.Capacity(), WStrCapacityFor(6 + 32));
  EXPECT_EQ(Units(w), L"abcdef");
}

TEST(WStrAppend, NothingToAppendChangesNothing) {
  WStr w(L"abc");
  const void* buffer = w.BufferIdentity();
  EXPECT_TRUE(w.Append(L""));
  EXPECT_TRUE(w.Append(L'\0'));
  EXPECT_TRUE(w.Append(static_cast<const wchar_t*>(nullptr)));
  EXPECT_TRUE(w.Append(WStr()));
  EXPECT_EQ(w.BufferIdentity(), buffer);
  WStr empty;
  EXPECT_TRUE(empty.Append(L""));
  EXPECT_TRUE(empty.IsSharedEmpty());
  ASSERT_TRUE(empty.Append(L"now"));  // the shared empty buffer is never written
  EXPECT_FALSE(empty.IsSharedEmpty());
  EXPECT_EQ(Units(empty), L"now");
  EXPECT_STREQ(WStr().c_str(), L"");
}

TEST(WStrAppend, OverflowIsRefusedAndLeavesTheTextUnchanged) {
  FakeWStrBuffer fake{};
  fake.header.ref.useCount = 2;
  fake.header.capacity = 0xFFFFFFF8u;
  fake.header.length = 0xFFFFFFF8u;
  fake.text[0] = L'x';
  const size_t added[] = {8, 9, SIZE_MAX};
  for (size_t k : added) {
    WStr w = WStr::Attach(fake.text);
    LinkReference(&fake.header.ref);
    ::SetLastError(0);
    EXPECT_FALSE(w.Append(fake.text, k)) << k;
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_OUTOFMEMORY)) << k;
    EXPECT_EQ(w.c_str(), fake.text);
    EXPECT_EQ(w.Length(), 0xFFFFFFF8u);
  }
  EXPECT_EQ(fake.header.ref.useCount, 2);
}

TEST(WStrAppendReport, DISABLED_OverflowChild) {
  if (!test::IsChildRun("CINDRAVALE_WSTR_CHILD"))
    GTEST_SKIP() << "runs only as the child of OverflowIsReportedAsEvent601";
  FakeWStrBuffer fake{};
  fake.header.ref.useCount = 2;
  fake.header.capacity = 0xFFFFFFF8u;
  fake.header.length = 0xFFFFFFF8u;
  fake.text[0] = L'x';
  WStr w = WStr::Attach(fake.text);
  LinkReference(&fake.header.ref);
  EXPECT_FALSE(w.Append(fake.text, 9));
  EXPECT_TRUE(Concat(w, WStr(L"0123456789")).IsSharedEmpty());
}

// One report for the append and one for the concatenation.
TEST(WStrAppendReport, OverflowIsReportedAsEvent601) {
  test::ExpectChildReports({L"WStrAppendReport.DISABLED_OverflowChild", L"CINDRAVALE_WSTR_CHILD", 0,
                            {{"QELGUI-00601", "String overflow detected",
                              {{"qelgui.length1", "4294967288"}, {"qelgui.length2", "9"}}},
                             {"QELGUI-00601", "String overflow detected",
                              {{"qelgui.length1", "4294967288"}, {"qelgui.length2", "10"}}}}});
}

TEST(WStrLength, UnmeasuredLengthIsMeasuredAndStored) {
  WStr w;
  wchar_t* p = w.GetBuffer(10);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], 0);
  EXPECT_EQ(p[10], 0);
  EXPECT_TRUE(w.IsEmpty());
  std::wcscpy(p, L"four");
  EXPECT_EQ(w.Header()->length, 0u);
  EXPECT_EQ(w.Length(), 4u);
  EXPECT_EQ(w.Header()->length, 4u);
}

TEST(WStrSlice, ConcatIsExactlySized) {
  WStr r = Concat(WStr(L"ab"), WStr(L"cde"));
  EXPECT_EQ(Units(r), L"abcde");
  EXPECT_EQ(r.Capacity(), WStrCapacityFor(5));
  EXPECT_EQ(Units(Concat(WStr(), WStr(L"x"))), L"x");
}

TEST(WStrSlice, Left) {
  struct Case {
    const wchar_t* text;
    uint32_t n;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L"hello", 2, L"he"},
      {L"hello", 5, L"hello"},
      {L"hello", 50, L"hello"},
      {L"hello", 0, L""},
      {L"", 3, L""},
  };
  for (const Case& c : cases) {
    WStr r = Left(WStr(c.text), c.n);
    EXPECT_EQ(Units(r), c.expected) << c.text << " " << c.n;
    EXPECT_EQ(r.c_str()[r.Length()], 0);
  }
}

TEST(WStr, CopyToACallersArray) {
  struct Case {
    uint32_t n;
    const wchar_t* expected;
  };
  const Case cases[] = {{10, L"hello"}, {6, L"hello"}, {5, L"hell"}, {1, L""}};
  const WStr w(L"hello");
  for (const Case& c : cases) {
    wchar_t out[12];
    std::wmemset(out, L'#', 12);
    EXPECT_EQ(w.CopyTo(out, c.n), std::wcslen(c.expected)) << c.n;
    EXPECT_STREQ(out, c.expected) << c.n;
    EXPECT_EQ(out[c.n], L'#') << c.n;  // never beyond n units
  }
  wchar_t untouched = L'#';
  EXPECT_EQ(w.CopyTo(&untouched, 0), 0u);
  EXPECT_EQ(untouched, L'#');
}

TEST(WStr, Equality) {
  EXPECT_TRUE(WStr(L"abc") == WStr(L"abc"));
  EXPECT_FALSE(WStr(L"abc") == WStr(L"abd"));
  EXPECT_TRUE(WStr() == L"");
  EXPECT_TRUE(WStr(L"x") == L"x");
  EXPECT_TRUE(WStr(L"x") != L"y");
}

TEST(WStr, RoundTripThroughStr) {
  const wchar_t* text = L"\u00E9\u20AC\U0001F600 ok";
  Str s = Str::FromUtf16(WStr(text));
  EXPECT_EQ(Units(WStr(s)), text);
  Str appended("x");
  appended.Append(WStr(text));
  EXPECT_EQ(Units(WStr(appended)), std::wstring(L"x") + text);
}

}  // namespace
