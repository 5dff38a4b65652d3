// Starting other programs from a command line. Every attempt with a non-empty command line
// leaves one event-log record: 2105 "Command execution succeeded" or 2106 "Command execution failed".
#pragma once

#include "handles.h"
#include "str.h"

#include <cstdint>

// Starts `commandLine` (not waited for). `workingDirectory` empty means the caller's. With
// `showWindow` the program is shown, else hidden; with `foreground` it may take the foreground
// and is given up to 5 seconds to become ready for input. Returns the process id (never 0 on
// success) and hands the process handle to `process`; 0 when nothing was started.
uint32_t ExecuteCommand(const Str& commandLine, const Str& workingDirectory, bool showWindow, bool foreground,
                        KernelHandle* process);
// ExecuteCommand with the program to run given apart from the command line: CreateProcessW gets
// `application` (a full path) as its application name and runs exactly that file, whatever the
// command line's first word says. The record still shows the command line.
uint32_t ExecuteProgram(const Str& application, const Str& commandLine, const Str& workingDirectory, bool showWindow,
                        bool foreground, KernelHandle* process);
// ExecuteCommand without keeping the process handle; true when a process was started.
bool RunCommand(const Str& commandLine, const Str& workingDirectory, bool showWindow, bool foreground);
// RunCommand shown, in the foreground, in the caller's folder.
bool RunCommandShown(const Str& commandLine);
// RunCommandShown of ExecuteProgram: `application` runs with `commandLine`.
bool RunProgramShown(const Str& application, const Str& commandLine);
