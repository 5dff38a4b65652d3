// The one Windows header of the project: every source includes this instead of <windows.h>,
// so that all of them see the same definitions.
#pragma once

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

// The library has functions of these names; the Windows A/W macros would rename them.
#undef ReportEvent
#undef FindExecutable
#undef GetEnvironmentVariable
