// What the tests of the tray start share: the elevation check answered for a scope, copies of
// the tray stand-in with logs of their own, and the tray window's process.
#pragma once

#include "handles.h"
#include "tarsainvoker.h"
#include "testsupport.h"
#include "win.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace traytest {

inline bool NotElevated() { return false; }
inline bool Elevated() { return true; }

// Wine gives every process a full administrator token and starts every child with it, and
// StartUI never starts the tray from such a process: the tests answer the check themselves.
class ElevationAnswer {
 public:
  explicit ElevationAnswer(ElevationCheck check) { SetElevationCheck(check); }
  ~ElevationAnswer() { SetElevationCheck(nullptr); }
  ElevationAnswer(const ElevationAnswer&) = delete;
  ElevationAnswer& operator=(const ElevationAnswer&) = delete;
};

// A copy of the tray stand-in at `path`. Started without arguments, it reads its options from
// "<path>.options": it logs to "<path>.log" and, with `serviceDesktop`, opens the services'
// desktop first.
inline bool PlaceTray(const std::wstring& path, bool serviceDesktop = false) {
  const std::wstring options = std::wstring(serviceDesktop ? L"--service-desktop " : L"") + L"--log=" + path + L".log";
  return test::CopyProgram(test::ProgramPath(L"traystandin"), path) &&
         test::WriteFileBytes(path + L".options", test::Narrow(options));
}

inline std::string TrayLog(const std::wstring& path) {
  std::string text;
  test::ReadFileBytes(path + L".log", &text);
  return text;
}

// The process that owns a tray window on this thread's desktop, once there is one; 0 when none
// appeared within the time.
inline DWORD WaitForTrayProcess(DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    if (HWND window = ::FindWindowExW(nullptr, nullptr, L"TARSAUIPU", nullptr)) {
      DWORD pid = 0;
      ::GetWindowThreadProcessId(window, &pid);
      return pid;
    }
    if (::GetTickCount() - start > timeoutMs) return 0;
    ::Sleep(50);
  }
}

// The processes running the program at `path` now.
inline std::vector<DWORD> ProcessesRunning(const std::wstring& path) {
  std::vector<DWORD> found;
  // A snapshot handle is invalid as INVALID_HANDLE_VALUE, like a file's.
  FileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return found;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
    KernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    wchar_t image[MAX_PATH];
    DWORD size = MAX_PATH;
    if (process && ::QueryFullProcessImageNameW(process.Get(), 0, image, &size) && _wcsicmp(image, path.c_str()) == 0)
      found.push_back(entry.th32ProcessID);
  }
  return found;
}

// The copy at `path` was started exactly once: one process runs it, that process owns the tray
// window, and the copy's log has its one start. A second start would show at once as a second
// process (it exists when the start returns).
inline void ExpectStartedOnce(const std::wstring& path) {
  const DWORD pid = WaitForTrayProcess(10000);
  ASSERT_NE(pid, 0u) << "no tray window appeared";
  EXPECT_EQ(ProcessesRunning(path), std::vector<DWORD>{pid});
  const std::string started = "started " + std::to_string(pid) + "\r\n";
  const DWORD start = ::GetTickCount();
  while (TrayLog(path).find(started) == std::string::npos && ::GetTickCount() - start < 10000) ::Sleep(50);
  const std::string log = TrayLog(path);
  EXPECT_EQ(log, started) << "(window of " << pid << ")";
}

}  // namespace traytest
