// The tracer's pipe server: accepts any number of trace clients and hands over whole records.
#pragma once

#include "handles.h"

#include <string>

// Called for every complete record (the bytes before its terminating zero byte), from the
// client's reader thread; calls are serialised by the server.
using RecordSink = void (*)(const std::string& record, void* context);

// Creates the first instance of "\\.\pipe\ZevTracePipe"; fails (ERROR_ACCESS_DENIED) when
// another tracer already listens. Then serves clients on background threads until the process
// ends.
bool StartTraceServer(RecordSink sink, void* context);
