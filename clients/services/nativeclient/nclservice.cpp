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

}  // namespace

void WINAPI ServiceMain(DWORD, wchar_t**) {
  ServiceContext& context = *s_context;
  Prepare(context);
  if (ReportPending(0) == 0) {
    if (!context.interactive) StartUI();
    while (WaitOnce()) {
    }
  }
  CloseServiceEvents(context);
}

DWORD ReportPending(int index) {
  // The client processes go first: STOP_PENDING tells the service manager the end is near, and
  // the tray must not outlive the service that watches over it.
  if (index == 1) QuitSystray();
  return ReportServicePending(*s_context, index);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void* context) {
  if (!context) return ERROR_BAD_ENVIRONMENT;
  if (control == SERVICE_CONTROL_STOP) return ReportPending(1);
  if (control >= 128 && control <= 255) return ERROR_CALL_NOT_IMPLEMENTED;
  return NO_ERROR;
}

void SuperviseTray() {
  ServiceContext& context = *s_context;
  context.interactive = TestInteractiveMarker();
  if (!context.interactive) StartUI();
}

bool WaitOnce() {
  ServiceContext& context = *s_context;
  switch (WaitForServiceEvents(context, kWaitPeriodMs)) {
    case ServiceWait::OwnEvent:
      Trace(__LINE__, "NCLService: Shutdown (Interactive)");
      if (QuitSystray()) SignalStopped();
      return true;
    case ServiceWait::Timeout:
      SuperviseTray();
      return true;
    case ServiceWait::Continue:
      return true;
    case ServiceWait::End:
      return false;
  }
  return false;
}
