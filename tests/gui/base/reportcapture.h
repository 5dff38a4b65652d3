// Test helper (header only, shared by the string and array tests): runs one test of this test
// program in a child process under the Win32 debugging API and collects what the child writes
// to the debugger output. The base library echoes every report to the trace channel, which
// falls back to OutputDebugStringA when no tracer listens; a debugger receives those lines
// privately (no machine-wide DBWIN buffer that a parallel test could take them from).
#pragma once

#include "testsupport.h"
#include "win.h"

#include <string>
#include <vector>

namespace test {

struct ChildResult {
  bool started = false;
  DWORD exitCode = 0;
  std::string debugOutput;  // every OutputDebugString text of the child, in order
};

// Runs this program with --gtest_filter=`filter` and the extra environment variable
// `name`=1, which the child test checks so that it runs only as a child.
inline ChildResult RunTestInChild(const wchar_t* filter, const wchar_t* name) {
  ChildResult result;
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=" + filter;
  std::vector<wchar_t> line(command.begin(), command.end());
  line.push_back(0);

  ::SetEnvironmentVariableW(name, L"1");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  result.started = ::CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                                    nullptr, &startup, &process) != FALSE;
  ::SetEnvironmentVariableW(name, nullptr);
  if (!result.started) return result;

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
        // The child handles its own exceptions (the first break-point included).
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
          status = DBG_EXCEPTION_NOT_HANDLED;
        break;
      case OUTPUT_DEBUG_STRING_EVENT: {
        const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
        if (!info.fUnicode && info.nDebugStringLength > 0) {
          std::string text(info.nDebugStringLength, '\0');
          SIZE_T read = 0;
          ::ReadProcessMemory(process.hProcess, info.lpDebugStringData, text.data(), text.size(), &read);
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
  ::WaitForSingleObject(process.hProcess, 30000);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return result;
}

}  // namespace test
