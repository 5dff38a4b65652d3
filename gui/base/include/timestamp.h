// ISO 8601 time stamps and the UTC bias (UTC minus local time, in minutes, the Windows
// convention: negative east of UTC).
#pragma once

#include "str.h"

#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Packed date-time: the 56-bit payload of a date-time Value.
//   bits  0- 9 milliseconds   bits 10-15 seconds   bits 16-21 minutes   bits 22-26 hours
//   bits 27-31 day            bits 32-35 month     bits 36-47 year
//   bits 48-55 zone byte: bits 0-5 the bias's magnitude in quarter hours, bit 6 set when the
//              bias is negative; 0 is UTC.
// The time fields are the wall-clock time of that zone.
struct DateTimeFields {
  uint32_t year;
  uint32_t month;
  uint32_t day;
  uint32_t hour;
  uint32_t minute;
  uint32_t second;
  uint32_t millisecond;
  int32_t bias;  // minutes; kept to whole quarter hours, at most 15:45 either way
};

// Fields too wide for their bits are cut to their bits; the bias is rounded towards zero to
// quarter hours and limited to 63 of them.
uint64_t PackDateTime(const DateTimeFields& fields) noexcept;
DateTimeFields UnpackDateTime(uint64_t packed) noexcept;

// Appends "YYYY-MM-DD" `separator` "hh:mm:ss.mmm" and, with `withZone`, "Z" for a zero bias,
// "+hh:mm" for a negative bias, "-hh:mm" for a positive one. False when the append fails
// (the string is then unchanged).
bool FormatTimeStamp(uint64_t packed, char separator, bool withZone, Str& out);

// Appends "hh:mm:ss"; then, when `fraction` is given and 0 <= *fraction < 1 and its 16-digit
// rounding is not zero, '.' and those digits without trailing zeros; then, when `bias` is
// given, "Z" for 0, "+hh:mm" for a negative bias and "-hh:mm" for a positive one.
bool FormatIsoTime(int32_t hour, int32_t minute, int32_t second, const double* fraction, const int32_t* bias,
                   Str& out);
// Appends "YYYY-MM-DD", 'T' and FormatIsoTime.
bool FormatIsoDateTime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second,
                       const double* fraction, const int32_t* bias, Str& out);

// ---------------------------------------------------------------------------------------------
// Biases

// The system's bias now, daylight saving included (0 when the time zone cannot be read).
int32_t GetCurrentBias();
// The bias configured for this thread, else GetCurrentBias().
int32_t GetThreadBias();
// True when this thread has a configured bias that differs from GetCurrentBias().
bool IsThreadBiasSet();
// Configures (or removes) this thread's bias. When the process has no per-thread storage slot
// left, one process-wide setting serves every thread.
void SetThreadBias(int32_t bias);
void ClearThreadBias();
