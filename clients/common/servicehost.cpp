#include "servicehost.h"
#include "servicemain.h"

#include "clientidentity.h"
#include "error.h"
#include "format.h"
#include "handles.h"
#include "lazystatic.h"
#include "paths.h"
#include "programfile.h"


namespace {

constexpr uint32_t kMaxServiceNameChars = 255;
constexpr DWORD kServiceWaitPeriodMs = 60000;

// Kept until the process ends: the "stopped" report and reports of late static destructors
// still read the names.
constinit LazyStatic<ServiceIdentity, false> s_identity("ServiceIdentity s_identity");

ServiceIdentity& Identity() { return *s_identity.Get(); }

// Keeps the first 255 UTF-16 characters, as the service control manager counts them.
Str CutToServiceNameLength(const Str& name) {
  WStr wide(name);
  if (wide.Length() <= kMaxServiceNameChars) return name;
  return Str::FromUtf16(wide.c_str(), static_cast<int>(kMaxServiceNameChars));
}

SERVICE_STATUS_HANDLE WINAPI RegisterHandlerWithManager(const wchar_t* serviceName, LPHANDLER_FUNCTION_EX handler,
                                                        void* context) {
  return ::RegisterServiceCtrlHandlerExW(serviceName, handler, context);
}
BOOL WINAPI SetStatusWithManager(SERVICE_STATUS_HANDLE statusHandle, SERVICE_STATUS* status) {
  return ::SetServiceStatus(statusHandle, status);
}
constexpr ServiceManagerCalls kManagerCalls = {RegisterHandlerWithManager, SetStatusWithManager};
std::atomic<const ServiceManagerCalls*> s_managerCalls{&kManagerCalls};

// The banner goes to a console as UTF-16; redirected into a file or pipe it is written as UTF-8.
void WriteStdout(const Str& text) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0, written = 0;
  if (::GetConsoleMode(out, &mode)) {
    WStr wide(text);
    ::WriteConsoleW(out, wide.c_str(), wide.Length(), &written, nullptr);
  } else {
    ::WriteFile(out, text.c_str(), text.Length(), &written, nullptr);
  }
}

}  // namespace

Str ServiceNameFromPath(const Str& programPath) {
  Str name = BaseNameOf(programPath);
  ToUpper(name);
  return CutToServiceNameLength(name);
}

Str DisplayNameFor(const char* serviceWords) {
  Str name(ClientIdentity::ProductName);
  name.Append(' ');
  name.Append(serviceWords);
  return CutToServiceNameLength(name);
}

void InitServiceIdentity(const char* serviceWords) {
  ServiceIdentity& id = Identity();
  id.programPath = ProgramFilePath();
  id.serviceName = ServiceNameFromPath(id.programPath);
  id.displayName = DisplayNameFor(serviceWords);
  id.versionedDisplayName = id.displayName;
  id.versionedDisplayName.Append(" (");
  id.versionedDisplayName.Append(ProgramVersion);
  id.versionedDisplayName.Append(')');

  SetEventMessageFile(id.programPath);
  SetEventLogSource(id.displayName);
  SetReportVersion(Str(ProgramVersion));
  if (!id.displayName.IsEmpty()) RegisterEventLogSource(id.displayName);
}

const ServiceIdentity& GetServiceIdentity() { return Identity(); }

Str ServiceImagePath(const Str& programPath) {
  for (const char* p = programPath.c_str(); *p; ++p)
    if (*p == ' ') return QuotePath(programPath);
  return programPath;
}

int InstallService() {
  const ServiceIdentity& id = Identity();
  ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    ReportFunctionFailure("OpenSCManager");
    return 1;
  }
  // No account: the service runs as LocalSystem. An existing registration is never changed.
  WStr imagePath(ServiceImagePath(id.programPath));
  ServiceHandle service(::CreateServiceW(manager.Get(), WStr(id.serviceName).c_str(), WStr(id.displayName).c_str(),
                                         SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                         SERVICE_ERROR_NORMAL, imagePath.c_str(), nullptr, nullptr, nullptr, nullptr,
                                         nullptr));
  if (!service) {
    DWORD error = ::GetLastError();
    manager.Reset();
    ::SetLastError(error);
    ReportFunctionFailure("CreateService");
    return 1;
  }
  service.Reset();
  manager.Reset();
  ReportServiceEvent("installed");
  return 0;
}

