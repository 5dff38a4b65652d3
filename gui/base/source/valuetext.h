// Text forms of date-times shared by the display text and the JSON writer.
#pragma once

#include "value.h"

#include <cstddef>

// Room for "YYYY-MM-DDThh:mm:ss.mmm+hh:mm" and a terminator, with spare.
constexpr size_t kDateTimeTextSize = 40;

// "%04u-%02u-%02uT%02u:%02u:%02u.%03u" of the wall-clock fields (the zone byte is not shown).
size_t FormatDisplayDateTime(const DateTimeFields& fields, char* text) noexcept;
// The display form followed by the UTC offset of that local time: "Z", "+hh:mm" or "-hh:mm".
size_t FormatJsonDateTime(const DateTimeFields& fields, char* text) noexcept;
