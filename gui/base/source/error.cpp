// ReportEvent: builds the record, echoes it to the trace channel and writes it to the one log
// destination; the process identity settings; FatalError.
#include "error.h"

#include "dict.h"
#include "errorinternal.h"
#include "processobject.h"
#include "eventrecord.h"
#include "format.h"
#include "lazystatic.h"
#include "logstream.h"
#include "programfile.h"
#include "timestamp.h"
#include "trace.h"

#include <atomic>
#include <cstdio>
#include <utility>

namespace {

const char kSourceFile[] = "gui/base/source/error";

// Performance-recorder events offered for each report, by severity.
constexpr uint32_t kRecorderReportEvent = 103;
constexpr uint32_t kRecorderReportError = 104;
constexpr uint32_t kRecorderReportWarning = 105;

// A report made while this thread is already reporting (a lock report from inside a report) is
// written; one more level is refused, so that a report whose own allocation fails cannot
// recurse without end.
constexpr int kMaxReportDepth = 2;
thread_local int t_reportDepth = 0;

struct ReportSettings {
  Str source;
  Str messageFile;
  Str version{"25.10.0.18"};
};

constinit ProcessObject<ReportSettings> s_settings;

ReportSettings& Settings() { return s_settings.Get(); }

// The program's name in upper case, the record's processname and the event-log source when none
// is set; kept to the end of the process, so that reports made during exit still name their
// program.
struct ProcessNameText : Str {
  ProcessNameText() : Str(ProgramName()) { ToUpper(*this); }
};
constinit LazyStatic<ProcessNameText, false> s_processname("Str s_processname");

const Str& ProcessName() { return *s_processname.Get(); }

// Keeps the caller's last-error value and error text across a report, and counts the nesting.
class ReportScope {
 public:
  ReportScope() : error_(::GetLastError()), text_(ThreadErrorText()) { ++t_reportDepth; }
  ~ReportScope() {
    --t_reportDepth;
    Str now = ThreadErrorText();
    if (now.BufferIdentity() != text_.BufferIdentity()) StoreThreadErrorText(text_);
    ::SetLastError(error_);
  }
  ReportScope(const ReportScope&) = delete;
  ReportScope& operator=(const ReportScope&) = delete;
  bool Refused() const noexcept { return t_reportDepth > kMaxReportDepth; }

 private:
  DWORD error_;
  Str text_;
};

Str CurrentTimeStamp() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  DateTimeFields fields{now.wYear, now.wMonth,  now.wDay,          now.wHour,
                        now.wMinute, now.wSecond, now.wMilliseconds, GetCurrentBias()};
  Str text;
  FormatTimeStamp(PackDateTime(fields), 'T', true, text);
  return text;
}

// The recorder has no consumer in these programs; the offer is dropped.
void OfferToEventRecorder(uint32_t /*event*/, const Str& /*source*/, const Str& /*id*/, const Str& /*text*/) {}

uint32_t RecorderEvent(Severity severity) {
  if (severity == SeverityError) return kRecorderReportError;
  if (severity == SeverityWarning) return kRecorderReportWarning;
  return kRecorderReportEvent;
}

void TraceLine(uint32_t type, bool asserting, const char* prefix, const char* text, size_t length) {
  Str line(prefix);
  line.Append(text, length);
  if (asserting)
    TraceAssert(TraceAreaDefault, type, kSourceFile, __LINE__, line.c_str());
  else
    TraceOut(TraceAreaDefault, type, kSourceFile, __LINE__, line.c_str());
}

// The text form, line by line; the copy ends at the first empty line.
void EchoToTrace(const Str& text, Severity severity) {
  const char* p = text.c_str();
  bool first = true;
  for (;;) {
    size_t n = 0;
    while (p[n] && p[n] != '\n' && p[n] != '\r') ++n;
    if (n == 0) return;
    if (first) {
      uint32_t type = severity == SeverityError ? TraceError : severity == SeverityWarning ? TraceWarning : TraceDetail;
      TraceLine(type, severity == SeverityError, "ReportEvent: ", p, n);
      first = false;
    } else {
      TraceLine(TraceDetail, false, "  ", p, n);
    }
    p += n;
    if (*p == '\r' && p[1] == '\n') p += 2;
    else if (*p) ++p;
    else return;
  }
}

