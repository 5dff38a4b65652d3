// Shared by the stand-ins of the client's processes (header only: tools/ builds one program
// per folder, and this folder has no program of its own).
#pragma once

#include "win.h"

#include <cstdlib>
#include <cwchar>
#include <string>

namespace standin {

// The service window station's desktop as Wine names it. Windows puts services on session 0's
// non-interactive station, so on Windows the stand-ins simply stay on the user's desktop.
inline constexpr wchar_t kServiceStation[] = L"__wineservice_winstation";
inline constexpr wchar_t kServiceDesktop[] = L"Default";

// Moves the process onto the services' desktop before any window exists, so that a service's
// window search sees this process's windows. False with the Windows error kept.
inline bool UseServiceDesktop() {
  HWINSTA station = ::OpenWindowStationW(kServiceStation, FALSE, MAXIMUM_ALLOWED);
  if (!station || !::SetProcessWindowStation(station)) return false;
  HDESK desktop = ::OpenDesktopW(kServiceDesktop, 0, FALSE, MAXIMUM_ALLOWED);
  return desktop && ::SetThreadDesktop(desktop);
}

// "--name=value" -> value; "--name" -> ""; otherwise not matched.
inline bool Option(const wchar_t* argument, const wchar_t* name, std::wstring* value) {
  size_t n = wcslen(name);
  if (wcsncmp(argument, name, n) != 0) return false;
  if (argument[n] == 0) {
    if (value) value->clear();
    return true;
  }
  if (argument[n] != L'=') return false;
  if (value) *value = argument + n + 1;
  return true;
}

// A whole decimal number of milliseconds; false for anything else.
inline bool ParseMs(const std::wstring& text, DWORD* ms) {
  if (text.empty() || text.size() > 9) return false;
  for (wchar_t c : text)
    if (c < L'0' || c > L'9') return false;
  *ms = static_cast<DWORD>(wcstoul(text.c_str(), nullptr, 10));
  return true;
}

// Appends one line to a log file that tests read (opened per line: several processes share it).
inline void AppendLog(const std::wstring& path, const std::string& line) {
  if (path.empty()) return;
  HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::string text = line + "\r\n";
  DWORD written = 0;
  ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(file);
}

}  // namespace standin
