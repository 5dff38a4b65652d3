// Private parts of the trace channel shared by its sources.
#pragma once

#include "trace.h"
#include "win.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

// A record: prefix and text, at most 1024 bytes, then the zero byte; two more bytes take the
// "\r\n" of the debugger output in place.
constexpr size_t kTraceRecordMax = 1024;
constexpr size_t kTraceLineBytes = kTraceRecordMax + 1;
constexpr int kTraceFormatBuffers = 4;

struct TraceThreadState {
  DWORD threadId;
  uint32_t typeMask;          // 0xFFF: every type passes
  bool inPipeWrite;           // re-entry guard of the pipe write
  uintptr_t stackTop;         // highest stack address seen by a trace call of this thread
  int formatUsed;             // TraceFormat buffers held
  char format[kTraceFormatBuffers][kTraceLineBytes];
};

// True from the start until the library's static destruction begins.
bool TracingOn();
// The thread's state, created on first use when `create`; null when there is none. `tlsGone`
// (optional) tells that thread-local storage is not available (no slot, or the thread already
// released its state at thread exit), as opposed to an allocation failure.
TraceThreadState* GetTraceThreadState(bool create, bool* tlsGone = nullptr);
// The mapped shared word; null when the section could not be created or mapped.
volatile uint32_t* TracePrefixWord();
uint32_t TraceThreadStateCount();
// Creates or opens the section `name` that holds the prefix word and maps it; a new section
// gets the default word and the access rules for all users. Null when it cannot be created or
// mapped, or when it already existed and IsTrustedSectionOwner refuses it. Handle and view
// stay open for the life of the process.
uint32_t* OpenTracePrefixSection(const wchar_t* name);
// True when the owner of `section` (a handle with READ_CONTROL) is LocalSystem, the
// Administrators group or the user of this process.
bool IsTrustedSectionOwner(HANDLE section);

// Writes `record` (length bytes plus its zero byte) as one pipe message; false when it did not
// reach a tracer (absent, failing, or still in the back-off second after a failure).
bool TracePipeWrite(const char* record, size_t length);
void TracePipeClose();
uint32_t TracePipeConnectAttempts();

struct TracePrefixInput {
  uint32_t word, area, type;
  const char* file;
  int line;
  uintptr_t stackDepth;
};
// Builds the prefix into `out` (kTraceLineBytes); answers its length, kTraceRecordMax or more
// when it does not leave room for any text.
size_t BuildTracePrefix(char* out, const TracePrefixInput& in);

// The address of the caller's frame, for the stack-depth part.
#if defined(_MSC_VER)
#include <intrin.h>
#define TRACE_CURRENT_FRAME() reinterpret_cast<uintptr_t>(_AddressOfReturnAddress())
#else
#define TRACE_CURRENT_FRAME() reinterpret_cast<uintptr_t>(__builtin_frame_address(0))
#endif
