#include "nclservice.h"

#include "clientidentity.h"
#include "handles.h"
#include "quitsystray.h"
#include "servicehost.h"
#include "sharedevent.h"
#include "tarsainvoker.h"
#include "trace.h"

namespace {

// The service main's context, shared with the control handler. It lives for the whole
// process: the dispatcher may still call the handler after a failed service main returned.
ServiceContext s_serviceContext;
ServiceContext* const s_context = &s_serviceContext;

constexpr DWORD kWaitPeriodMs = 60000;
constexpr DWORD kWaitHintMs = 100;
constexpr char kTraceFile[] = "nclservice";

void Trace(int line, const char* text) {
  if (text) TraceOut(TraceAreaDefault, TraceState, kTraceFile, line, text);
}

// Enters `state` and reports it; on failure saves the error and reports "SetServiceStatus".
bool SetState(ServiceContext& context, DWORD state) {
  ::AcquireSRWLockExclusive(&context.statusLock);
  context.status.dwCheckPoint += 1;
  context.status.dwCurrentState = state;
  context.status.dwWaitHint = kWaitHintMs;
  bool ok = ::SetServiceStatus(context.statusHandle, &context.status) != FALSE;
  DWORD error = ::GetLastError();
  ::ReleaseSRWLockExclusive(&context.statusLock);
  if (!ok) {
    context.lastError = error;
    ::SetLastError(error);
    ReportFunctionFailure("SetServiceStatus");
  }
  return ok;
}

void Fail(ServiceContext& context, const char* function) {
  context.lastError = ::GetLastError();
  ReportFunctionFailure(function);
}

void TestInteractive(ServiceContext& context) {
  context.interactive = TestInteractiveMarker();
  const char* text = TraceFormat("NCLService: Interactive: %d", context.interactive ? 1 : 0);
  Trace(__LINE__, text);
  if (text) TraceFormatDone();
}

void Prepare(ServiceContext& context) {
  context.ready = false;
  context.lastError = 0;
  context.statusHandle = nullptr;
  TestInteractive(context);
  context.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  context.status.dwCurrentState = SERVICE_STOPPED;
  context.status.dwControlsAccepted = SERVICE_ACCEPT_STOP;

  WStr serviceName(GetServiceIdentity().serviceName);
  context.statusHandle = ::RegisterServiceCtrlHandlerExW(serviceName.c_str(), ControlHandler, &context);
  if (!context.statusHandle) return Fail(context, "RegisterServiceCtrlHandler");
  for (int i = 0; i < 2; ++i) {
    context.events[i] = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!context.events[i]) return Fail(context, "CreateEvent");
  }
  // An existing shutdown event was made by someone else, with rights of their choosing: the
  // service refuses to run on it rather than wait on an event another process controls.
  context.events[2] = CreateSharedEvent(ClientIdentity::ShutdownEventName, false, false);
  if (!context.events[2]) return Fail(context, "CreateEvent");
  context.ready = true;
}

// Answers a shutdown request; only a requester that created the stopped event hears it.
void SignalStopped() {
  KernelHandle stopped(::OpenEventW(EVENT_ALL_ACCESS, FALSE, GlobalEventName(ClientIdentity::StoppedEventName).c_str()));
  if (stopped) ::SetEvent(stopped.Get());
}

}  // namespace

void WINAPI ServiceMain(DWORD, wchar_t**) {
  ServiceContext& context = *s_context;
  Prepare(context);
  if (ReportPending(0) == 0) {
    if (!context.interactive) StartUI();
    while (WaitOnce()) {
    }
  }
  for (HANDLE& event : context.events) {
    HANDLE h = event;
    event = nullptr;
    if (h) ::CloseHandle(h);
  }
}

DWORD ReportPending(int index) {
  ServiceContext& context = *s_context;
  // The client processes go first: STOP_PENDING tells the service manager the end is near, and
  // the tray must not outlive the service that watches over it.
  if (index == 1) QuitSystray();
  if (!context.ready) return context.lastError;
  if (!SetState(context, context.pendingStates[index])) return context.lastError;
  if (!::SetEvent(context.events[index])) {
    Fail(context, "SetEvent");
    return context.lastError;
  }
  return 0;
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void* context) {
  if (!context) return ERROR_BAD_ENVIRONMENT;
  if (control == SERVICE_CONTROL_STOP) return ReportPending(1);
  if (control >= 128 && control <= 255) return ERROR_CALL_NOT_IMPLEMENTED;
  return NO_ERROR;
}

bool WaitOnce() {
  ServiceContext& context = *s_context;
  DWORD result = ::WaitForMultipleObjects(3, context.events, FALSE, kWaitPeriodMs);
  switch (result) {
    case WAIT_OBJECT_0:
      ReportServiceEvent("started");
      return context.ready && SetState(context, SERVICE_RUNNING);
    case WAIT_OBJECT_0 + 1:
      ReportServiceEvent("stopped");
      if (context.ready) SetState(context, SERVICE_STOPPED);
      return false;
    case WAIT_OBJECT_0 + 2:
      Trace(__LINE__, "NCLService: Shutdown (Interactive)");
      if (QuitSystray()) SignalStopped();
      return true;
    case WAIT_TIMEOUT:
      context.interactive = TestInteractiveMarker();
      if (!context.interactive) StartUI();
      return true;
    case WAIT_FAILED:
      Fail(context, "WaitForMultipleObjects");
      return false;
    default:
      return true;
  }
}
