// The native client service as the service control manager sees it.
#pragma once

#include "win.h"

#include <cstdint>

struct ServiceContext {
  bool ready = false;              // handler registered and all three events exist
  bool interactive = false;        // the interactive marker existed at the last test
  DWORD lastError = 0;             // the Windows error saved at the last failure
  SERVICE_STATUS status = {};
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  HANDLE events[3] = {};           // start, stop, shutdown
  DWORD pendingStates[2] = {SERVICE_START_PENDING, SERVICE_STOP_PENDING};
  // The handler (dispatcher thread) and the service thread both change the status; each
  // change and its SetServiceStatus call happen under this lock so that reports keep their order.
  SRWLOCK statusLock = SRWLOCK_INIT;
};

void WINAPI ServiceMain(DWORD argc, wchar_t** argv);
DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, void* eventData, void* context);
// Index 0 reports START_PENDING, index 1 STOP_PENDING (after the client processes were asked to
// quit); then signals the matching event. 0 or the Windows error.
DWORD ReportPending(int index);
// One pass of the service thread's loop; false means stop.
bool WaitOnce();
