// What the end-to-end tests of the native client service share: a uniquely named copy of the
// service in a folder named "x64" with the tray stand-in as its default tray program, the
// stand-ins of the client processes on the services' desktop, and clean client registry keys.
#pragma once

#include "clientidentity.h"
#include "handles.h"
#include "sharedevent.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include <string>
#include <vector>

namespace ncltest {

inline const char kBanner[] = "\r\nInstalling [Cindravale Native Client Service (25.10.0.74)].\r\n";
inline const wchar_t kCompanyKey[] = L"Software\\Vennacor";

// Services run on their own window station (Wine: "__wineservice_winstation"); the test thread
// moves there so that its window searches see what the service sees.
inline bool UseServiceDesktop() {
  HWINSTA station = OpenWindowStationW(L"__wineservice_winstation", FALSE, MAXIMUM_ALLOWED);
  if (!station || !SetProcessWindowStation(station)) return false;
  HDESK desktop = OpenDesktopW(L"Default", 0, FALSE, MAXIMUM_ALLOWED);
  return desktop && SetThreadDesktop(desktop);
}

inline void DeleteClientKeys() {
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Vennacor\\VennacorCloudUI");
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Vennacor\\VennacorCloudCX");
}

inline bool WriteCompanyText(const std::wstring& subkey, const wchar_t* name, const std::wstring& value) {
  RegKey key;
  std::wstring path = std::wstring(kCompanyKey) + L"\\" + subkey;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr))
    return false;
  if (!name) return true;
  return RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// Ends every process that owns a partner window on this desktop (stand-ins left by a test).
inline void EndPartnerProcesses() {
  for (const wchar_t* cls : {L"TARSAUIPU", L"TARSACXPU"}) {
    for (int guard = 0; guard < 20; ++guard) {
      HWND window = FindWindowExW(nullptr, nullptr, cls, nullptr);
      if (!window) break;
      DWORD pid = 0;
      GetWindowThreadProcessId(window, &pid);
      KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
      if (!process) break;
      TerminateProcess(process.Get(), 1);
      WaitForSingleObject(process.Get(), 5000);
    }
  }
}

inline bool IsTokenElevated(DWORD pid) {
  KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  KernelHandle token;
  if (!process || !OpenProcessToken(process.Get(), TOKEN_QUERY, token.Receive())) return false;
  DWORD type = 0, size = 0;
  return GetTokenInformation(token.Get(), TokenElevationType, &type, sizeof type, &size) &&
         type == TokenElevationTypeFull;
}

class NativeServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(UseServiceDesktop()) << GetLastError();
    EndPartnerProcesses();
    DeleteClientKeys();
    folder_ = dir_.Join(L"x64");
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    // A name of its own per test: a registration that an earlier test could not delete must
    // not block the next one.
    static int s_serial = 0;
    wchar_t name[32];
    swprintf(name, 32, L"NCLT%luN%d", GetCurrentProcessId(), ++s_serial);
    serviceName_ = name;
    program_ = folder_ + L"\\" + name + L".exe";
    ASSERT_TRUE(test::CopyProgram(test::ProgramPath(L"CindravaleSVC"), program_));
    ASSERT_TRUE(test::CopyProgram(test::ProgramPath(L"traystandin"), folder_ + L"\\CindravaleUI.exe"));
    trayLog_ = dir_.Join(L"tray.log");
    ASSERT_TRUE(test::WriteFileBytes(folder_ + L"\\CindravaleUI.exe.options", test::Narrow(L"--log=" + trayLog_)));
    for (wchar_t& c : serviceName_) c = static_cast<wchar_t>(towupper(c));
    test::DeleteServiceIfPresent(serviceName_);
    // Display names are unique too: a registration left by an interrupted run would make
    // "install" fail with ERROR_DUPLICATE_SERVICE_NAME.
    {
      ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
      wchar_t keyName[300];
      DWORD size = 300;
      if (manager && GetServiceKeyNameW(manager.Get(), L"Cindravale Native Client Service", keyName, &size))
        test::DeleteServiceIfPresent(keyName);
    }
    service_ = std::make_unique<test::ScopedService>(serviceName_);
    logStart_ = test::ReadServicesLog().size();
  }
  void TearDown() override {
    service_.reset();
    EndPartnerProcesses();
    for (KernelHandle& process : children_) {
      TerminateProcess(process.Get(), 1);
      WaitForSingleObject(process.Get(), 5000);
    }
    DeleteClientKeys();
  }

  bool Register() { return service_->Create(program_, L"Cindravale Native Client Service " + serviceName_); }
  bool StartRunning() {
    return service_->Start() && service_->WaitState(SERVICE_RUNNING, 30000) == SERVICE_RUNNING;
  }
  bool StopStopped(DWORD timeoutMs = 40000) {
    if (!service_->Stop()) {
      ADD_FAILURE() << "ControlService(STOP) failed with " << GetLastError();
      return false;
    }
    return service_->WaitState(SERVICE_STOPPED, timeoutMs) == SERVICE_STOPPED;
  }

  // Starts a stand-in in the background; it is ended at the latest when the test ends.
  HANDLE StartChild(const std::wstring& program, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + test::ProgramPath(program.c_str()) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
      return nullptr;
    CloseHandle(info.hThread);
    test::AdoptChildProcess(info.hProcess);
    children_.emplace_back(info.hProcess);
    return info.hProcess;
  }
  // Waits until a window of the class (and name) exists on the services' desktop.
  static bool WaitForWindow(const wchar_t* cls, const wchar_t* name, bool present, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
      if ((FindWindowExW(nullptr, nullptr, cls, name) != nullptr) == present) return true;
      if (GetTickCount() - start > timeoutMs) return false;
      Sleep(50);
    }
  }
  std::string TrayLog() {
    std::string text;
    test::ReadFileBytes(trayLog_, &text);
    return text;
  }
  std::string LogSinceStart() {
    std::string log = test::ReadServicesLog();
    return log.size() > logStart_ ? log.substr(logStart_) : std::string();
  }
  bool WaitForLog(const std::string& needle, DWORD timeoutMs) {
    return test::WaitForServicesLog(needle, logStart_, timeoutMs);
  }
  // After the service found no tray: the tray stand-in is started, or, when the service runs
  // elevated, refused. Wine gives every process, services included, a full administrator token,
  // so there the refusal is what is seen; on Windows LocalSystem's token is not a split one and
  // the tray window appears.
  void ExpectTrayStartedUnlessElevated() {
    if (IsTokenElevated(service_->ProcessId())) {
      EXPECT_TRUE(WaitForLog(" runs elevated.|", 10000)) << LogSinceStart();
    } else {
      EXPECT_TRUE(WaitForWindow(L"TARSAUIPU", nullptr, true, 10000));
      EXPECT_NE(TrayLog().find("started"), std::string::npos);
    }
  }

  test::TempDir dir_;
  std::wstring folder_, program_, serviceName_, trayLog_;
  std::unique_ptr<test::ScopedService> service_;
  std::vector<KernelHandle> children_;
  size_t logStart_ = 0;
};

}  // namespace ncltest
