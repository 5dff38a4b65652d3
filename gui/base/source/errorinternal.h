// Private pieces shared by the sources of the error-reporting part.
#pragma once

#include "str.h"
#include "win.h"


// The message file path set by SetEventMessageFile (empty until then).
Str ReportMessageFile();

// The thread's error-text slot, read and written without touching the last-error value.
Str ThreadErrorText();
void StoreThreadErrorText(const Str& text);

// Pushes buffered records of both standard streams out, for a process that is about to end
// without the runtime's exit processing.
void FlushReportStreams();