Str FunctionFailureText(const char* function, DWORD code) {
  Str systemText = GetErrorText(code, nullptr, nullptr, false, LANG_NEUTRAL, SUBLANG_DEFAULT);
  Str text;
  StrFormat(text, "Function [%s] failed with code [%08lX]", function, static_cast<unsigned long>(code));
  if (!systemText.IsEmpty()) {
    text.Append(": ");
    text.Append(systemText);
  }
  if (systemText.IsEmpty() || systemText.c_str()[systemText.Length() - 1] != '.') text.Append('.');
  return text;
}

void ReportFunctionFailure(const char* function) {
  DWORD code = ::GetLastError();
  if (code == 0) code = ERROR_GEN_FAILURE;
  ReportEvent(FunctionFailureText(function, code), SeverityError, CategoryNone);
  ::SetLastError(code);
}

void ReportServiceEvent(const char* word) {
  Str text = Identity().versionedDisplayName;
  text.Append(' ');
  text.Append(word);
  text.Append('.');
  ReportEvent(text, SeverityInfo, CategoryNone);
}

void SetServiceManagerCalls(const ServiceManagerCalls* calls) { s_managerCalls = calls ? calls : &kManagerCalls; }

void InitServiceStatus(ServiceStatusContext& context) {
  context.ready = false;
  context.lastError = 0;
  context.statusHandle = nullptr;
  context.stopRequested = false;
  context.stoppedReported = false;
  context.status = {};
  context.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  context.status.dwCurrentState = SERVICE_STOPPED;
  context.status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
}

bool SetServiceState(ServiceStatusContext& context, DWORD state) {
  ::AcquireSRWLockExclusive(&context.statusLock);
  context.status.dwCheckPoint += 1;
  context.status.dwCurrentState = state;
  context.status.dwWaitHint = 100;
  if (state == SERVICE_STOPPED) context.stoppedReported = true;
  bool ok = s_managerCalls.load()->setStatus(context.statusHandle, &context.status) != FALSE;
  DWORD error = ::GetLastError();
  ::ReleaseSRWLockExclusive(&context.statusLock);
  if (!ok) {
    context.lastError = error;
    ::SetLastError(error);
    ReportFunctionFailure("SetServiceStatus");
  }
  return ok;
}

void SaveServiceFailure(ServiceStatusContext& context, const char* function) {
  context.lastError = ::GetLastError();
  ReportFunctionFailure(function);
}

void CloseServiceEvents(ServiceStatusContext& context) {
  for (KernelHandle& event : context.events) {
    // The slot is cleared before the handle is closed: a stop control arriving meanwhile finds no
    // event rather than a closed one.
    KernelHandle closing(event.Take());
  }
}

void FinishServiceMain(ServiceStatusContext& context) {
  if (context.statusHandle && !context.stoppedReported) {
    ::AcquireSRWLockExclusive(&context.statusLock);
    // 0 would tell the service manager that the service ended normally.
    context.status.dwWin32ExitCode = context.lastError != 0 ? context.lastError : ERROR_GEN_FAILURE;
    ::ReleaseSRWLockExclusive(&context.statusLock);
    SetServiceState(context, SERVICE_STOPPED);
  }
  CloseServiceEvents(context);
}

void PrepareServiceContext(ServiceStatusContext& context, LPHANDLER_FUNCTION_EX handler, HANDLE (*createOwnEvent)(),
                           const char* ownEventFunction) {
  WStr serviceName(GetServiceIdentity().serviceName);
  context.statusHandle = s_managerCalls.load()->registerHandler(serviceName.c_str(), handler, &context);
  if (!context.statusHandle) return SaveServiceFailure(context, "RegisterServiceCtrlHandler");
  for (int i = 0; i < 2; ++i) {
    context.events[i].Reset(::CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!context.events[i]) return SaveServiceFailure(context, "CreateEvent");
  }
  context.events[2].Reset(createOwnEvent());
  if (!context.events[2]) return SaveServiceFailure(context, ownEventFunction);
  context.ready = true;
}

