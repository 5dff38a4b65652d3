// The machine-wide push event: any process may signal it after dropping a package.
#pragma once

#include "win.h"

// Creates "Global\com.vennacor.updateservice.msipush" (auto-reset, not signalled) with a DACL
// that grants Everyone full access. Null on any failure, including when another process
// already owns the name: an event planted with other access rights is never used.
HANDLE CreateMSIPushEvent();
