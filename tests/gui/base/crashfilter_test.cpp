// The crash filter and the exception guard: what a fault inside a guarded place reports, what
// the guard does with it, and that the process carries on (or, for exceptions that must not be
// swallowed, ends the Windows way).
//
// The reports are read from the debugger output (the library echoes every report to the trace
// channel, which falls back to OutputDebugStringA) through the machine's one DBWIN buffer.
// ctest-property: RUN_SERIAL TRUE
#include "error.h"
#include "format.h"
#include "debugoutput.h"
// The guard and the filter are private to the library; the test reaches its header directly.
#include "../../../gui/base/source/system.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wformat"
#endif

namespace {

// Addresses that are never mapped: a caller's wild pointers.
const char* const kWild = reinterpret_cast<const char*>(0x10);
const wchar_t* const kWildW = reinterpret_cast<const wchar_t*>(0x10);

const wchar_t kCrashChild[] = L"CINDRAVALE_CRASHFILTER_CRASH_CHILD";

// Faults the way a broken caller's pointer does. The addresses are read from volatile
// variables so that the compiler cannot see (and warn about, or drop) the wild access.
volatile uintptr_t g_readAddress = 0x10;
volatile uintptr_t g_writeAddress = 0x20;
void ReadWild(void*) { (void)*reinterpret_cast<volatile const char*>(g_readAddress); }
void Nothing(void*) {}
void WriteWild(void*) { *reinterpret_cast<volatile char*>(g_writeAddress) = 1; }
// Raises `code` with the given flags; for access violations the two parameters the system adds.
struct Raise {
  DWORD code;
  DWORD flags;
  DWORD count;
  ULONG_PTR info[2];
};
void RaiseIt(void* context) {
  const Raise* r = static_cast<const Raise*>(context);
  ::RaiseException(r->code, r->flags, r->count, r->count ? r->info : nullptr);
}

// ---------------------------------------------------------------------------------------------
// Names and dispositions, straight from the filter

struct NameCase {
  DWORD code;
  const char* name;  // null: no name
};

class ExceptionNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(ExceptionNames, NameTheCode) {
  const char* name = ExceptionNameOf(GetParam().code);
  if (GetParam().name)
    EXPECT_STREQ(name, GetParam().name);
  else
    EXPECT_EQ(name, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Table, ExceptionNames,
                         ::testing::Values(NameCase{0x00000102, "TIMEOUT"}, NameCase{0x00000103, "PENDING"},
                                           NameCase{0x40000005, "SEGMENT_NOTIFICATION"},
                                           NameCase{0x80000001, "GUARD_PAGE_VIOLATION"},
                                           NameCase{0x80000003, "BREAKPOINT"},
                                           NameCase{0xC0000005, "ACCESS_VIOLATION"},
                                           NameCase{0xC0000025, "NONCONTINUABLE_EXCEPTION"},
                                           NameCase{0xC0000094, "INTEGER_DIVIDE_BY_ZERO"},
                                           NameCase{0xC00000FD, "STACK_OVERFLOW"},
                                           NameCase{0xC000013A, "CONTROL_C_EXIT"},
                                           NameCase{0xC00002C9, "REG_NAT_CONSUMPTION"}, NameCase{0, nullptr},
                                           NameCase{0xE06D7363, nullptr}, NameCase{0x40010006, nullptr},
                                           NameCase{0xC0000004, nullptr}));

struct DispositionCase {
  const char* name;
  bool withRecord;
  DWORD code;
  DWORD flags;
  int disposition;
  int expected;
};

void PrintTo(const DispositionCase& c, std::ostream* os) { *os << c.name; }

class FilterDisposition : public ::testing::TestWithParam<DispositionCase> {};

TEST_P(FilterDisposition, DecidesTheGuardsCourse) {
  const DispositionCase& c = GetParam();
  EXCEPTION_RECORD record{};
  record.ExceptionCode = c.code;
  record.ExceptionFlags = c.flags;
  CONTEXT context{};
  EXCEPTION_POINTERS pointers{&record, &context};
  ::SetLastError(4711);
  EXPECT_EQ(ExceptionFilter("test", c.withRecord ? &pointers : nullptr, c.disposition), c.expected);
  EXPECT_EQ(::GetLastError(), 4711u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FilterDisposition,
    ::testing::Values(
        DispositionCase{"access violation is handled", true, 0xC0000005, 0, EXCEPTION_EXECUTE_HANDLER,
                        EXCEPTION_EXECUTE_HANDLER},
        DispositionCase{"runtime exception without a name is handled", true, 0xE06D7363, 0, EXCEPTION_EXECUTE_HANDLER,
                        EXCEPTION_EXECUTE_HANDLER},
        DispositionCase{"non-continuable is passed on", true, 0xC0000005, EXCEPTION_NONCONTINUABLE,
                        EXCEPTION_EXECUTE_HANDLER, EXCEPTION_CONTINUE_SEARCH},
        DispositionCase{"non-continuable nested in another dispatch is passed on", true, 0xE0001234,
                        EXCEPTION_NONCONTINUABLE | EXCEPTION_NESTED_CALL, EXCEPTION_EXECUTE_HANDLER,
                        EXCEPTION_CONTINUE_SEARCH},
        DispositionCase{"stack overflow is passed on", true, 0xC00000FD, 0, EXCEPTION_EXECUTE_HANDLER,
                        EXCEPTION_CONTINUE_SEARCH},
        DispositionCase{"other dispositions stand: continue search", true, 0xC0000005, 0, EXCEPTION_CONTINUE_SEARCH,
                        EXCEPTION_CONTINUE_SEARCH},
        DispositionCase{"other dispositions stand: continue execution", true, 0xC0000005, EXCEPTION_NONCONTINUABLE,
                        EXCEPTION_CONTINUE_EXECUTION, EXCEPTION_CONTINUE_EXECUTION},
        DispositionCase{"no record", false, 0, 0, EXCEPTION_EXECUTE_HANDLER, EXCEPTION_EXECUTE_HANDLER}));

// ---------------------------------------------------------------------------------------------
// The guard in this process

TEST(Guard, BodyThatReturnsCompletes) {
  int calls = 0;
  EXPECT_TRUE(RunGuarded("test", [&] { ++calls; }));
  EXPECT_EQ(calls, 1);
}

TEST(Guard, FaultIsHandledAndTheCallerGoesOn) {
  EXPECT_FALSE(RunGuarded("test", ReadWild, nullptr));
  EXPECT_FALSE(RunGuarded("test", WriteWild, nullptr));
  EXPECT_FALSE(RunGuarded(nullptr, ReadWild, nullptr));
  EXPECT_TRUE(RunGuarded("test", [] {}));
}

TEST(Guard, CallerSeesTheLastErrorTheBodyLeft) {
  EXPECT_FALSE(RunGuarded("test", [] {
    ::SetLastError(1234);
    ReadWild(nullptr);
  }));
  EXPECT_EQ(::GetLastError(), 1234u);
  EXPECT_TRUE(RunGuarded("test", [] { ::SetLastError(5678); }));
  EXPECT_EQ(::GetLastError(), 5678u);
}

// What the guarded code handles itself is none of the guard's business: a C++ exception caught
// inside the body, and the exception through which the system hands debugger output on.
TEST(Guard, ExceptionsTheBodyHandlesNeverReachTheFilter) {
  bool caught = false;
  EXPECT_TRUE(RunGuarded("test", [&] {
    try {
      throw std::runtime_error("inside");
    } catch (const std::runtime_error&) {
      caught = true;
    }
  }));
  EXPECT_TRUE(caught);
  int after = 0;
  EXPECT_TRUE(RunGuarded("test", [&] {
    ::OutputDebugStringA("crashfilter_test: debugger output inside a guard\n");
    after = 1;
  }));
  EXPECT_EQ(after, 1);
}

struct NestingCase {
  const char* name;
  bool innerFaults;
  bool outerFaultsAfterInner;
  bool innerResult;
  bool outerResult;
};

void PrintTo(const NestingCase& c, std::ostream* os) { *os << c.name; }

class GuardNesting : public ::testing::TestWithParam<NestingCase> {};

TEST_P(GuardNesting, InnermostGuardHandlesItsOwnFault) {
  const NestingCase& c = GetParam();
  bool innerResult = !c.innerResult;
  bool reachedAfterInner = false;
  bool outerResult = RunGuarded("outer", [&] {
    innerResult = RunGuarded("inner", c.innerFaults ? ReadWild : Nothing, nullptr);
    reachedAfterInner = true;
    if (c.outerFaultsAfterInner) WriteWild(nullptr);
  });
  EXPECT_EQ(innerResult, c.innerResult);
  EXPECT_TRUE(reachedAfterInner);
  EXPECT_EQ(outerResult, c.outerResult);
}

INSTANTIATE_TEST_SUITE_P(Table, GuardNesting,
                         ::testing::Values(NestingCase{"neither faults", false, false, true, true},
                                           NestingCase{"inner faults", true, false, false, true},
                                           NestingCase{"outer faults after the inner returned", false, true, true, false},
                                           NestingCase{"both fault", true, true, false, false}));

TEST(Guard, ThreeDeepWithFormattingInside) {
  Str out;
  bool middle = false, inner = false;
  bool outer = RunGuarded("outer", [&] {
    middle = RunGuarded("middle", [&] {
      inner = RunGuarded("inner", ReadWild, nullptr);
      StrFormat(out, "[%s]", kWild);  // a fourth guard, inside the formatter
    });
  });
  EXPECT_TRUE(outer);
  EXPECT_TRUE(middle);
  EXPECT_FALSE(inner);
  EXPECT_STREQ(out.c_str(), "[(error)]");
}

// Several threads fault at the same time, each in its own guards; afterwards the process works
// as before: formatting, C++ exceptions and new threads.
TEST(Guard, ManyThreadsFaultAtOnceAndTheProcessCarriesOn) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 40;
  std::atomic<int> ready{0};
  std::vector<int> good(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // All threads start faulting together.
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < kRounds; ++i) {
        Str out;
        bool formatted = StrFormat(out, "%d:%s:%d", t, kWild, i) &&
                         out.c_str() == std::to_string(t) + ":(error):" + std::to_string(i);
        bool guarded = !RunGuarded("thread", (i & 1) ? ReadWild : WriteWild, nullptr);
        if (formatted && guarded) ++good[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(good[t], kRounds) << "thread " << t;

  Str out;
  ASSERT_TRUE(StrFormat(out, "%s %d", "carries on", 42));
  EXPECT_STREQ(out.c_str(), "carries on 42");
  EXPECT_THROW(throw std::runtime_error("still unwinds"), std::runtime_error);
  std::thread later([&] { EXPECT_TRUE(RunGuarded("later", [] {})); });
  later.join();
}

// ---------------------------------------------------------------------------------------------
// What the filter reports, read back from this process's debugger output

struct ReportCase {
  const char* name;
  void (*run)();
  std::vector<std::string> contexts;  // every report's context field, in order ("-": none)
  // The last report:
  const char* firstTrace;   // regular expression for its first trace line
  const char* secondTrace;  // its access line, or null when there is none
  std::vector<std::pair<std::string, std::string>> fields;  // value: regular expression
};

void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

// The 64-bit address as the library's "%p" writes it.
const char kAnyAddress[] = "0x[0-9A-F]{16}";
const char kReportLine[] = "ReportEvent: QELGUI-00400: Exception occured";

std::string Escaped(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

// The report's fields as its text form carries them: one "qelgui.NAME: VALUE" line each.
std::vector<std::pair<std::string, std::string>> ReportFields(const std::vector<std::string>& lines, size_t from) {
  std::vector<std::pair<std::string, std::string>> fields;
  for (size_t i = from; i < lines.size(); ++i) {
    // Continuation lines of the trace echo are indented by two blanks.
    std::string line = lines[i].rfind("  ", 0) == 0 ? lines[i].substr(2) : lines[i];
    if (line.rfind("qelgui.", 0) != 0) break;
    size_t colon = line.find(": ");
    std::string name = line.substr(7, (colon == std::string::npos ? line.size() : colon) - 7);
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
    fields.emplace_back(name, value);
  }
  return fields;
}

std::string ContextOf(const std::vector<std::pair<std::string, std::string>>& fields) {
  for (const auto& field : fields)
    if (field.first == "context") return field.second;
  return "-";
}

void FormatWild() {
  Str out;
  StrFormat(out, "%s", kWild);
  EXPECT_STREQ(out.c_str(), "(error)");
}
void FormatWildWide() {
  Str out;
  StrFormat(out, "%ls", kWildW);
  EXPECT_STREQ(out.c_str(), "(error)");
}

const char kReadAt10[] = "Could not read at address 0x0000000000000010";
const char kReadAt10Trace[] = "ExceptionFilter: Could not read at address 0x0000000000000010";

class FilterReport : public ::testing::TestWithParam<ReportCase> {};

TEST_P(FilterReport, TracesAndReportsEvent400WithItsFields) {
  const ReportCase& c = GetParam();
  test::DebugOutputListener listener;
  ASSERT_TRUE(listener.IsListening());
  const DWORD self = ::GetCurrentProcessId();
  c.run();
  ::OutputDebugStringA("crashfilter-case-end\n");
  ASSERT_TRUE(listener.WaitFor("crashfilter-case-end", self, 20000)) << listener.TextOf(self);
  const std::string text = listener.TextOf(self);
  const std::vector<std::string> lines = test::SplitLines(text);

  std::vector<std::string> contexts;
  size_t report = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != kReportLine) continue;
    contexts.push_back(ContextOf(ReportFields(lines, i + 1)));
    report = i;
  }
  EXPECT_EQ(contexts, c.contexts) << text;
  ASSERT_LT(report, lines.size()) << text;

  // The last report's trace lines come just before it: the first line, then the access line.
  size_t first = report;
  while (first > 0 && lines[first].rfind("ExceptionFilter: ", 0) != 0) --first;
  if (c.secondTrace) {
    EXPECT_EQ(lines[first], c.secondTrace);
    ASSERT_GT(first, 0u);
    --first;
  }
  EXPECT_TRUE(std::regex_match(lines[first], std::regex(c.firstTrace))) << lines[first];

  auto fields = ReportFields(lines, report + 1);
  ASSERT_EQ(fields.size(), c.fields.size()) << text;
  for (size_t f = 0; f < fields.size(); ++f) {
    EXPECT_EQ(fields[f].first, c.fields[f].first);
    EXPECT_TRUE(std::regex_match(fields[f].second, std::regex(c.fields[f].second)))
        << fields[f].first << ": " << fields[f].second;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FilterReport,
    ::testing::Values(
        // The formatter measures a text before it formats it, so a wild "%s" faults in both.
        ReportCase{"StrFormat %s with address 0x10",
                   FormatWild,
                   {"FmtGetWidth", "qelvsnprintf"},
                   R"(ExceptionFilter: Exception 0xC0000005 \(ACCESS_VIOLATION\) at address 0x[0-9A-F]{16} \(qelvsnprintf\))",
                   kReadAt10Trace,
                   {{"type", "Exception"},
                    {"code", "3221225477"},
                    {"error", "ACCESS_VIOLATION"},
                    {"address", kAnyAddress},
                    {"context", "qelvsnprintf"},
                    {"exceptioninfo", kReadAt10}}},
        ReportCase{"StrFormat %ls with address 0x10",
                   FormatWildWide,
                   {"FmtGetWidth", "qelvsnwprintf"},
                   R"(ExceptionFilter: Exception 0xC0000005 \(ACCESS_VIOLATION\) at address 0x[0-9A-F]{16} \(qelvsnwprintf\))",
                   kReadAt10Trace,
                   {{"type", "Exception"},
                    {"code", "3221225477"},
                    {"error", "ACCESS_VIOLATION"},
                    {"address", kAnyAddress},
                    {"context", "qelvsnwprintf"},
                    {"exceptioninfo", kReadAt10}}},
        ReportCase{"write fault",
                   [] { EXPECT_FALSE(RunGuarded("writer", WriteWild, nullptr)); },
                   {"writer"},
                   R"(ExceptionFilter: Exception 0xC0000005 \(ACCESS_VIOLATION\) at address 0x[0-9A-F]{16} \(writer\))",
                   "ExceptionFilter: Could not write at address 0x0000000000000020",
                   {{"type", "Exception"},
                    {"code", "3221225477"},
                    {"error", "ACCESS_VIOLATION"},
                    {"address", kAnyAddress},
                    {"context", "writer"},
                    {"exceptioninfo", "Could not write at address 0x0000000000000020"}}},
        ReportCase{"no context name",
                   [] { EXPECT_FALSE(RunGuarded(nullptr, ReadWild, nullptr)); },
                   {"-"},
                   R"(ExceptionFilter: Exception 0xC0000005 \(ACCESS_VIOLATION\) at address 0x[0-9A-F]{16})",
                   kReadAt10Trace,
                   {{"type", "Exception"},
                    {"code", "3221225477"},
                    {"error", "ACCESS_VIOLATION"},
                    {"address", kAnyAddress},
                    {"exceptioninfo", kReadAt10}}},
        ReportCase{"execute access kind",
                   [] {
                     Raise r{EXCEPTION_ACCESS_VIOLATION, 0, 2, {8, 0x40}};
                     EXPECT_FALSE(RunGuarded("exec", RaiseIt, &r));
                   },
                   {"exec"},
                   R"(ExceptionFilter: Exception 0xC0000005 \(ACCESS_VIOLATION\) at address 0x[0-9A-F]{16} \(exec\))",
                   nullptr,
                   {{"type", "Exception"},
                    {"code", "3221225477"},
                    {"error", "ACCESS_VIOLATION"},
                    {"address", kAnyAddress},
                    {"context", "exec"},
                    {"exceptioninfo", ""}}},
        ReportCase{"code without a name",
                   [] {
                     Raise r{0xE06D7363, 0, 0, {}};
                     EXPECT_FALSE(RunGuarded("runtime", RaiseIt, &r));
                   },
                   {"runtime"},
                   R"(ExceptionFilter: Exception 0xE06D7363 \(\) at address 0x[0-9A-F]{16} \(runtime\))",
                   nullptr,
                   {{"type", "Exception"},
                    {"code", "3765269347"},
                    {"error", Escaped(GetErrorText(0xE06D7363).c_str())},
                    {"address", kAnyAddress},
                    {"context", "runtime"}}},
        ReportCase{"integer division by zero",
                   [] {
                     Raise r{EXCEPTION_INT_DIVIDE_BY_ZERO, 0, 0, {}};
                     EXPECT_FALSE(RunGuarded("divide", RaiseIt, &r));
                   },
                   {"divide"},
                   R"(ExceptionFilter: Exception 0xC0000094 \(INTEGER_DIVIDE_BY_ZERO\) at address 0x[0-9A-F]{16} \(divide\))",
                   nullptr,
                   {{"type", "Exception"},
                    {"code", "3221225620"},
                    {"error", "INTEGER_DIVIDE_BY_ZERO"},
                    {"address", kAnyAddress},
                    {"context", "divide"}}},
        ReportCase{"nested: only the inner guard sees its fault",
                   [] {
                     bool inner = true;
                     EXPECT_TRUE(RunGuarded("outer", [&] { inner = RunGuarded("inner", ReadWild, nullptr); }));
                     EXPECT_FALSE(inner);
                   },
                   {"inner"},
                   R"(ExceptionFilter: Exception 0xC0000005 \(ACCESS_VIOLATION\) at address 0x[0-9A-F]{16} \(inner\))",
                   kReadAt10Trace,
                   {{"type", "Exception"},
                    {"code", "3221225477"},
                    {"error", "ACCESS_VIOLATION"},
                    {"address", kAnyAddress},
                    {"context", "inner"},
                    {"exceptioninfo", kReadAt10}}}));

// ---------------------------------------------------------------------------------------------
// Exceptions that must not be swallowed: the child ends with the exception's code.

struct PassOnCase {
  const char* name;
  DWORD code;
  DWORD flags;
  bool nested;  // raised inside two guards
};

void PrintTo(const PassOnCase& c, std::ostream* os) { *os << c.name; }

// The child's own unhandled-exception filter proves that the exception reached the process's
// unhandled-exception handling; it then lets the system end the process as usual.
LONG WINAPI NoteUnhandled(EXCEPTION_POINTERS* pointers) {
  char line[64];
  int n = snprintf(line, sizeof line, "unhandled 0x%08lX\n",
                   static_cast<unsigned long>(pointers->ExceptionRecord->ExceptionCode));
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(n), &written, nullptr);
  return EXCEPTION_CONTINUE_SEARCH;
}

TEST(PassOnChild, DISABLED_Raise) {
  wchar_t value[64];
  if (!::GetEnvironmentVariableW(kCrashChild, value, 64)) GTEST_SKIP() << "runs only as a child of PassOn";
  unsigned long code = 0, flags = 0, nested = 0;
  ASSERT_EQ(swscanf(value, L"%lx,%lx,%lu", &code, &flags, &nested), 3);
  printf("pid %lu\n", ::GetCurrentProcessId());
  fflush(stdout);
  ::SetUnhandledExceptionFilter(NoteUnhandled);
  // No error box on Windows; the exit code is the exception's.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  Raise r{static_cast<DWORD>(code), static_cast<DWORD>(flags), 0, {}};
  if (nested)
    RunGuarded("outer", [&] { RunGuarded("inner", RaiseIt, &r); });
  else
    RunGuarded("passon", RaiseIt, &r);
  printf("guard returned\n");
  fflush(stdout);
}

test::ProcessResult RunPassOnChild(const PassOnCase& c) {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  wchar_t setting[96];
  swprintf(setting, 96, L"%ls=%lx,%lx,%d", kCrashChild, static_cast<unsigned long>(c.code),
           static_cast<unsigned long>(c.flags), c.nested ? 1 : 0);
  // Bounded: a child that hangs (a crash dialog, a debugger waiting) is killed and fails the test.
  return test::RunProcess(
      L"\"" + std::wstring(self) + L"\" --gtest_also_run_disabled_tests --gtest_filter=PassOnChild.DISABLED_Raise", 60000,
      {setting});
}

class PassOn : public ::testing::TestWithParam<PassOnCase> {};

TEST_P(PassOn, ChildEndsWithTheExceptionCode) {
  const PassOnCase& c = GetParam();
  test::ProcessResult r = RunPassOnChild(c);
  ASSERT_TRUE(r.started);
  ASSERT_TRUE(r.finished) << "child did not end: " << r.out;
  EXPECT_EQ(r.exitCode, c.code) << std::hex << r.exitCode << "\n" << r.out;
  char expected[64];
  snprintf(expected, sizeof expected, "unhandled 0x%08lX", static_cast<unsigned long>(c.code));
  EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("guard returned"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PassOn,
    ::testing::Values(PassOnCase{"non-continuable", 0xE0C0FFEE, EXCEPTION_NONCONTINUABLE, false},
                      PassOnCase{"non-continuable access violation", 0xC0000005, EXCEPTION_NONCONTINUABLE, false},
                      PassOnCase{"stack overflow", 0xC00000FD, 0, false},
                      PassOnCase{"non-continuable through two guards", 0xE0C0FFEE, EXCEPTION_NONCONTINUABLE, true}));

// Passed on, but reported first, once by each guard the exception went through.
TEST(PassOnReport, NonContinuableIsReportedThenPassedOn) {
  test::DebugOutputListener listener;
  ASSERT_TRUE(listener.IsListening());
  test::ProcessResult r = RunPassOnChild({"nested", 0xE0C0FFEE, EXCEPTION_NONCONTINUABLE, true});
  ASSERT_TRUE(r.finished) << r.out;
  EXPECT_EQ(r.exitCode, 0xE0C0FFEEu);
  std::smatch found;
  ASSERT_TRUE(std::regex_search(r.out, found, std::regex(R"((^|\n)pid (\d+))"))) << r.out;
  const DWORD pid = static_cast<DWORD>(std::stoul(found[2].str()));
  ASSERT_TRUE(listener.WaitFor("qelgui.context: outer", pid, 20000)) << listener.TextOf(pid);
  const std::string text = listener.TextOf(pid);
  const std::vector<std::string> lines = test::SplitLines(text);
  std::vector<std::string> contexts;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != kReportLine) continue;
    auto fields = ReportFields(lines, i + 1);
    ASSERT_EQ(fields.size(), 5u) << text;
    EXPECT_EQ(fields[0].second, "Non-continuable exception");
    EXPECT_EQ(fields[1].second, "3770744814");
    EXPECT_EQ(fields[2].second, GetErrorText(0xE0C0FFEE).c_str());
    contexts.push_back(ContextOf(fields));
  }
  EXPECT_EQ(contexts, (std::vector<std::string>{"inner", "outer"})) << text;
  EXPECT_TRUE(std::regex_search(
      text, std::regex(R"(ExceptionFilter: Non-continuable exception 0xE0C0FFEE \(\) at address 0x[0-9A-F]{16} \(inner\))")))
      << text;
}

}  // namespace
