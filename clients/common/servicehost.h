// What the two service programs share as Windows services: their names, the "install"
// registration, the dispatcher entry and their two event-log reports. The service main's own
// plumbing (status context, skeleton, hooks) is in servicemain.h, which only the service hosts
// include.
#pragma once

#include "str.h"
#include "win.h"


inline constexpr char ProgramVersion[] = "25.10.0.74";

struct ServiceIdentity {
  Str programPath;             // as GetModuleFileNameW reports it
  Str serviceName;             // program file's base name in upper case, at most 255 characters
  Str displayName;             // product name, a blank and the service's words, at most 255 characters
  Str versionedDisplayName;    // display name, " (", the program version, ")"
};

// The service name for a program path: base name without folder and last extension,
// upper-cased, cut to 255 characters.
Str ServiceNameFromPath(const Str& programPath);
// The display name for the service's words ("Client Update Service").
Str DisplayNameFor(const char* serviceWords);

// Forms the names of this process and hands the base library its identity (message file,
// event-log source, version), in the order the event log needs.
void InitServiceIdentity(const char* serviceWords);
const ServiceIdentity& GetServiceIdentity();

// The image path registered for a program path: in double quotes when it holds a blank, so that
// the service manager cannot read "C:\Program Files\..." as the program "C:\Program.exe" with
// arguments; unchanged otherwise.
Str ServiceImagePath(const Str& programPath);

// Registers this program as a demand-start LocalSystem service; exit code 0 or 1.
int InstallService();

// "Function [name] failed with code [%08lX]: <system text>." for the thread's last error
// (31 when it is 0), as an error entry.
void ReportFunctionFailure(const char* function);
Str FunctionFailureText(const char* function, DWORD code);
// "<versioned display name> <word>." as an information entry.
void ReportServiceEvent(const char* word);

// The program entry of a service: identity, then "install" (any letter case) or the dispatcher.
int RunServiceProgram(int argc, wchar_t** argv, const char* serviceWords, LPSERVICE_MAIN_FUNCTIONW serviceMain);
