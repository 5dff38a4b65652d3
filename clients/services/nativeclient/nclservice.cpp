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

constexpr char kTraceFile[] = "nclservice";

void Trace(int line, const char* text) {
  if (text) TraceOut(TraceAreaDefault, TraceState, kTraceFile, line, text);
}

// The skeleton hands every hook the context it runs on, which is always this service's own.
ServiceContext& Own(ServiceStatusContext& context) { return static_cast<ServiceContext&>(context); }

void TestInteractive(ServiceStatusContext& context) {
  Own(context).interactive = TestInteractiveMarker();
  TraceText text("NCLService: Interactive: %d", Own(context).interactive ? 1 : 0);
  Trace(__LINE__, text.c_str());
}

// An existing shutdown event was made by someone else, with rights of their choosing: the
// service refuses to run on it rather than wait on an event another process controls.
HANDLE CreateShutdownEvent() { return CreateSharedEvent(ClientIdentity::ShutdownEventName, false, false); }

void SuperviseAtStart(ServiceStatusContext& context) { SuperviseTray(Own(context)); }

void SuperviseAfterTimeout(ServiceStatusContext& context) { SuperviseTrayAfterQuietPeriod(Own(context)); }

// Answers a shutdown request; only a requester that created the stopped event hears it.
void ServeShutdownRequest(ServiceStatusContext&) {
  Trace(__LINE__, "NCLService: Shutdown (Interactive)");
  if (!QuitSystray()) return;
  KernelHandle stopped(::OpenEventW(EVENT_ALL_ACCESS, FALSE, GlobalEventName(ClientIdentity::StoppedEventName).c_str()));
  if (stopped) ::SetEvent(stopped.Get());
}

// The stop path of the dispatcher thread. The stop is marked under the supervision lock: a tray
// start that the service thread is making runs to its end first (at most its wait for the new
// tray to become idle), so that QuitSystray then sees its window, and no later supervision
// starts one. That wait is spent from QuitSystray's budget, so the stop keeps its bound.
// The client processes go before STOP_PENDING: it tells the service manager the end is near, and
// the tray must not outlive the service that watches over it.
void QuitClientsBeforeStop(ServiceStatusContext& status) {
  ServiceContext& context = Own(status);
  ULONGLONG start = ::GetTickCount64();
  ::AcquireSRWLockExclusive(&context.supervisionLock);
  context.stopRequested = true;
  ::ReleaseSRWLockExclusive(&context.supervisionLock);
  QuitSystray(static_cast<uint32_t>(::GetTickCount64() - start));
}

constexpr ServiceHooks kHooks = {.controlHandler = ControlHandler, .createOwnEvent = CreateShutdownEvent,
                                 .ownEventFunction = "CreateEvent", .prepare = TestInteractive,
                                 .firstWork = SuperviseAtStart, .ownEvent = ServeShutdownRequest,
                                 .timeout = SuperviseAfterTimeout, .stopping = QuitClientsBeforeStop};

}  // namespace

void SuperviseTray(ServiceContext& context) {
  ::AcquireSRWLockExclusive(&context.supervisionLock);
  if (!context.stopRequested && !context.interactive) StartUI();
  ::ReleaseSRWLockExclusive(&context.supervisionLock);
}

void WINAPI ServiceMain(DWORD, wchar_t**) { RunServiceMain(*s_context, kHooks); }

DWORD ReportPending(int index) { return ReportServicePending(*s_context, kHooks, index); }

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void* context) {
  return HandleServiceControl(static_cast<ServiceContext*>(context), kHooks, control);
}

void SuperviseTrayAfterQuietPeriod(ServiceContext& context) {
  context.interactive = TestInteractiveMarker();
  SuperviseTray(context);
}

bool WaitOnce() { return ServiceWaitOnce(*s_context, kHooks); }
