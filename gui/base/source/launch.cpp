#include "launch.h"

#include "error.h"

#include <cerrno>

namespace {

constexpr DWORD kInputIdleWaitMs = 5000;

void ReportNotStarted(const Str& commandLine, DWORD code) {
  Str error = GetErrorText(code);
  ReportLibraryEvent(2106, "Command execution failed", {{"command", commandLine}, {"error", error}});
}

}  // namespace

uint32_t ExecuteCommand(const Str& commandLine, const Str& workingDirectory, bool showWindow, bool foreground,
                        KernelHandle* process) {
  return ExecuteProgram(Str(), commandLine, workingDirectory, showWindow, foreground, process);
}

uint32_t ExecuteProgram(const Str& application, const Str& commandLine, const Str& workingDirectory, bool showWindow,
                        bool foreground, KernelHandle* process) {
  if (process) process->Reset();
  if (commandLine.IsEmpty()) return 0;
  // The program to run, when given, is taken as it stands: Windows then neither reads it from
  // the command line nor searches for it.
  WStr program = application.IsEmpty() ? WStr() : WStr(application);
  if (!application.IsEmpty() && program.IsEmpty()) {
    ReportNotStarted(commandLine, ERROR_NO_UNICODE_TRANSLATION);
    ::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }

  WStr directory = workingDirectory.IsEmpty() ? WStr() : WStr(workingDirectory);
  // CreateProcessW may write into the command line, so it gets a private, writable copy.
  WStr wideCommand(commandLine);
  WStr writable;
  wchar_t* buffer = wideCommand.IsEmpty() ? nullptr : writable.GetBuffer(wideCommand.Length());
  if (!buffer) {
    ReportNotStarted(commandLine, ::GetLastError());
    return 0;
  }
  wideCommand.CopyTo(buffer, wideCommand.Length() + 1);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW | (showWindow ? STARTF_FORCEONFEEDBACK : STARTF_FORCEOFFFEEDBACK);
  startup.wShowWindow = showWindow ? SW_SHOW : SW_HIDE;
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(program.IsEmpty() ? nullptr : program.c_str(), buffer, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                        directory.IsEmpty() ? nullptr : directory.c_str(), &startup, &info)) {
    DWORD code = ::GetLastError();
    ReportNotStarted(commandLine, code ? code : static_cast<DWORD>(errno));
    ::SetLastError(code);
    return 0;
  }
  KernelHandle thread(info.hThread);
  KernelHandle started(info.hProcess);
  thread.Reset();
  if (started && foreground) {
    ::AllowSetForegroundWindow(info.dwProcessId);
    // A console program answers WAIT_FAILED at once; either way the wait ends within 5 seconds.
    ::WaitForInputIdle(started.Get(), kInputIdleWaitMs);
  }
  uint32_t processId = info.dwProcessId ? info.dwProcessId : 0xFFFFFFFF;
  ReportLibraryEvent(2105, "Command execution succeeded",
                     {{"command", commandLine}, {"processid", static_cast<int64_t>(processId)}}, SeverityNotice);
  if (process) *process = std::move(started);
  return processId;
}

bool RunCommand(const Str& commandLine, const Str& workingDirectory, bool showWindow, bool foreground) {
  KernelHandle process;
  return ExecuteCommand(commandLine, workingDirectory, showWindow, foreground, &process) != 0;
}

bool RunCommandShown(const Str& commandLine) { return RunCommand(commandLine, Str(), true, true); }

bool RunProgramShown(const Str& application, const Str& commandLine) {
  KernelHandle process;
  return ExecuteProgram(application, commandLine, Str(), true, true, &process) != 0;
}
