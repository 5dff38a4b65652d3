// Stand-in for the client processes' side of the per-account events.
//
//   clientshutdown --marker=MS      holds the interactive marker for MS milliseconds
//   clientshutdown --shutdown[=MS]  asks the service to quit the tray and CX processes and waits
//                                   for the answer (default 40000 ms)
//
// --shutdown prints "answered after N ms" (exit 0) or "no answer after N ms" (exit 1); exit 2
// means bad arguments, 3 that the service's shutdown event does not exist.
#include "../common/standin.h"
#include "clientidentity.h"
#include "handles.h"
#include "sharedevent.h"

#include <cstdio>
#include <string>

namespace {

int HoldMarker(DWORD ms) {
  // Only the name's existence counts; a marker that exists already is just as good.
  KernelHandle marker(::CreateEventW(nullptr, TRUE, FALSE, GlobalEventName(ClientIdentity::InteractiveEventName).c_str()));
  if (!marker) {
    fwprintf(stderr, L"clientshutdown: no marker (error %lu)\n", ::GetLastError());
    return 3;
  }
  printf("marker held\n");
  fflush(stdout);
  ::Sleep(ms);
  return 0;
}

int Shutdown(DWORD timeoutMs) {
  // The stopped event must exist before the request: the service only opens it.
  KernelHandle stopped(::CreateEventW(nullptr, FALSE, FALSE, GlobalEventName(ClientIdentity::StoppedEventName).c_str()));
  if (!stopped) {
    fwprintf(stderr, L"clientshutdown: no stopped event (error %lu)\n", ::GetLastError());
    return 3;
  }
  KernelHandle shutdown(::OpenEventW(EVENT_MODIFY_STATE, FALSE, GlobalEventName(ClientIdentity::ShutdownEventName).c_str()));
  if (!shutdown) {
    fwprintf(stderr, L"clientshutdown: no shutdown event (error %lu)\n", ::GetLastError());
    return 3;
  }
  ULONGLONG start = ::GetTickCount64();
  if (!::SetEvent(shutdown.Get())) return 3;
  DWORD wait = ::WaitForSingleObject(stopped.Get(), timeoutMs);
  unsigned long long took = ::GetTickCount64() - start;
  if (wait == WAIT_OBJECT_0) {
    printf("answered after %llu ms\n", took);
    return 0;
  }
  printf("no answer after %llu ms\n", took);
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring value;
  DWORD ms = 0;
  if (argc == 2 && standin::Option(argv[1], L"--marker", &value) && standin::ParseMs(value, &ms)) return HoldMarker(ms);
  if (argc == 2 && standin::Option(argv[1], L"--shutdown", &value)) {
    ms = 40000;
    if (value.empty() || standin::ParseMs(value, &ms)) return Shutdown(ms);
  }
  fwprintf(stderr, L"usage: clientshutdown --marker=MS | --shutdown[=MS]\n");
  return 2;
}
