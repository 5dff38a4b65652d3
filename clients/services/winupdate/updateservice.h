// The update service as the service control manager sees it.
#pragma once

#include "servicemain.h"
#include "win.h"

#include <cstdint>

// The update service needs nothing beyond what every service shares.
struct ServiceContext : ServiceStatusContext {};

void WINAPI ServiceMain(DWORD argc, wchar_t** argv);
DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, void* eventData, void* context);
DWORD ReportPending(int index);
// One pass of the service thread's loop; false means stop.
bool WaitOnce();
