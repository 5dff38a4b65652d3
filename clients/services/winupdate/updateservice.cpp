#include "updateservice.h"

#include "pushevent.h"
#include "servicehost.h"
#include "servicestep.h"

#include <atomic>

namespace {

// The service main's context, shared with the control handler. It lives for the whole
// process: the dispatcher may still call the handler after a failed service main returned.
ServiceContext s_serviceContext;
ServiceContext* const s_context = &s_serviceContext;

// Set by the control handler on a stop request; the update pass asks it before each package.
std::atomic<bool> s_stopRequested{false};
bool StopRequestedByControl() { return s_stopRequested.load(); }

constexpr DWORD kWaitPeriodMs = 60000;
constexpr DWORD kWaitHintMs = 100;

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

void Prepare(ServiceContext& context) {
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
  context.events[2] = CreateMSIPushEvent();
  if (!context.events[2]) return Fail(context, "CreateMSIPushEvent");
  context.ready = true;
}

}  // namespace

void WINAPI ServiceMain(DWORD, wchar_t**) {
  ServiceContext& context = *s_context;
  SetUpdatePassStopCheck(StopRequestedByControl);
  Prepare(context);
  if (ReportPending(0) == 0) {
    // The first pass runs while the service still reports START_PENDING.
    UpdateStep();
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
  if (control == SERVICE_CONTROL_STOP) {
    s_stopRequested = true;
    return ReportPending(1);
  }
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
    case WAIT_TIMEOUT:
      UpdateStep();
      return true;
    case WAIT_FAILED:
      Fail(context, "WaitForMultipleObjects");
      return false;
    default:
      return true;
  }
}
