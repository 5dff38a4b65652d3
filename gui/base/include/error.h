// Error reporting: every failure and notable event leaves the process through ReportEvent,
// which writes one record to the event log (the default) or one JSON line to standard output or
// standard error (the setting "LOGTYPE"), and echoes its text to the trace channel.
//
// No report changes the caller's last-error value or the thread's error text.
#pragma once

#include "str.h"
#include "win.h"

#include <cstdarg>
#include <cstdint>
#include <initializer_list>

class Value;

enum Severity : uint32_t {
  SeverityError = 0,
  SeverityWarning = 1,
  SeverityInfo = 2,
  SeverityNotice = 3,
  // 4 and above are written as "unknown", as error events.
};

// The event category; the names are the category strings of each program's message table.
enum EventCategory : uint16_t {
  CategoryNone = 0,
  CategoryUnknown = 1,
  CategoryInternal = 2,
  CategoryTrace = 3,  // reaches its destination, never the trace channel
  CategoryMessage = 4,
  CategoryApplication = 5,
  CategoryInstallation = 6,
  CategoryPerformance = 7,
};

enum LogType : uint8_t {
  LogTypeSystem = 0,
  LogTypeStdout = 1,
  LogTypeStderr = 2,
};

// The last-error code meaning "the error's text is in the thread's error-text slot"; its
// HRESULT form ERROR_LIBRARY_TEXT_HRESULT means the same.
constexpr DWORD ERROR_LIBRARY_TEXT = 44444;
constexpr DWORD ERROR_LIBRARY_TEXT_HRESULT = 0x8007AD9C;

// Full form. `source` names the reporter (the base library reports as "QELGUI"); with a non-zero
// `eventId` it forms the record's id "%s-%05u". `fields` is a dictionary of named values (an
// empty value or any other type counts as no fields); with a source, they are nested under the
// source's lower-case name. True when the record reached its destination: written, or given to
// the event log under a source that Windows refused (a null source handle). False, with nothing
// written anywhere, for an empty message or when no event-log source name can be formed.
bool ReportEvent(const Str& source, uint32_t eventId, const Str& message, const Value& fields, Severity severity,
                 EventCategory category);
// Short form: the services' own messages (no source, event number 0, no fields).
bool ReportEvent(const Str& message, Severity severity, EventCategory category);

// One named field of a base-library report: an integer, or a text when `text` is set.
struct EventField {
  EventField(const char* fieldName, int64_t number) : name(fieldName), value(number) {}
  EventField(const char* fieldName, const char* fieldText) : name(fieldName), text(fieldText ? fieldText : "") {}
  EventField(const char* fieldName, const Str& fieldText) : name(fieldName), text(fieldText.c_str()) {}

  const char* name;
  int64_t value = 0;
  const char* text = nullptr;
};
// A report of the base library itself: source "QELGUI", the given event number and fields.
bool ReportLibraryEvent(uint32_t eventId, const char* message, std::initializer_list<EventField> fields,
                        Severity severity = SeverityError, EventCategory category = CategoryInternal);

// Process identity, set once at start before any report; each setter replaces its setting whole.
// Until set: no source name (reports then use the program's name), no message file, and the
// library's own version "25.10.0.18".
void SetEventLogSource(const Str& name);
void SetEventMessageFile(const Str& path);
void SetReportVersion(const Str& version);
// Makes `name` an event-log source whose messages and categories come from the message file
// (the registry values below HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<name>).
// Does nothing without a message file or with an empty name; write failures are not reported.
void RegisterEventLogSource(const Str& name);

// The log destination from the setting "LOGTYPE" ("system", "stdout" or "stderr", any letter
// case), read once per process; anything else is the event log.
LogType GetLogType();

// The event-log handle for `name`, registered with Windows once per process and kept until the
// process ends (null when Windows refused it, which is kept too). With `registerSource`, a name
// met for the first time is first written to the registry by RegisterEventLogSource.
HANDLE GetEventSourceHandle(const Str& name, bool registerSource);

// The system text of a Windows error code (from `module`'s message table when given), white
// space trimmed, "Unknown error" when there is none; with `withCode` followed by
// " (0x%08lX/%lu)" of the code (code 0 is looked up and shown as 0xFFFFFFFF). For
// ERROR_LIBRARY_TEXT (or its HRESULT) the thread's error text, when it has one.
Str GetErrorText(uint32_t code, HMODULE module, va_list* arguments, bool withCode, uint16_t primaryLanguage,
                 uint16_t subLanguage);
Str GetErrorText(uint32_t code, uint16_t primaryLanguage = LANG_NEUTRAL, uint16_t subLanguage = SUBLANG_DEFAULT);
// Stores `text` as the thread's error text and sets the last-error value to ERROR_LIBRARY_TEXT.
void SetLastErrorText(const Str& text);

// Writes the formatted message to standard error, reports it (source "QELGUI", event 900) and
// ends the process with exit code 3. Never returns.
[[noreturn]] void FatalError(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;
