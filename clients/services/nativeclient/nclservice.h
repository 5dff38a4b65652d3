// The native client service as the service control manager sees it.
#pragma once

#include "servicemain.h"
#include "win.h"

#include <cstdint>

struct ServiceContext : ServiceStatusContext {
  bool interactive = false;  // the interactive marker existed at the last test
  // Held by the service thread while it makes sure the tray runs, and by the stop path while it
  // marks the stop: a tray start can then never slip in after the stop path asked the tray to quit.
  SRWLOCK supervisionLock = SRWLOCK_INIT;
};

void WINAPI ServiceMain(DWORD argc, wchar_t** argv);
DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, void* eventData, void* context);
// Index 0 reports START_PENDING, index 1 STOP_PENDING (after the client processes were asked to
// quit); then signals the matching event. 0 or the Windows error.
DWORD ReportPending(int index);
// One pass of the service thread's loop; false means stop.
bool WaitOnce();
// The tray supervision of the service thread, at start and after every quiet minute: starts the
// tray unless an interactive client has announced itself or a stop has been requested.
void SuperviseTray(ServiceContext& context);
// The work after each quiet minute: the interactive marker is tested again, then the tray is
// supervised as above.
void SuperviseTrayAfterQuietPeriod(ServiceContext& context);
