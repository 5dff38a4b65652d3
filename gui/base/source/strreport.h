// The allocation-failure report of the counted strings.
#pragma once

#include "error.h"

#include <cstdint>

// Reports a failed string allocation (event `eventId`, "String allocation failed") and sets
// ERROR_OUTOFMEMORY. The report builds strings itself; when those allocations fail too, only the
// outermost failure is reported instead of recursing until the stack is gone.
inline void ReportStringAllocationFailure(uint32_t eventId, int64_t bytes, int64_t codeUnits) {
  static thread_local bool t_reporting = false;
  if (!t_reporting) {
    t_reporting = true;
    ReportLibraryEvent(eventId, "String allocation failed", {{"bytes", bytes}, {"codeunits", codeUnits}});
    t_reporting = false;
  }
  ::SetLastError(ERROR_OUTOFMEMORY);
}
