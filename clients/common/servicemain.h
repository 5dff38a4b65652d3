// The service main's plumbing shared by the two service hosts: the context both threads of a
// service share with the service manager, the calls through which it meets the manager, and the
// service skeleton whose hooks each service fills in.
#pragma once

#include "handles.h"
#include "servicehost.h"
#include "win.h"

#include <atomic>

// What a service shares with the service control manager, used by the service thread (service
// main, wait loop) and the dispatcher thread (control handler).
struct ServiceStatusContext {
  bool ready = false;              // handler registered and all three events exist
  DWORD lastError = 0;             // the Windows error saved at the last failure
  SERVICE_STATUS status = {};
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  KernelHandle events[3];          // start, stop, and the program's own event
  DWORD pendingStates[2] = {SERVICE_START_PENDING, SERVICE_STOP_PENDING};
  // Set by the control handler when a stop control arrives, before anything else it does; the
  // service thread's work asks it between its steps.
  std::atomic<bool> stopRequested{false};
  bool stoppedReported = false;    // SERVICE_STOPPED has been reported
  // The handler and the service thread both change the status; each change and its
  // SetServiceStatus call happen under this lock so that the reports keep their order.
  SRWLOCK statusLock = SRWLOCK_INIT;
};

// The two calls through which a service main meets the service manager. A test replaces them to
// run a service main in its own process and watch every status it reports.
struct ServiceManagerCalls {
  SERVICE_STATUS_HANDLE(WINAPI* registerHandler)(const wchar_t* serviceName, LPHANDLER_FUNCTION_EX handler,
                                                 void* context);
  BOOL(WINAPI* setStatus)(SERVICE_STATUS_HANDLE statusHandle, SERVICE_STATUS* status);
};
// Null restores the service manager's own calls.
void SetServiceManagerCalls(const ServiceManagerCalls* calls);

// Clears the context and fills the status: own process, stopped, accepting only the stop.
void InitServiceStatus(ServiceStatusContext& context);
// Enters `state` (check point + 1, wait hint 100 ms) and reports it; on failure saves the error
// and reports "SetServiceStatus".
bool SetServiceState(ServiceStatusContext& context, DWORD state);
// Saves the thread's last error in the context and reports `function` as failed.
void SaveServiceFailure(ServiceStatusContext& context, const char* function);
// Closes the events that exist, clearing each slot first.
void CloseServiceEvents(ServiceStatusContext& context);
// The end of every service main. Unless SERVICE_STOPPED has been reported already, it is reported
// now with the saved error as dwWin32ExitCode: on Windows StartServiceCtrlDispatcher returns only
// after the service reported SERVICE_STOPPED, so a service main that returned without it would
// leave the process in START_PENDING for ever, refusing every stop. Without a status handle (the
// handler registration failed) there is nobody to tell. Then the events are closed.
void FinishServiceMain(ServiceStatusContext& context);

// The service main's set-up after InitServiceStatus: registers `handler` with the context as
// its argument, creates the start and stop events and then the program's own event with
// `createOwnEvent` (its failure is reported as `ownEventFunction`). The first failure is saved
// and ends the set-up; `ready` is set when everything is in place.
void PrepareServiceContext(ServiceStatusContext& context, LPHANDLER_FUNCTION_EX handler, HANDLE (*createOwnEvent)(),
                           const char* ownEventFunction);

// Index 0 enters START_PENDING, index 1 STOP_PENDING; then signals the matching event. 0 or the
// Windows error (the saved one when the context is not ready).
DWORD EnterPendingState(ServiceStatusContext& context, int index);

// What one wait of a service's loop found.
enum class ServiceWait {
  Running,   // the start event: RUNNING was entered
  Continue,  // any other wake-up: nothing to do
  End,       // the stop event (STOPPED entered), a failed wait, or a failed status report
  OwnEvent,  // the program's own event: its work is due
  Timeout,   // the period passed: its periodic work is due
};

// Waits at most `periodMs` for the start, stop and own events. The start event reports
// "started" and enters RUNNING; the stop event reports "stopped" and enters STOPPED; a failed
// wait is saved as "WaitForMultipleObjects".
ServiceWait WaitForServiceEvents(ServiceStatusContext& context, DWORD periodMs);

// ---------------------------------------------------------------------------------------------
// The service skeleton both services run: prepare, report START_PENDING, the first work, the wait
// loop over the start, stop and own events (60 seconds at most), and the end. A service gives
// its own work as hooks; each hook gets the context the skeleton runs on, which is the service's
// own context record.

struct ServiceHooks {
  // The service's control handler, registered with the service manager.
  LPHANDLER_FUNCTION_EX controlHandler;
  // Creates the program's own event; a failure is reported as `ownEventFunction`.
  HANDLE (*createOwnEvent)();
  const char* ownEventFunction;
  // After the status is initialised, before the handler is registered (may be null).
  void (*prepare)(ServiceStatusContext& context) = nullptr;
  // Once, in START_PENDING, after the start event has been signalled.
  void (*firstWork)(ServiceStatusContext& context);
  // The program's own event was signalled.
  void (*ownEvent)(ServiceStatusContext& context);
  // The period passed without an event.
  void (*timeout)(ServiceStatusContext& context);
  // RUNNING has just been reported (may be null).
  void (*running)(ServiceStatusContext& context) = nullptr;
  // The stop path before STOP_PENDING is reported; it marks the stop (stopRequested) itself.
  // Null: the stop is only marked.
  void (*stopping)(ServiceStatusContext& context) = nullptr;
};

// The whole service main on `context`.
void RunServiceMain(ServiceStatusContext& context, const ServiceHooks& hooks);
// Index 0 reports START_PENDING; index 1 runs the stop path and reports STOP_PENDING. Then the
// matching event is signalled. 0 or the Windows error (the saved one when the context is not
// ready).
DWORD ReportServicePending(ServiceStatusContext& context, const ServiceHooks& hooks, int index);
// The answer to a service control: ERROR_BAD_ENVIRONMENT without a context, the stop path for
// SERVICE_CONTROL_STOP, ERROR_CALL_NOT_IMPLEMENTED for the user-defined controls 128 to 255,
// NO_ERROR (and nothing done) for every other control.
DWORD HandleServiceControl(ServiceStatusContext* context, const ServiceHooks& hooks, DWORD control);
// One pass of the wait loop; false ends it.
bool ServiceWaitOnce(ServiceStatusContext& context, const ServiceHooks& hooks);
