// Error reporting: every failure and notable event leaves the process through ReportEvent.
#pragma once

#include "str.h"
#include "win.h"

#include <cstdarg>
#include <cstdint>
#include <initializer_list>

enum Severity : uint32_t {
  SeverityError = 0,
  SeverityWarning = 1,
  SeverityInfo = 2,
  SeverityNotice = 3,
};

enum EventCategory : uint16_t {
  CategoryNone = 0,
  CategoryUnknown = 1,
  CategoryInternal = 2,
  CategoryTrace = 3,
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

// The last-error code meaning "the error's text is in the thread's error-text slot".
constexpr DWORD ERROR_LIBRARY_TEXT = 44444;

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

// Process identity, set once at start before any report.
void SetEventLogSource(const Str& name);
void SetEventMessageFile(const Str& path);
void SetReportVersion(const Str& version);
// Registers `name` as an event-log source whose messages come from the message file.
void RegisterEventLogSource(const Str& name);

// The system text of a Windows error code, white space trimmed; "Unknown error" when there is none.
Str GetErrorText(uint32_t code, HMODULE module, va_list* arguments, bool withCode, uint16_t primaryLanguage,
                 uint16_t subLanguage);
Str GetErrorText(uint32_t code, uint16_t primaryLanguage = LANG_NEUTRAL, uint16_t subLanguage = SUBLANG_DEFAULT);
// Stores `text` as the thread's error text and sets the last-error value to ERROR_LIBRARY_TEXT.
void SetLastErrorText(const Str& text);

// Writes the message to standard error, reports it (event 900) and ends the process. Never returns.
[[noreturn]] void FatalError(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;
