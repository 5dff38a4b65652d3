#include "updateservice.h"

#include "pushevent.h"
#include "servicehost.h"
#include "servicestep.h"

namespace {

// The service main's context, shared with the control handler. It lives for the whole
// process: the dispatcher may still call the handler after a failed service main returned.
ServiceContext s_serviceContext;
ServiceContext* const s_context = &s_serviceContext;

constexpr DWORD kWaitPeriodMs = 60000;

// Windows refuses stop controls while a service reports START_PENDING, and the first pass runs
// in that state. A drop folder that a user filled with announcements would keep the service
// unstoppable (and not started) for as long as the pass took, so the first pass yields after
// this long; what it left is taken up at once by a pass in RUNNING, where stops are served.
constexpr ULONGLONG kStartPassBudgetMs = 2000;

// The first pass's end, 0 outside it. Only the service thread runs passes and asks the check.
ULONGLONG s_startPassDeadline = 0;
bool s_startPassCutShort = false;

// Asked by the update pass before each package.
bool PassMustYield() {
  if (s_context->stopRequested.load()) return true;
  if (s_startPassDeadline != 0 && ::GetTickCount64() >= s_startPassDeadline) {
    s_startPassCutShort = true;
    return true;
  }
  return false;
}

void RunStartPass() {
  s_startPassCutShort = false;
  s_startPassDeadline = ::GetTickCount64() + kStartPassBudgetMs;
  UpdateStep();
  s_startPassDeadline = 0;
}

}  // namespace

void WINAPI ServiceMain(DWORD, wchar_t**) {
  ServiceContext& context = *s_context;
  SetUpdatePassStopCheck(PassMustYield);
  InitServiceStatus(context);
  PrepareServiceContext(context, ControlHandler, CreateMSIPushEvent, "CreateMSIPushEvent");
  if (ReportPending(0) == 0) {
    // The first pass starts while the service still reports START_PENDING; the start event is
    // signalled already, so the first wait then reports RUNNING.
    RunStartPass();
    while (WaitOnce()) {
    }
  }
  FinishServiceMain(context);
}

DWORD ReportPending(int index) { return ReportServicePending(*s_context, index); }

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void* context) {
  if (!context) return ERROR_BAD_ENVIRONMENT;
  if (control == SERVICE_CONTROL_STOP) {
    ServiceContext& service = *static_cast<ServiceContext*>(context);
    service.stopRequested = true;
    return ReportServicePending(service, 1);
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
      // RUNNING has just been reported: the rest of a first pass that yielded comes now, not
      // with the next push or 60 seconds later.
      if (s_startPassCutShort) {
        s_startPassCutShort = false;
        UpdateStep();
      }
      return true;
    case ServiceWait::End:
      return false;
  }
  return false;
}
