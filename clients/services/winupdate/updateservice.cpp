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

}  // namespace

void WINAPI ServiceMain(DWORD, wchar_t**) {
  ServiceContext& context = *s_context;
  SetUpdatePassStopCheck(StopRequestedByControl);
  InitServiceStatus(context);
  PrepareServiceContext(context, ControlHandler, CreateMSIPushEvent, "CreateMSIPushEvent");
  if (ReportPending(0) == 0) {
    // The first pass runs while the service still reports START_PENDING.
    UpdateStep();
    while (WaitOnce()) {
    }
  }
  CloseServiceEvents(context);
}

DWORD ReportPending(int index) { return ReportServicePending(*s_context, index); }

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
  switch (WaitForServiceEvents(*s_context, kWaitPeriodMs)) {
    case ServiceWait::OwnEvent:
    case ServiceWait::Timeout:
      UpdateStep();
      return true;
    case ServiceWait::Continue:
      return true;
    case ServiceWait::End:
      return false;
  }
  return false;
}
