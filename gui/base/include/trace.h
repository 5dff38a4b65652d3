// The developer trace channel: short diagnostic lines for an external tracer.
#pragma once

#include <cstdint>

// Every call in both programs traces in this area.
constexpr uint32_t TraceAreaDefault = 0x1000;

enum TraceType : uint32_t {
  TraceState = 1,    // state messages of the services
  TraceDetail = 2,   // ordinary detail lines
  TraceError = 4,    // errors
  TraceSystem = 8,
  TraceAlways = 16,
  TraceWarning = 32,
};

// Writes `text` (UTF-8, one record per line); leaves the caller's last-error value unchanged.
void TraceOut(uint32_t area, uint32_t type, const char* file, int line, const char* text);
// The entry for error traces; writes like TraceOut.
void TraceAssert(uint32_t area, uint32_t type, const char* file, int line, const char* text);
// Formats into one of the thread's four buffers (printf rules, at most 1023 characters);
// null when all four are in use. Release with TraceFormatDone after the TraceOut call.
const char* TraceFormat(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;
void TraceFormatDone();
