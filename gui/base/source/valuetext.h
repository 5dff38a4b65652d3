// The JSON writer's form of a date-time, kept beside the display text of Values.
#pragma once

#include "str.h"

#include <cstdint>

// Appends the ISO 8601 time stamp of a packed date-time with the UTC offset of that local time:
// the thread's configured bias when one is set, else the offset the system's zone rules give
// for that date. The packed zone byte is not used.
bool AppendJsonDateTime(uint64_t packed, Str& out);
