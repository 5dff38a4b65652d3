// Stand-in for the client's tray program: one top-level window of class "TARSAUIPU" that
// answers the request "UI-Quit" by closing.
//
//   traystandin [--service-desktop] [--ignore-quit] [--hang-on-quit] [--quit-delay=MS]
//               [--answer-delay=MS] [--log=PATH]
//
// --hang-on-quit makes the window stop responding when it is asked to quit (a hung tray).
// --answer-delay answers every request only after MS milliseconds and never quits (a tray that
// is slow but answers each request just inside the sender's time-out).
//
// The tray program is started without arguments, so a service-started copy reads its options
// from "<its own path>.options" (the same options, separated by blanks) when that file exists.
#include "../common/standin.h"
#include "clientidentity.h"
#include "ipcmessages.h"

#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct TrayOptions {
  bool serviceDesktop = false;
  bool ignoreQuit = false;
  bool hangOnQuit = false;
  DWORD quitDelayMs = 0;
  DWORD answerDelayMs = 0;
  bool answerDelay = false;
  std::wstring log;
};

TrayOptions s_options;
bool s_quitting = false;
constexpr UINT_PTR kQuitTimer = 1;

bool ParseOptions(const std::vector<std::wstring>& arguments, TrayOptions* options) {
  for (const std::wstring& argument : arguments) {
    std::wstring value;
    if (standin::Option(argument.c_str(), L"--service-desktop", nullptr)) options->serviceDesktop = true;
    else if (standin::Option(argument.c_str(), L"--ignore-quit", nullptr)) options->ignoreQuit = true;
    else if (standin::Option(argument.c_str(), L"--hang-on-quit", nullptr)) options->hangOnQuit = true;
    else if (standin::Option(argument.c_str(), L"--quit-delay", &value) && standin::ParseMs(value, &options->quitDelayMs)) {
    } else if (standin::Option(argument.c_str(), L"--answer-delay", &value) &&
               standin::ParseMs(value, &options->answerDelayMs)) {
      options->answerDelay = true;
    } else if (standin::Option(argument.c_str(), L"--log", &value) && !value.empty()) options->log = value;
    else {
      fwprintf(stderr, L"traystandin: unknown option %ls\n", argument.c_str());
      return false;
    }
  }
  return true;
}

// The options of a copy that was started without arguments.
std::vector<std::wstring> OptionsFileArguments() {
  wchar_t self[MAX_PATH + 1];
  DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return {};
  std::wstring path = std::wstring(self, n) + L".options";
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  char buffer[4096];
  DWORD read = 0;
  BOOL ok = ::ReadFile(file, buffer, sizeof buffer - 1, &read, nullptr);
  ::CloseHandle(file);
  if (!ok) return {};
  buffer[read] = 0;
  std::vector<std::wstring> arguments;
  std::wstring current;
  for (DWORD i = 0; i <= read; ++i) {
    char c = buffer[i];
    if (c == 0 || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!current.empty()) arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
  }
  return arguments;
}

void Log(const char* format, unsigned long long a = 0, unsigned long long b = 0, long long c = 0) {
  char line[160];
  snprintf(line, sizeof line, format, a, b, c);
  standin::AppendLog(s_options.log, line);
}

LRESULT CALLBACK TrayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COPYDATA: {
      const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
      if (!data) return 0;
      long long lastByte = data->cbData && data->lpData ? static_cast<const unsigned char*>(data->lpData)[data->cbData - 1] : -1;
      Log("request %llu %llu %lld", data->dwData, data->cbData, lastByte);
      if (s_options.answerDelay) {
        ::Sleep(s_options.answerDelayMs);  // answers, late, and stays
        return 1;
      }
      if (static_cast<int32_t>(data->dwData) != IpcUiQuit || s_options.ignoreQuit) return 0;
      if (s_options.hangOnQuit) ::Sleep(10 * 60 * 1000);  // answers nothing, pumps nothing
      // A repeated request while quitting must not push the end further out.
      if (s_quitting) return 1;
      s_quitting = true;
      if (s_options.quitDelayMs) ::SetTimer(window, kQuitTimer, s_options.quitDelayMs, nullptr);
      else ::PostMessageW(window, WM_CLOSE, 0, 0);
      return 1;
    }
    case WM_TIMER:
      if (wParam == kQuitTimer) {
        ::KillTimer(window, kQuitTimer);
        ::DestroyWindow(window);
      }
      return 0;
    case WM_DESTROY:
      Log("quit");
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> arguments(argv + 1, argv + argc);
  if (arguments.empty()) arguments = OptionsFileArguments();
  if (!ParseOptions(arguments, &s_options)) return 2;
  if (s_options.serviceDesktop && !standin::UseServiceDesktop()) {
    fwprintf(stderr, L"traystandin: no service desktop (error %lu)\n", ::GetLastError());
    return 3;
  }

  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = TrayProc;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"TARSAUIPU";
  if (!::RegisterClassW(&windowClass)) return 4;
  HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
  if (!window) return 5;
  Log("started %llu", ::GetCurrentProcessId());

  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return 0;
}
