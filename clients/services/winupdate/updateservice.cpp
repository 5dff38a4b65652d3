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

void Prepare(ServiceContext& context) {
  InitServiceStatus(context);

  WStr serviceName(GetServiceIdentity().serviceName);
  context.statusHandle = ::RegisterServiceCtrlHandlerExW(serviceName.c_str(), ControlHandler, &context);
  if (!context.statusHandle) return SaveServiceFailure(context, "RegisterServiceCtrlHandler");
  for (int i = 0; i < 2; ++i) {
    context.events[i] = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!context.events[i]) return SaveServiceFailure(context, "CreateEvent");
  }
  context.events[2] = CreateMSIPushEvent();
  if (!context.events[2]) return SaveServiceFailure(context, "CreateMSIPushEvent");
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
  CloseServiceEvents(context);
}

DWORD ReportPending(int index) {
  ServiceContext& context = *s_context;
  if (!context.ready) return context.lastError;
  if (!SetServiceState(context, context.pendingStates[index])) return context.lastError;
  if (!::SetEvent(context.events[index])) {
    SaveServiceFailure(context, "SetEvent");
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
      return context.ready && SetServiceState(context, SERVICE_RUNNING);
    case WAIT_OBJECT_0 + 1:
      ReportServiceEvent("stopped");
      if (context.ready) SetServiceState(context, SERVICE_STOPPED);
      return false;
    case WAIT_OBJECT_0 + 2:
    case WAIT_TIMEOUT:
      UpdateStep();
      return true;
    case WAIT_FAILED:
      SaveServiceFailure(context, "WaitForMultipleObjects");
      return false;
    default:
      return true;
  }
}
