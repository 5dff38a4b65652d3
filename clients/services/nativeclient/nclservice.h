// The native client service as the service control manager sees it.
#pragma once

#include "servicehost.h"
#include "win.h"

#include <cstdint>

struct ServiceContext : ServiceStatusContext {
  bool interactive = false;  // the interactive marker existed at the last test
};

void WINAPI ServiceMain(DWORD argc, wchar_t** argv);
DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, void* eventData, void* context);
// Index 0 reports START_PENDING, index 1 STOP_PENDING (after the client processes were asked to
// quit); then signals the matching event. 0 or the Windows error.
DWORD ReportPending(int index);
// One pass of the service thread's loop; false means stop.
bool WaitOnce();
// The periodic work of that loop: the interactive marker is tested again, and while no
// interactive client has announced itself the tray program is started when its window is missing.
void SuperviseTray();
