// The running program's file: its full path and its name, derived in one place for the service
// host, the reporter and the trace channel.
#pragma once

#include "str.h"

// The full path of the running program's file as GetModuleFileNameW reports it, however long:
// the buffer grows until the whole path fits. Empty when it cannot be read.
Str ProgramFilePath();

// The program's file name without folder and last extension (BaseNameOf of ProgramFilePath),
// derived once per process and kept to its end (the lazy static "Str s_modulename"), so that
// reports and traces made during exit still name their program. Empty when the path cannot be
// read.
const Str& ProgramName();
