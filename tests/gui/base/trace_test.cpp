// Trace records as a tracer receives them: prefixes, line splitting, chunking, the shared word.
// A pipe server or prefix word of this test takes every process's trace lines: it runs alone.
// ctest-property: RUN_SERIAL TRUE
#include "trace.h"
#include "tracepipeserver.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using test::PrefixWordGuard;
using test::TracePipeServer;

std::string Hex(DWORD value) {
  char text[16];
  snprintf(text, sizeof text, "%lX", value);
  return text;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
  return s;
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.IsListening()) << ::GetLastError();
    // The process's pipe client may still hold a connection to an earlier test's server, or
    // be in its back-off second; trace until a line arrives here.
    bool connected = false;
    for (int k = 0; k < 60 && !connected; ++k) {
      std::string sync = "sync-" + std::to_string(k);
      TraceOut(TraceAreaDefault, TraceDetail, nullptr, 0, sync.c_str());
      connected = server_.TakeUntil(sync, nullptr, 250);
    }
    ASSERT_TRUE(connected);
    server_.Clear();
  }

  // Traces `text` and then a marker; answers the records in between.
  std::vector<std::string> Trace(uint32_t area, uint32_t type, const char* file, int line, const char* text) {
    TraceOut(area, type, file, line, text);
    return Collect();
  }
  std::vector<std::string> Collect() {
    std::string marker = "end-marker-" + std::to_string(++markers_);
    TraceOut(TraceAreaDefault, TraceDetail, nullptr, 0, marker.c_str());
    std::vector<std::string> records;
    EXPECT_TRUE(server_.TakeUntil(marker, &records));
    return records;
  }

  TracePipeServer server_;
  PrefixWordGuard guard_;
  int markers_ = 0;
};

TEST_F(TraceTest, PrefixPartsFollowTheSharedWord) {
  char user[64] = {};
  DWORD size = 32;
  ASSERT_TRUE(::GetUserNameA(user, &size));
  const struct {
    uint32_t word;
    const char* file;
    int line;
    const char* expected;
  } cases[] = {
      {0, "f.cpp", 7, "EX: text"},
      {0x1000, "f.cpp", 7, ": text"},
      {0xF000, "f.cpp", 7, "text"},
      {0x0001, "f.cpp", 7, "EX|0x{pid}: text"},
      {0x0002, "f.cpp", 7, "EX|0x{tid}: text"},
      {0x0004, "f.cpp", 7, "EX|trace_test: text"},
      {0x0007, "f.cpp", 7, "EX|0x{pid}|0x{tid}|trace_test: text"},
      {0x1007, "f.cpp", 7, "|0x{pid}|0x{tid}|trace_test: text"},
      {0xF001, "f.cpp", 7, "|0x{pid}: text"},
      {0x0020, "src\\dir\\f.cpp", 7, "EX|src\\dir\\f.cpp: text"},
      {0x0020, nullptr, 7, "EX|: text"},
      {0x0040, "f.cpp", 7, "EX|....7: text"},
      {0x0040, "f.cpp", 598, "EX|..598: text"},
      {0x0040, "f.cpp", 9999, "EX|.9999: text"},
      {0x0040, "f.cpp", 10000, "EX|10000: text"},
      {0x0040, "f.cpp", 12345, "EX|12345: text"},
      {0x0040, "f.cpp", -3, "EX|...-3: text"},
      {0x0040, nullptr, 7, "EX|: text"},
      {0x0060, "f.cpp", 7, "EX|f.cpp|....7: text"},
      {0x0100, "f.cpp", 7, "EX|{user}: text"},
      {0x0218, "f.cpp", 7, "EX: text"},  // bits without a part add nothing
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Hex(c.word));
    ASSERT_TRUE(SetTracePrefixFlags(c.word));
    std::vector<std::string> records = Trace(TraceAreaDefault, TraceDetail, c.file, c.line, "text");
    std::string expected = Replace(c.expected, "{pid}", Hex(::GetCurrentProcessId()));
    expected = Replace(expected, "{tid}", Hex(::GetCurrentThreadId()));
    expected = Replace(expected, "{user}", user);
    EXPECT_EQ(records, std::vector<std::string>{expected});
  }
}

