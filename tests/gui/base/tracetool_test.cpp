// The developer tracer program: listening, several clients, the prefix word, exit codes.
// A pipe server or prefix word of this test takes every process's trace lines: it runs alone.
// ctest-property: RUN_SERIAL TRUE
#include "trace.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring Tracer(const std::wstring& arguments) {
  return L"\"" + test::ProgramPath(L"tracer") + L"\" " + arguments;
}

bool WaitForListeningPipe() {
  for (int i = 0; i < 500; ++i) {
    if (::WaitNamedPipeA("\\\\.\\pipe\\ZevTracePipe", 100)) return true;
    ::Sleep(40);
  }
  return false;
}

TEST(TracerTool, BadArgumentsShowTheUsage) {
  const wchar_t* cases[] = {L"--bogus",           L"--count",        L"--count 0",    L"--count x",
                            L"--set-prefix zz",   L"--set-prefix 123456789",         L"--seconds -1",
                            L"--show-prefix --count 3", L"--send x --out y", L"--set-prefix"};
  for (const wchar_t* arguments : cases) {
    SCOPED_TRACE(test::Narrow(arguments));
    test::ProcessResult r = test::RunProcess(Tracer(arguments), 30000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_NE(r.err.find("usage: tracer"), std::string::npos);
  }
  test::ProcessResult help = test::RunProcess(Tracer(L"--help"), 30000);
  EXPECT_EQ(help.exitCode, 0u);
  EXPECT_NE(help.out.find("--set-prefix HEX"), std::string::npos);
}

TEST(TracerTool, PrintsTheRecordsOfSeveralClientsAndWritesThemToAFile) {
  test::TempDir dir;
  const std::wstring out = dir.Join(L"records.txt");
  test::ProcessResult listener;
  // Services of other tests in this prefix trace into whatever tracer listens, so the tool runs
  // for a fixed time and the test looks for its own three records among all.
  std::thread run([&] { listener = test::RunProcess(Tracer(L"--count 1000 --seconds 12 --out \"" + out + L"\""), 90000); });
  if (!WaitForListeningPipe()) {
    ADD_FAILURE() << "the tracer does not listen";
    run.join();
    return;
  }

  // A second tracer cannot take the pipe while this one listens.
  test::ProcessResult second = test::RunProcess(Tracer(L"--seconds 1"), 30000);
  EXPECT_EQ(second.exitCode, 3u) << second.err;

  // Three clients at once, each its own process and connection.
  std::vector<std::thread> senders;
  const char* words[] = {"one", "two", "three"};
  for (const char* word : words) {
    senders.emplace_back([word] { test::RunProcess(Tracer(L"--send " + test::Widen(word)), 30000); });
  }
  for (std::thread& t : senders) t.join();
  run.join();
  ASSERT_TRUE(listener.finished);
  EXPECT_EQ(listener.exitCode, 1u) << listener.err;  // the time ran out before 1000 records

  std::vector<std::string> printed = test::SplitLines(listener.out);
  std::vector<std::string> texts;
  for (const std::string& line : printed) {
    if (line.find("|tracer: ") == std::string::npos) continue;  // another program's record
    EXPECT_EQ(line.rfind("EX|0x", 0), 0u) << line;
    texts.push_back(line.substr(line.find(": ") + 2));
  }
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{"one", "three", "two"}));

  std::string file;
  ASSERT_TRUE(test::ReadFileBytes(out, &file));
  EXPECT_EQ(test::SplitLines(file), printed);
}

TEST(TracerTool, EndsWithZeroAfterTheCount) {
  test::ProcessResult listener;
  std::thread run([&] { listener = test::RunProcess(Tracer(L"--count 1 --seconds 60"), 90000); });
  if (!WaitForListeningPipe()) {
    ADD_FAILURE() << "the tracer does not listen";
    run.join();
    return;
  }
  test::RunProcess(Tracer(L"--send counted"), 30000);
  run.join();
  ASSERT_TRUE(listener.finished);
  EXPECT_EQ(listener.exitCode, 0u) << listener.err;
  EXPECT_EQ(test::SplitLines(listener.out).size(), 1u) << listener.out;
}

TEST(TracerTool, TimeLimitBeforeTheCountEndsWithOne) {
  test::ProcessResult r = test::RunProcess(Tracer(L"--count 5 --seconds 1"), 30000);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exitCode, 1u) << r.err;
}

TEST(TracerTool, SetsAndShowsTheSharedWord) {
  // This process keeps the section mapped, so the word survives the tracer's exit.
  ASSERT_EQ(GetTracePrefixFlags(), TracePrefixDefault);
  const struct {
    const wchar_t* argument;
    uint32_t word;
    const char* shown;
  } cases[] = {{L"0x1000", 0x1000, "0x1000\r\n"}, {L"F000", 0xF000, "0xF000\r\n"}, {L"127", 0x127, "0x127\r\n"},
               {L"0", 0, "0x0\r\n"}, {L"7", 7, "0x7\r\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(test::Narrow(c.argument));
    test::ProcessResult set = test::RunProcess(Tracer(L"--set-prefix " + std::wstring(c.argument)), 30000);
    EXPECT_EQ(set.exitCode, 0u) << set.err;
    EXPECT_EQ(GetTracePrefixFlags(), c.word);
    test::ProcessResult show = test::RunProcess(Tracer(L"--show-prefix"), 30000);
    EXPECT_EQ(show.out, c.shown);
  }
  SetTracePrefixFlags(TracePrefixDefault);
}

}  // namespace
