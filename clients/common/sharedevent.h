// The per-account events through which client processes and the native client service meet:
// each name is "Global\" + base name + "." + the SID of the account the process runs as, so that
// the clients of one account only ever reach the service instance of that account.
#pragma once

#include "str.h"
#include "win.h"

// "Global\<base>.<SID of this process's user>"; "Global\<base>" when the SID cannot be read.
WStr GlobalEventName(const char* baseName);

// Creates the per-account event with the Everyone-full-access descriptor. Null on failure with
// the Windows error kept; also null when the name already existed (ERROR_ALREADY_EXISTS, and
// `alreadyExisted` set): an event planted by another process with its own rights is never used.
HANDLE CreateSharedEvent(const char* baseName, bool manualReset, bool initialState, bool* alreadyExisted = nullptr);

// Whether an interactive client has announced itself: only the marker event's existence counts.
bool TestInteractiveMarker();