TEST_F(TraceTest, LettersTellAreaAndType) {
  const struct {
    uint32_t area, type;
    const char* letters;
  } cases[] = {
      {0x1000, 1, "EE"}, {0x1000, 2, "EX"}, {0x2000, 1, "TT"}, {0x2000, 2, "TX"}, {0x3000, 4, "FM"},
      {0x4000, 8, "KS"}, {0x5000, 16, "CA"}, {0x6000, 32, "IW"}, {0x7000, 2, "EX"}, {0, 4, "EM"},
      {0x6000, 64, "II"}, {0x3000, 3, "FF"},
  };
  ASSERT_TRUE(SetTracePrefixFlags(0));
  for (const auto& c : cases) {
    SCOPED_TRACE(Hex(c.area) + "/" + Hex(c.type));
    EXPECT_EQ(Trace(c.area, c.type, nullptr, 0, "t"), std::vector<std::string>{std::string(c.letters) + ": t"});
  }
  // A type with a bit outside the thread's mask 0xFFF writes nothing.
  EXPECT_TRUE(Trace(0x1000, 0x1000, nullptr, 0, "masked").empty());
  EXPECT_TRUE(Trace(0x1000, 0x1002, nullptr, 0, "masked").empty());
}

TEST_F(TraceTest, TextIsSplitIntoOneRecordPerLine) {
  const struct {
    const char* text;
    std::vector<std::string> lines;
  } cases[] = {
      {"a\nb\n", {"a", "b"}},
      {"a\r\nb", {"a", "b"}},
      {"a\rb\r", {"a", "b"}},
      {"a\n\nb", {"a", "", "b"}},
      {"a\n\r\nb", {"a", "", "b"}},
      {"\n", {""}},
      {"", {}},
      {"one line", {"one line"}},
  };
  ASSERT_TRUE(SetTracePrefixFlags(0x1000));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> expected;
    for (const std::string& line : c.lines) expected.push_back(": " + line);
    EXPECT_EQ(Trace(TraceAreaDefault, TraceDetail, nullptr, 0, c.text), expected);
  }
  EXPECT_TRUE(Trace(TraceAreaDefault, TraceDetail, nullptr, 0, nullptr).empty());
}

