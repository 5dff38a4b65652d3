// What the tests of the tray start share: the elevation check answered for a scope, copies of
// the tray stand-in with logs of their own, and the tray window's process.
#pragma once

#include "tarsainvoker.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>

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

// The copy at `path` was started exactly once, and its process owns the tray window.
inline void ExpectStartedOnce(const std::wstring& path) {
  const DWORD pid = WaitForTrayProcess(10000);
  ASSERT_NE(pid, 0u) << "no tray window appeared";
  const std::string log = TrayLog(path);
  size_t starts = 0;
  for (size_t at = log.find("started "); at != std::string::npos; at = log.find("started ", at + 1)) ++starts;
  EXPECT_EQ(starts, 1u) << log;
  EXPECT_NE(log.find("started " + std::to_string(pid) + "\r\n"), std::string::npos) << log << "(window of " << pid << ")";
}

}  // namespace traytest
