// Test helper (header only): runs tests of this test program (or of a copy of it) in a child
// process with its own environment settings, under the Win32 debugging API, and collects its
// standard output, its standard error and its debugger output. The base library echoes every report to the trace
// channel, which falls back to OutputDebugStringA when no tracer listens; a debugger receives
// those lines privately (no machine-wide DBWIN buffer that a parallel test could take them
// from). Settings that a process reads once at start (the allocator switch, the lock
// thresholds, the log type) can only be tried this way.
#pragma once

#include "handles.h"
#include "testsupport.h"
#include "win.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace test {

struct ChildResult {
  bool started = false;
  DWORD processId = 0;
  DWORD exitCode = 0;
  std::string out;
  std::string err;
  std::string debugOutput;  // every OutputDebugString text of the child, in order, without trace prefixes
};

// One environment change for the child: an empty value removes the variable.
using EnvironmentSetting = std::pair<std::wstring, std::wstring>;

// This test program's own path.
inline std::wstring SelfPath() {
  wchar_t self[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  return std::wstring(self, n);
}

// Runs `commandLine` with the environment changes as a child under this process's debugger.
// With `withStdout` false the child has no standard output handle at all (as a service has none).
inline ChildResult RunUnderDebugger(const std::wstring& commandLine, const std::vector<EnvironmentSetting>& environment,
                                    bool withStdout = true) {
  ChildResult result;
  TempDir folder;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  auto open = [&](const wchar_t* name) {
    return FileHandle(::CreateFileW(folder.Join(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  };
  FileHandle out = open(L"out.txt");
  FileHandle err = open(L"err.txt");
  if (!out || !err) return result;

  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(0);

  // The child inherits this process's environment with the changes; they are undone at once.
  std::vector<std::pair<std::wstring, std::wstring>> saved;
  std::vector<bool> wasSet;
  for (const EnvironmentSetting& setting : environment) {
    wchar_t old[4096];
    DWORD n = ::GetEnvironmentVariableW(setting.first.c_str(), old, 4096);
    wasSet.push_back(n > 0 && n < 4096);
    saved.emplace_back(setting.first, wasSet.back() ? std::wstring(old, n) : std::wstring());
    ::SetEnvironmentVariableW(setting.first.c_str(), setting.second.empty() ? nullptr : setting.second.c_str());
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = withStdout ? out.Get() : nullptr;
  startup.hStdError = err.Get();
  PROCESS_INFORMATION process{};
  result.started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                                    nullptr, &startup, &process) != FALSE;
  for (size_t i = 0; i < saved.size(); ++i)
    ::SetEnvironmentVariableW(saved[i].first.c_str(), wasSet[i] ? saved[i].second.c_str() : nullptr);
  if (!result.started) return result;
  result.processId = process.dwProcessId;
  KernelHandle processHandle(process.hProcess);
  KernelHandle threadHandle(process.hThread);

  for (;;) {
    DEBUG_EVENT event{};
    if (!::WaitForDebugEvent(&event, 120000)) break;
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile) ::CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) ::CloseHandle(event.u.LoadDll.hFile);
        break;
      case EXCEPTION_DEBUG_EVENT:
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
          status = DBG_EXCEPTION_NOT_HANDLED;
        break;
      case OUTPUT_DEBUG_STRING_EVENT: {
        const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
        if (!info.fUnicode && info.nDebugStringLength > 0) {
          std::string text(info.nDebugStringLength, '\0');
          SIZE_T read = 0;
          ::ReadProcessMemory(processHandle.Get(), info.lpDebugStringData, text.data(), text.size(), &read);
          text.resize(read);
          while (!text.empty() && text.back() == '\0') text.pop_back();
          result.debugOutput += test::WithoutTracePrefixes(text);
        }
        break;
      }
      default:
        break;
    }
    const bool exited = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
    if (exited) result.exitCode = event.u.ExitProcess.dwExitCode;
    ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    if (exited) break;
  }
  ::WaitForSingleObject(processHandle.Get(), 30000);
  out.Reset();
  err.Reset();
  ReadFileBytes(folder.Join(L"out.txt"), &result.out);
  ReadFileBytes(folder.Join(L"err.txt"), &result.err);
  return result;
}

// Runs `program` (a copy of this test program, or this program itself) with the tests that
// `filter` selects and the environment changes. Tests that only make sense as a child carry the
// DISABLED_ prefix, so that a run of the program itself neither runs nor counts them; the child
// is told to run them.
inline ChildResult RunChildProgramTest(const std::wstring& program, const wchar_t* filter,
                                       const std::vector<EnvironmentSetting>& environment, bool withStdout = true) {
  return RunUnderDebugger(L"\"" + program + L"\" --gtest_also_run_disabled_tests --gtest_filter=" + filter,
                          environment, withStdout);
}

// This program itself as the child.
inline ChildResult RunChildTest(const wchar_t* filter, const std::vector<EnvironmentSetting>& environment,
                                bool withStdout = true) {
  return RunChildProgramTest(SelfPath(), filter, environment, withStdout);
}

// The common form: the child test runs only when the variable `childMarker` is set (see
// IsChildRun), here to 1, besides the other changes.
inline ChildResult RunTestInChild(const wchar_t* filter, const wchar_t* childMarker,
                                  std::vector<EnvironmentSetting> environment = {}) {
  environment.emplace_back(childMarker, L"1");
  return RunChildTest(filter, environment);
}

// A report a child must make: its id, its message and its own fields, compared exactly. The
// fields that every report carries after its own (source, category, process and version) are
// left out.
struct ExpectedReport {
  std::string id;
  std::string message;
  std::vector<std::pair<std::string, std::string>> fields;
};

// A child test and what it must leave: its exit code and every report it made, in order.
struct ChildReportCase {
  const wchar_t* filter;
  const wchar_t* childMarker;
  DWORD exitCode;
  std::vector<ExpectedReport> reports;
};

inline bool IsCommonReportField(const std::string& name) {
  for (const char* common : {"source", "category", "processname", "processid", "threadid", "version"}) {
    const std::string suffix = std::string(".") + common;
    if (name == common) return true;
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      return true;
  }
  return false;
}

inline void ExpectReports(const std::string& debugOutput, const std::vector<ExpectedReport>& expected) {
  const std::vector<TracedReport> reports = TracedReports(debugOutput);
  ASSERT_EQ(reports.size(), expected.size()) << debugOutput;
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].id + ": " + expected[i].message);
    EXPECT_EQ(reports[i].id, expected[i].id);
    EXPECT_EQ(reports[i].message, expected[i].message);
    std::vector<std::pair<std::string, std::string>> own;
    for (const auto& field : reports[i].fields)
      if (!IsCommonReportField(field.first)) own.push_back(field);
    EXPECT_EQ(own, expected[i].fields) << debugOutput;
  }
}

inline void ExpectChildReports(const ChildReportCase& c) {
  SCOPED_TRACE(Narrow(c.filter));
  const ChildResult child = RunTestInChild(c.filter, c.childMarker);
  ASSERT_TRUE(child.started);
  EXPECT_EQ(child.exitCode, c.exitCode) << child.out;
  ExpectReports(child.debugOutput, c.reports);
}

inline size_t CountOccurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
  return count;
}

inline bool IsChildRun(const char* marker) {
  char value[8];
  return ::GetEnvironmentVariableA(marker, value, sizeof value) > 0;
}

}  // namespace test
