// The log destination setting and the writers of the two standard streams.
#include "logstream.h"

#include "error.h"
#include "errorinternal.h"
#include "processobject.h"
#include "registry.h"
#include "trace.h"
#include "win.h"

#include <io.h>

#include <atomic>

namespace {

const char kSourceFile[] = "gui/base/source/error";

constexpr int kLogTypeUnread = -1;

// Lazy static "LogType s_logtype": -1 until read. Two threads that read it at the same time
// both read the setting; the first to store wins, so every caller sees one value for the life
// of the process.
std::atomic<int> s_logtype{kLogTypeUnread};

// Set while this thread reads the setting: a report made on the way (an allocation failure)
// must not read it again.
thread_local bool t_readingLogType = false;

LogType ParseLogType(const Str& text, bool* unknown) {
  *unknown = false;
  if (text.IsEmpty()) return LogTypeSystem;
  if (CompareNoCase(text, Str("system")) == 0) return LogTypeSystem;
  if (CompareNoCase(text, Str("stdout")) == 0) return LogTypeStdout;
  if (CompareNoCase(text, Str("stderr")) == 0) return LogTypeStderr;
  *unknown = true;
  return LogTypeSystem;
}

bool HasFileBehind(FILE* stream) {
  if (!stream) return false;
  int fd = _fileno(stream);
  if (fd < 0) return false;
  // A process without the standard handle (a service) still has the runtime's stream object,
  // but no file behind it.
  intptr_t handle = _get_osfhandle(fd);
  return handle != -1 && handle != -2 && handle != 0;
}

}  // namespace

LogType GetLogType() {
  int cached = s_logtype.load(std::memory_order_acquire);
  if (cached != kLogTypeUnread) return static_cast<LogType>(cached);
  if (t_readingLogType) return LogTypeSystem;

  DWORD saved = ::GetLastError();
  t_readingLogType = true;
  Str setting = GetEnvironmentSetting(Str("LOGTYPE"));
  bool unknown = false;
  int type = ParseLogType(setting, &unknown);
  t_readingLogType = false;

  int expected = kLogTypeUnread;
  if (s_logtype.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
    if (unknown) {
      const char* line = TraceFormat("GetLogType: Unknown type [%s]", setting.c_str());
      TraceAssert(TraceAreaDefault, TraceError, kSourceFile, __LINE__, line);
      TraceFormatDone();
    }
  } else {
    type = expected;
  }
  ::SetLastError(saved);
  return static_cast<LogType>(type);
}

StreamWatcher::StreamWatcher(FILE* file)
    : stream(file), state(HasFileBehind(file) ? StreamUsable : StreamUnavailable) {}

bool WriteStreamRecord(StreamWatcher& watcher, const Str& text) {
  if (watcher.state.load(std::memory_order_acquire) != StreamUsable || text.IsEmpty()) return false;
  FILE* stream = watcher.stream;
  bool ok = std::fwrite(text.c_str(), 1, text.Length(), stream) == text.Length() && !std::ferror(stream);
  ok = ok && std::fputc('\n', stream) != EOF && !std::ferror(stream);
  if (!ok) watcher.state.store(StreamFailed, std::memory_order_release);
  return ok;
}

namespace {

// Lazy statics "OutStreamWatcher OutStreamwatcher" and "ErrStreamWatcher ErrStreamwatcher".
constinit ProcessObject<StreamWatcher> s_outStreamWatcher;
constinit ProcessObject<StreamWatcher> s_errStreamWatcher;
void MakeOutStreamWatcher(void* at) { ::new (at) StreamWatcher(stdout); }
void MakeErrStreamWatcher(void* at) { ::new (at) StreamWatcher(stderr); }

}  // namespace

StreamWatcher& OutStreamWatcher() { return s_outStreamWatcher.Get<MakeOutStreamWatcher>(); }

StreamWatcher& ErrStreamWatcher() { return s_errStreamWatcher.Get<MakeErrStreamWatcher>(); }

void FlushReportStreams() {
  std::fflush(stdout);
  std::fflush(stderr);
}