DWORD EnterPendingState(ServiceStatusContext& context, int index) {
  if (!context.ready) return context.lastError;
  if (!SetServiceState(context, context.pendingStates[index])) return context.lastError;
  if (!::SetEvent(context.events[index].Get())) {
    SaveServiceFailure(context, "SetEvent");
    return context.lastError;
  }
  return 0;
}

ServiceWait WaitForServiceEvents(ServiceStatusContext& context, DWORD periodMs) {
  const HANDLE events[3] = {context.events[0].Get(), context.events[1].Get(), context.events[2].Get()};
  switch (::WaitForMultipleObjects(3, events, FALSE, periodMs)) {
    case WAIT_OBJECT_0:
      ReportServiceEvent("started");
      return context.ready && SetServiceState(context, SERVICE_RUNNING) ? ServiceWait::Running : ServiceWait::End;
    case WAIT_OBJECT_0 + 1:
      ReportServiceEvent("stopped");
      if (context.ready) SetServiceState(context, SERVICE_STOPPED);
      return ServiceWait::End;
    case WAIT_OBJECT_0 + 2:
      return ServiceWait::OwnEvent;
    case WAIT_TIMEOUT:
      return ServiceWait::Timeout;
    case WAIT_FAILED:
      SaveServiceFailure(context, "WaitForMultipleObjects");
      return ServiceWait::End;
    default:
      return ServiceWait::Continue;
  }
}

int RunServiceProgram(int argc, wchar_t** argv, const char* serviceWords, LPSERVICE_MAIN_FUNCTIONW serviceMain) {
  InitServiceIdentity(serviceWords);
  const ServiceIdentity& id = Identity();

  Str argument = argc > 1 ? Str::FromUtf16(argv[1], -1) : Str();
  if (CompareNoCase(argument, Str("install")) == 0) {
    Str banner("\r\nInstalling [");
    banner.Append(id.versionedDisplayName);
    banner.Append("].\r\n");
    WriteStdout(banner);
    return InstallService();
  }

  WStr serviceName(id.serviceName);
  SERVICE_TABLE_ENTRYW table[] = {
      {const_cast<wchar_t*>(serviceName.c_str()), serviceMain},
      {nullptr, nullptr},
  };
  if (!::StartServiceCtrlDispatcherW(table)) {
    ReportFunctionFailure("StartServiceCtrlDispatcher");
    return 1;
  }
  return 0;
}

void RunServiceMain(ServiceStatusContext& context, const ServiceHooks& hooks) {
  InitServiceStatus(context);
  if (hooks.prepare) hooks.prepare(context);
  PrepareServiceContext(context, hooks.controlHandler, hooks.createOwnEvent, hooks.ownEventFunction);
  if (ReportServicePending(context, hooks, 0) == 0) {
    // The first work runs while the service still reports START_PENDING; the start event is
    // signalled already, so the first wait then reports RUNNING.
    hooks.firstWork(context);
    while (ServiceWaitOnce(context, hooks)) {
    }
  }
  FinishServiceMain(context);
}

DWORD ReportServicePending(ServiceStatusContext& context, const ServiceHooks& hooks, int index) {
  if (index == 1) {
    if (hooks.stopping) {
      hooks.stopping(context);
    } else {
      context.stopRequested = true;
    }
  }
  return EnterPendingState(context, index);
}

DWORD HandleServiceControl(ServiceStatusContext* context, const ServiceHooks& hooks, DWORD control) {
  if (!context) return ERROR_BAD_ENVIRONMENT;
  if (control == SERVICE_CONTROL_STOP) return ReportServicePending(*context, hooks, 1);
  if (control >= 128 && control <= 255) return ERROR_CALL_NOT_IMPLEMENTED;
  return NO_ERROR;
}

bool ServiceWaitOnce(ServiceStatusContext& context, const ServiceHooks& hooks) {
  switch (WaitForServiceEvents(context, kServiceWaitPeriodMs)) {
    case ServiceWait::OwnEvent:
      hooks.ownEvent(context);
      return true;
    case ServiceWait::Timeout:
      hooks.timeout(context);
      return true;
    case ServiceWait::Running:
      if (hooks.running) hooks.running(context);
      return true;
    case ServiceWait::Continue:
      return true;
    case ServiceWait::End:
      return false;
  }
  return false;
}