// Long lines: records of at most 1024 bytes, each repeating the prefix, each cut on a UTF-8
// character boundary, together giving back the whole line.
TEST_F(TraceTest, LongLinesAreChunkedOnCharacterBoundaries) {
  const struct {
    const char* name;
    std::string character;
    size_t count;
  } cases[] = {
      {"two-byte", "\xC3\xA9", 1500},
      {"three-byte", "\xE2\x82\xAC", 1000},
      {"four-byte", "\xF0\x9F\x98\x80", 700},
      {"ascii", "a", 3000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text;
    for (size_t i = 0; i < c.count; ++i) text += c.character;
    std::vector<std::string> records = Trace(TraceAreaDefault, TraceDetail, "f.cpp", 1, text.c_str());
    ASSERT_GE(records.size(), 3u);
    const std::string prefix = records[0].substr(0, records[0].find(": ") + 2);
    std::string joined;
    for (const std::string& r : records) {
      EXPECT_LE(r.size(), 1024u);
      ASSERT_EQ(r.compare(0, prefix.size(), prefix), 0) << r.substr(0, 40);
      std::string body = r.substr(prefix.size());
      EXPECT_EQ(body.size() % c.character.size(), 0u);
      joined += body;
    }
    EXPECT_EQ(joined, text);
  }
}

TEST_F(TraceTest, MalformedTextAndHugePrefixesNeverStall) {
  // 3000 continuation bytes: no character boundary to move back to; all bytes still arrive.
  std::string bad(3000, '\x80');
  std::vector<std::string> records = Trace(TraceAreaDefault, TraceDetail, nullptr, 0, bad.c_str());
  ASSERT_TRUE(SetTracePrefixFlags(TracePrefixTextOnly));
  records = Trace(TraceAreaDefault, TraceDetail, nullptr, 0, bad.c_str());
  std::string joined;
  for (const std::string& r : records) {
    EXPECT_LE(r.size(), 1024u);
    joined += r;
  }
  EXPECT_EQ(joined, bad);

  // A source path that leaves two bytes for the text: a three-byte character cannot fit whole,
  // so the cut falls on the byte limit rather than looping on empty chunks.
  ASSERT_TRUE(SetTracePrefixFlags(TracePrefixNoLetters | TracePrefixFile));
  std::string file(1024 - 2 - 3, 'p');  // "|" + file + ": " = 1022 bytes
  const std::string euros = "\xE2\x82\xAC\xE2\x82\xAC";
  records = Trace(TraceAreaDefault, TraceDetail, file.c_str(), 1, euros.c_str());
  ASSERT_GE(records.size(), 3u);
  joined.clear();
  for (const std::string& r : records) {
    EXPECT_LE(r.size(), 1024u);
    joined += r.substr(1022);
  }
  EXPECT_EQ(joined, euros);

  // A prefix of 1024 bytes or more leaves no room: nothing is written.
  std::string longFile(1100, 'q');
  EXPECT_TRUE(Trace(TraceAreaDefault, TraceDetail, longFile.c_str(), 1, "lost").empty());
}

#if defined(_MSC_VER)
#define TEST_NOINLINE __declspec(noinline)
#else
#define TEST_NOINLINE __attribute__((noinline))
#endif

// Traces from below a frame of more than 8 KB.
TEST_NOINLINE void TraceDeeper(const char* text) {
  volatile char pad[8192];
  pad[0] = 1;
  pad[sizeof pad - 1] = pad[0];
  TraceOut(TraceAreaDefault, TraceDetail, nullptr, 0, text);
}

TEST_F(TraceTest, StackDepthGrowsWithTheCallersFrame) {
  ASSERT_TRUE(SetTracePrefixFlags(TracePrefixNoLetters | TracePrefixStack));
  std::vector<std::string> shallow = Trace(TraceAreaDefault, TraceDetail, nullptr, 0, "shallow");
  TraceDeeper("deep");
  std::vector<std::string> deep = Collect();
  ASSERT_EQ(shallow.size(), 1u);
  ASSERT_EQ(deep.size(), 1u);
  unsigned long a = 0, b = 0;
  ASSERT_EQ(sscanf(shallow[0].c_str(), "|%lu: shallow", &a), 1) << shallow[0];
  ASSERT_EQ(sscanf(deep[0].c_str(), "|%lu: deep", &b), 1) << deep[0];
  EXPECT_GE(b, a + 8192);
}

TEST_F(TraceTest, FormatBuffersRunOutAfterFourNestedUses) {
  const char* a = TraceFormat("%d-%s", 7, "x");
  const char* b = TraceFormat("b");
  const char* c = TraceFormat("c");
  const char* d = TraceFormat("d");
  ASSERT_TRUE(a && b && c && d);
  EXPECT_STREQ(a, "7-x");
  EXPECT_TRUE(a != b && b != c && c != d && a != d);
  const char* e = TraceFormat("e");
  EXPECT_EQ(e, nullptr);
  // The idiom with the null text writes nothing.
  EXPECT_TRUE(Trace(TraceAreaDefault, TraceDetail, nullptr, 0, e).empty());
  TraceFormatDone();
  const char* again = TraceFormat("again");
  ASSERT_NE(again, nullptr);
  EXPECT_STREQ(again, "again");
  for (int i = 0; i < 4; ++i) TraceFormatDone();
  TraceFormatDone();  // one release too many is harmless

  std::string big(2000, 'z');
  const char* cut = TraceFormat("%s", big.c_str());
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(strlen(cut), 1023u);
  TraceFormatDone();
}

// A scoped text releases exactly the buffer it took: nested texts are distinct and all four
// buffers are free again after their scope, and a text that found none free must leave the
// buffers of the outer texts held (releasing one would let the next text overwrite it).
TEST_F(TraceTest, ScopedTextsReleaseOnlyTheBufferTheyTook) {
  {
    TraceText outer("%d-%s", 7, "x");
    TraceText inner("[%s]", outer.c_str());
    ASSERT_TRUE(outer && inner);
    EXPECT_STREQ(outer.c_str(), "7-x");
    EXPECT_STREQ(inner.c_str(), "[7-x]");
  }
  const char* held[4];
  for (const char*& h : held) h = TraceFormat("held");
  ASSERT_TRUE(held[0] && held[1] && held[2] && held[3]) << "a scoped text kept its buffer";
  {
    TraceText none("none");
    EXPECT_FALSE(none);
    EXPECT_EQ(none.c_str(), nullptr);
  }
  const char* extra = TraceFormat("overwrites");
  EXPECT_EQ(extra, nullptr) << "the text without a buffer released one of the held ones";
  if (extra) TraceFormatDone();
  EXPECT_STREQ(held[3], "held");
  for (int i = 0; i < 4; ++i) TraceFormatDone();

  ::SetLastError(4321);
  {
    TraceText text("%s", "x");
    EXPECT_EQ(::GetLastError(), 4321u);
  }
  EXPECT_EQ(::GetLastError(), 4321u);
}

TEST_F(TraceTest, CallsLeaveTheLastErrorValueAlone) {
  ::SetLastError(1234);
  TraceOut(TraceAreaDefault, TraceDetail, "f.cpp", 1, "keeps the error");
  EXPECT_EQ(::GetLastError(), 1234u);
  TraceAssert(TraceAreaDefault, TraceError, "f.cpp", 1, "keeps the error");
  EXPECT_EQ(::GetLastError(), 1234u);
  const char* text = TraceFormat("%s", "x");
  EXPECT_EQ(::GetLastError(), 1234u);
  TraceOut(TraceAreaDefault, TraceDetail, nullptr, 0, text);
  TraceFormatDone();
  EXPECT_EQ(::GetLastError(), 1234u);
  EXPECT_EQ(Collect().size(), 3u);
}

TEST_F(TraceTest, RecordsOfManyThreadsArriveWhole) {
  ASSERT_TRUE(SetTracePrefixFlags(TracePrefixTextOnly));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) {
        const char* text = TraceFormat("thread %d line %d", t, i);
        TraceOut(TraceAreaDefault, TraceDetail, nullptr, 0, text);
        TraceFormatDone();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::vector<std::string> records = Collect();
  ASSERT_EQ(records.size(), 200u);
  std::vector<int> next(4, 0);
  for (const std::string& r : records) {
    int t = -1, i = -1;
    ASSERT_EQ(sscanf(r.c_str(), "thread %d line %d", &t, &i), 2) << r;
    ASSERT_TRUE(t >= 0 && t < 4);
    EXPECT_EQ(i, next[t]++);  // each thread's lines in order
  }
}

TEST_F(TraceTest, ThreadStateIsFreedAtThreadExit) {
  const uint32_t before = GetTraceStatistics().threadStates;
  uint32_t during = 0;
  std::thread worker([&] {
    TraceOut(TraceAreaDefault, TraceDetail, nullptr, 0, "from a short-lived thread");
    during = GetTraceStatistics().threadStates;
  });
  worker.join();
  EXPECT_EQ(during, before + 1);
  EXPECT_EQ(GetTraceStatistics().threadStates, before);
  Collect();
}

// A tracer of another process changes the word; the next line of this process follows it.
TEST_F(TraceTest, WordChangedByAnotherProcessAppliesToTheNextLine) {
  EXPECT_EQ(Trace(TraceAreaDefault, TraceDetail, "src\\x.cpp", 5, "before").size(), 1u);
  EXPECT_EQ(GetTracePrefixFlags(), TracePrefixDefault);
  test::ProcessResult set = test::RunProcess(L"\"" + test::ProgramPath(L"tracer") + L"\" --set-prefix 27", 30000);
  ASSERT_TRUE(set.finished);
  EXPECT_EQ(set.exitCode, 0u) << set.err;
  std::vector<std::string> after = Trace(TraceAreaDefault, TraceDetail, "src\\x.cpp", 5, "after");
  ASSERT_EQ(after.size(), 1u);
  std::string expected = "EX|0x" + Hex(::GetCurrentProcessId()) + "|0x" + Hex(::GetCurrentThreadId()) +
                         "|trace_test|src\\x.cpp: after";
  EXPECT_EQ(after[0], expected);
  test::ProcessResult show = test::RunProcess(L"\"" + test::ProgramPath(L"tracer") + L"\" --show-prefix", 30000);
  EXPECT_EQ(show.out, "0x27\r\n");
}

// The trace pipe is opened for identification only: a server (possibly planted by another
// user under the well-known name) cannot act as the writer.
TEST_F(TraceTest, PipeServerCannotImpersonateTheWriter) {
  int level = server_.ClientImpersonationLevel();
  // Wine ignores the client's quality of service: every pipe client is impersonated at
  // SecurityImpersonation (2), whatever CreateFile asked for. Windows gives the level the
  // writer allowed, SecurityIdentification (1); that is asserted off Wine only.
  if (::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) {
    EXPECT_NE(level, -1);
  } else {
    EXPECT_EQ(level, int(SecurityIdentification));
  }
}

// The shared section carries the rules of ProtectObjectForUsers: the user, LocalSystem and
// Administrators with full access, Everyone with the restricted access.
TEST_F(TraceTest, SharedWordSectionIsProtectedForUsers) {
  KernelHandle section(::OpenFileMappingW(READ_CONTROL, FALSE, L"ZevTraceMap"));
  ASSERT_TRUE(section) << ::GetLastError();
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  ASSERT_EQ(::GetSecurityInfo(section.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &raw),
            DWORD(ERROR_SUCCESS));
  LocalMemory descriptor(raw);
  char* sddl = nullptr;
  ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorA(raw, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                     &sddl, nullptr));
  std::string text = sddl;
  ::LocalFree(sddl);
  EXPECT_NE(text.find(";;;SY)"), std::string::npos) << text;
  EXPECT_NE(text.find(";;;BA)"), std::string::npos) << text;
  EXPECT_NE(text.find("(A;;0x1301bf;;;WD)"), std::string::npos) << text;
  ASSERT_NE(dacl, nullptr);
  EXPECT_EQ(dacl->AceCount, 4);
}

}  // namespace