bool WriteToEventLog(const Str& source, bool registerSource, Severity severity, EventCategory category,
                     const Str& text) {
  HANDLE log = GetEventSourceHandle(source, registerSource);
  if (!log) return true;
  WStr wide(text);
  const wchar_t* strings[1] = {wide.c_str()};
  // Event id 0 is the message table's single message "%1": the viewer shows the text unchanged.
  return ::ReportEventW(log, SeverityEventType(severity), category, 0, nullptr, 1, 0, strings, nullptr) != FALSE;
}

}  // namespace

Str ReportMessageFile() { return Settings().messageFile; }

bool ReportEvent(const Str& source, uint32_t eventId, const Str& message, const Value& fields, Severity severity,
                 EventCategory category) {
  ReportScope scope;
  if (scope.Refused()) return false;

  Str logSource = Settings().source;
  bool registerSource = false;
  if (logSource.IsEmpty()) {
    logSource = ProcessName();
    registerSource = true;
  }
  if (logSource.IsEmpty() || message.IsEmpty()) return false;
  EventRecord record = MakeEventRecord(source, eventId, message, fields);

  LogType type = GetLogType();
  StreamWatcher* stream = type == LogTypeStdout   ? &StdoutWatcher()
                          : type == LogTypeStderr ? &StderrWatcher()
                                                  : nullptr;
  if (stream) {
    record.timestamp = CurrentTimeStamp();
    record.level = SeverityLevelText(severity);
    record.source = logSource;
    if (category >= CategoryInternal) record.category = EventCategoryName(category);
  }
  record.processname = ProcessName();
  record.processid = ::GetCurrentProcessId();
  record.threadid = ::GetCurrentThreadId();
  record.version = Settings().version;

  Str text;
  EventRecordText(record, text);
  OfferToEventRecorder(RecorderEvent(severity), source, record.id, text);
  if (category != CategoryTrace) EchoToTrace(text, severity);

  if (stream) {
    Str json;
    return EventRecordJson(record, json) && WriteStreamRecord(*stream, std::move(json));
  }
  return WriteToEventLog(logSource, registerSource, severity, category, text);
}

bool ReportEvent(const Str& message, Severity severity, EventCategory category) {
  return ReportEvent(Str(), 0, message, Value(), severity, category);
}

bool ReportLibraryEvent(uint32_t eventId, const char* message, std::initializer_list<EventField> fields,
                        Severity severity, EventCategory category) {
  Dictionary dictionary;
  for (const EventField& field : fields)
    dictionary.Set(field.name, field.text ? Value(field.text) : Value(field.value));
  Value values;
  if (dictionary.Count() > 0) values = Value(dictionary);
  return ReportEvent(Str("QELGUI"), eventId, Str(message), values, severity, category);
}

void SetEventLogSource(const Str& name) { Settings().source = name; }
void SetEventMessageFile(const Str& path) { Settings().messageFile = path; }
void SetReportVersion(const Str& version) { Settings().version = version; }

void FatalError(const char* format, ...) {
  // The first thread to fail reports and ends the process; a second thread waits for that end,
  // and a fatal error raised while reporting the first ends the process at once.
  static std::atomic<DWORD> s_failingThread{0};
  DWORD self = ::GetCurrentThreadId();
  DWORD owner = 0;
  bool first = s_failingThread.compare_exchange_strong(owner, self);
  if (!first && owner != self) {
    for (;;) ::Sleep(INFINITE);
  }

  Str message;
  va_list args;
  va_start(args, format);
  bool formatted = StrFormatV(message, format, args);
  va_end(args);
  const char* text = formatted ? message.c_str() : (format ? format : "");
  std::fputs(text, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  if (first) ReportEvent(Str("QELGUI"), 900, Str(text), Value(), SeverityError, CategoryInternal);
  // The process ends without the runtime's exit processing: records still in a stream's buffer
  // would be lost.
  FlushReportStreams();
  // Ends like abort() (exit code 3), without the runtime's abort dialog, which would wait for
  // a click that never comes on a service desktop.
  ::TerminateProcess(::GetCurrentProcess(), 3);
  for (;;) ::ExitProcess(3);
}
