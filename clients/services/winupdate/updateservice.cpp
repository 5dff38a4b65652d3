#include "updateservice.h"

#include "pushevent.h"
#include "servicehost.h"
#include "servicestep.h"

namespace {

// The service main's context, shared with the control handler. It lives for the whole
// process: the dispatcher may still call the handler after a failed service main returned.
ServiceContext s_serviceContext;
ServiceContext* const s_context = &s_serviceContext;

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

void Prepare(ServiceStatusContext&) { SetUpdatePassStopCheck(PassMustYield); }

void RunStartPass(ServiceStatusContext&) {
  s_startPassCutShort = false;
  s_startPassDeadline = ::GetTickCount64() + kStartPassBudgetMs;
  UpdateStep();
  s_startPassDeadline = 0;
}

// The push event and the quiet minute.
void RunPass(ServiceStatusContext&) { UpdateStep(); }

// RUNNING has just been reported: the rest of a first pass that yielded comes now, not with the
// next push or 60 seconds later.
void FinishStartPass(ServiceStatusContext&) {
  if (!s_startPassCutShort) return;
  s_startPassCutShort = false;
  UpdateStep();
}

constexpr ServiceHooks kHooks = {.controlHandler = ControlHandler, .createOwnEvent = CreateMSIPushEvent,
                                 .ownEventFunction = "CreateMSIPushEvent", .prepare = Prepare,
                                 .firstWork = RunStartPass, .ownEvent = RunPass, .timeout = RunPass,
                                 .running = FinishStartPass};

}  // namespace

void WINAPI ServiceMain(DWORD, wchar_t**) { RunServiceMain(*s_context, kHooks); }

DWORD ReportPending(int index) { return ReportServicePending(*s_context, kHooks, index); }

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void* context) {
  return HandleServiceControl(static_cast<ServiceContext*>(context), kHooks, control);
}

bool WaitOnce() { return ServiceWaitOnce(*s_context, kHooks); }
