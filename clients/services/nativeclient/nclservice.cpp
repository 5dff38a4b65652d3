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
constexpr char kTraceFile[] = "nclservice";

void Trace(int line, const char* text) {
  if (text) TraceOut(TraceAreaDefault, TraceState, kTraceFile, line, text);
}

void TestInteractive(ServiceContext& context) {
  context.interactive = TestInteractiveMarker();
  const char* text = TraceFormat("NCLService: Interactive: %d", context.interactive ? 1 : 0);
  Trace(__LINE__, text);
  if (text) TraceFormatDone();
}

// An existing shutdown event was made by someone else, with rights of their choosing: the
// service refuses to run on it rather than wait on an event another process controls.
HANDLE CreateShutdownEvent() { return CreateSharedEvent(ClientIdentity::ShutdownEventName, false, false); }

void Prepare(ServiceContext& context) {
  InitServiceStatus(context);
  TestInteractive(context);
  PrepareServiceContext(context, ControlHandler, CreateShutdownEvent, "CreateEvent");
}

// Answers a shutdown request; only a requester that created the stopped event hears it.
void SignalStopped() {
  KernelHandle stopped(::OpenEventW(EVENT_ALL_ACCESS, FALSE, GlobalEventName(ClientIdentity::StoppedEventName).c_str()));
  if (stopped) ::SetEvent(stopped.Get());
}

// The stop path of the dispatcher thread. The stop is marked under the supervision lock: a tray
// start that the service thread is making runs to its end first (at most its wait for the new
// tray to become idle), so that QuitSystray then sees its window, and no later supervision
// starts one. That wait is spent from QuitSystray's budget, so the stop keeps its bound.
DWORD RequestStop(ServiceContext& context) {
  ULONGLONG start = ::GetTickCount64();
  ::AcquireSRWLockExclusive(&context.supervisionLock);
  context.stopRequested = true;
  ::ReleaseSRWLockExclusive(&context.supervisionLock);
  // The client processes go first: STOP_PENDING tells the service manager the end is near, and
  // the tray must not outlive the service that watches over it.
  QuitSystray(static_cast<uint32_t>(::GetTickCount64() - start));
  return ReportServicePending(context, 1);
}

}  // namespace

void SuperviseTray(ServiceContext& context) {
  ::AcquireSRWLockExclusive(&context.supervisionLock);
  if (!context.stopRequested && !context.interactive) StartUI();
  ::ReleaseSRWLockExclusive(&context.supervisionLock);
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  ServiceContext& context = *s_context;
  Prepare(context);
  if (ReportPending(0) == 0) {
    SuperviseTray(context);
    while (WaitOnce()) {
    }
  }
  FinishServiceMain(context);
}

DWORD ReportPending(int index) {
  if (index == 1) return RequestStop(*s_context);
  return ReportServicePending(*s_context, index);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void* context) {
  if (!context) return ERROR_BAD_ENVIRONMENT;
  if (control == SERVICE_CONTROL_STOP) return RequestStop(*static_cast<ServiceContext*>(context));
  if (control >= 128 && control <= 255) return ERROR_CALL_NOT_IMPLEMENTED;
  return NO_ERROR;
}

void SuperviseTrayAfterQuietPeriod(ServiceContext& context) {
  context.interactive = TestInteractiveMarker();
  SuperviseTray(context);
}

bool WaitOnce() {
  ServiceContext& context = *s_context;
  switch (WaitForServiceEvents(context, kWaitPeriodMs)) {
    case ServiceWait::OwnEvent:
      Trace(__LINE__, "NCLService: Shutdown (Interactive)");
      if (QuitSystray()) SignalStopped();
      return true;
    case ServiceWait::Timeout:
      SuperviseTrayAfterQuietPeriod(context);
      return true;
    case ServiceWait::Continue:
      return true;
    case ServiceWait::End:
      return false;
  }
  return false;
}
