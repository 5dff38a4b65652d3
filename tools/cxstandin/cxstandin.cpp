// Stand-in for a CX process of one account: one top-level window of class "TARSACXPU" named
// "<domain reference>|<user id>", gone when the process ends.
//
//   cxstandin --domain=HREF --user=ID [--lifetime=MS] [--service-desktop]
//
// Without --lifetime it runs until it is ended from outside.
#include "../common/standin.h"

#include <cstdio>
#include <string>

namespace {

constexpr UINT_PTR kLifetimeTimer = 1;

LRESULT CALLBACK CxProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TIMER:
      if (wParam == kLifetimeTimer) ::DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring domain, user, value;
  DWORD lifetimeMs = 0;
  bool serviceDesktop = false;
  for (int i = 1; i < argc; ++i) {
    if (standin::Option(argv[i], L"--domain", &value) && !value.empty()) domain = value;
    else if (standin::Option(argv[i], L"--user", &value) && !value.empty()) user = value;
    else if (standin::Option(argv[i], L"--lifetime", &value) && standin::ParseMs(value, &lifetimeMs)) {
    } else if (standin::Option(argv[i], L"--service-desktop", nullptr)) serviceDesktop = true;
    else {
      fwprintf(stderr, L"cxstandin: unknown option %ls\n", argv[i]);
      return 2;
    }
  }
  if (domain.empty() || user.empty()) {
    fwprintf(stderr, L"usage: cxstandin --domain=HREF --user=ID [--lifetime=MS] [--service-desktop]\n");
    return 2;
  }
  if (serviceDesktop && !standin::UseServiceDesktop()) {
    fwprintf(stderr, L"cxstandin: no service desktop (error %lu)\n", ::GetLastError());
    return 3;
  }

  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = CxProc;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"TARSACXPU";
  if (!::RegisterClassW(&windowClass)) return 4;
  std::wstring name = domain + L"|" + user;
  HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, name.c_str(), WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                  nullptr, windowClass.hInstance, nullptr);
  if (!window) return 5;
  if (lifetimeMs) ::SetTimer(window, kLifetimeTimer, lifetimeMs, nullptr);

  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return 0;
}
