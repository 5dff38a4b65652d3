// Error reporting. This first body writes every record to the event log in its text form;
// the JSON-line destinations and the record's time stamp and process fields come later
// without changing a caller.
#include "error.h"

#include "handles.h"
#include "trace.h"

#include <cstdio>
#include <cstring>

namespace {

const char kSourceFile[] = "gui/base/source/error";

struct ReportSettings {
  Str source;
  Str messageFile;
  Str version{"25.10.0.18"};
};
ReportSettings& Settings() {
  static ReportSettings s_settings;
  return s_settings;
}

thread_local Str t_errorText;

WStr ToWide(const Str& text) { return WStr(text); }

// The program's file name without folder and extension, in upper case.
Str ProgramName() {
  wchar_t path[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return Str();
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  wchar_t* dot = wcsrchr(const_cast<wchar_t*>(name), L'.');
  if (dot) *dot = 0;
  Str result = Str::FromUtf16(name, -1);
  ToUpper(result);
  return result;
}

bool WriteToEventLog(const Str& source, bool registerSource, Severity severity, EventCategory category,
                     const Str& text) {
  if (registerSource) RegisterEventLogSource(source);
  HANDLE log = ::RegisterEventSourceW(nullptr, ToWide(source).c_str());
  if (!log) return true;  // without a source handle the report counts as done
  WORD type = EVENTLOG_ERROR_TYPE;
  if (severity == SeverityWarning) type = EVENTLOG_WARNING_TYPE;
  else if (severity == SeverityInfo) type = EVENTLOG_INFORMATION_TYPE;
  else if (severity == SeverityNotice) type = EVENTLOG_SUCCESS;
  WStr wide(text);
  const wchar_t* strings[1] = {wide.c_str()};
  BOOL ok = ::ReportEventW(log, type, category, 0, nullptr, 1, 0, strings, nullptr);
  ::DeregisterEventSource(log);
  return ok != FALSE;
}

bool Report(const Str& message, const Str& fieldLines, Severity severity, EventCategory category) {
  DWORD saved = ::GetLastError();
  bool registerSource = false;
  Str source = Settings().source;
  if (source.IsEmpty()) {
    source = ProgramName();
    registerSource = true;
  }
  if (source.IsEmpty() || message.IsEmpty()) return false;
  Str text = message;
  if (!fieldLines.IsEmpty()) {
    text.Append("\n", 1);
    text.Append(fieldLines);
  }
  if (category != CategoryTrace) {
    const char* line = TraceFormat("ReportEvent: %s", text.c_str());
    TraceOut(0x1000, severity == SeverityError ? TraceError : TraceDetail, kSourceFile, __LINE__, line);
    TraceFormatDone();
  }
  bool ok = WriteToEventLog(source, registerSource, severity, category, text);
  ::SetLastError(saved);
  return ok;
}

}  // namespace

bool ReportEvent(const Str& message, Severity severity, EventCategory category) {
  return Report(message, Str(), severity, category);
}

bool ReportLibraryEvent(uint32_t eventId, const char* message, std::initializer_list<EventField> fields,
                        Severity severity, EventCategory category) {
  char id[32];
  snprintf(id, sizeof id, "QELGUI-%05u: ", eventId);
  Str text(id);
  text.Append(message);
  Str lines;
  for (const EventField& field : fields) {
    if (!lines.IsEmpty()) lines.Append('\n');
    lines.Append("qelgui.");
    lines.Append(field.name);
    lines.Append(": ");
    if (field.text) {
      lines.Append(field.text);
    } else {
      char number[32];
      snprintf(number, sizeof number, "%lld", static_cast<long long>(field.value));
      lines.Append(number);
    }
  }
  return Report(text, lines, severity, category);
}

void SetEventLogSource(const Str& name) { Settings().source = name; }
void SetEventMessageFile(const Str& path) { Settings().messageFile = path; }
void SetReportVersion(const Str& version) { Settings().version = version; }

void RegisterEventLogSource(const Str& name) {
  const Str& file = Settings().messageFile;
  if (file.IsEmpty() || name.IsEmpty()) return;
  Str keyPath("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\");
  keyPath.Append(name);
  RegKey key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, WStr(keyPath).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        key.Receive(), nullptr) != ERROR_SUCCESS)
    return;
  DWORD seven = 7;
  ::RegSetValueExW(key.Get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seven), 4);
  ::RegSetValueExW(key.Get(), L"CategoryCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seven), 4);
  WStr wide(file);
  DWORD bytes = (wide.Length() + 1) * sizeof(wchar_t);
  ::RegSetValueExW(key.Get(), L"CategoryMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()), bytes);
  ::RegSetValueExW(key.Get(), L"EventMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()), bytes);
}

Str GetErrorText(uint32_t code, HMODULE module, va_list* arguments, bool withCode, uint16_t primaryLanguage,
                 uint16_t subLanguage) {
  if ((code == ERROR_LIBRARY_TEXT || code == 0x8007AD9C) && !t_errorText.IsEmpty()) return t_errorText;
  DWORD used = code ? code : 0xFFFFFFFF;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | (FORMAT_MESSAGE_MAX_WIDTH_MASK & 255) |
                (module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM) |
                (arguments ? 0 : FORMAT_MESSAGE_IGNORE_INSERTS);
  wchar_t* buffer = nullptr;
  DWORD n = ::FormatMessageW(flags, module, used, MAKELANGID(primaryLanguage, subLanguage),
                             reinterpret_cast<wchar_t*>(&buffer), 0, arguments);
  LocalMemory owned(buffer);
  Str text = n ? Trim(Str::FromUtf16(buffer, static_cast<int>(n))) : Str("Unknown error");
  if (text.IsEmpty()) text = Str("Unknown error");
  if (!withCode) return text;
  char suffix[40];
  snprintf(suffix, sizeof suffix, " (0x%08lX/%lu)", static_cast<unsigned long>(used), static_cast<unsigned long>(used));
  text.Append(suffix);
  return text;
}

Str GetErrorText(uint32_t code, uint16_t primaryLanguage, uint16_t subLanguage) {
  return GetErrorText(code, nullptr, nullptr, true, primaryLanguage, subLanguage);
}

void SetLastErrorText(const Str& text) {
  t_errorText = text;
  ::SetLastError(ERROR_LIBRARY_TEXT);
}

void FatalError(const char* format, ...) {
  char message[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  fprintf(stderr, "%s\n", message);
  fflush(stderr);
  ReportLibraryEvent(900, message, {});
  // Ends like abort() (exit code 3), without the runtime's abort dialog, which would wait for
  // a click that never comes on a service desktop.
  ::TerminateProcess(::GetCurrentProcess(), 3);
  for (;;) ::ExitProcess(3);
}
