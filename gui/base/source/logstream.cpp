// The log destination setting and the writers of the two standard streams.
#include "logstream.h"

#include "error.h"
#include "errorinternal.h"
#include "lazystatic.h"
#include "locks.h"
#include "registry.h"
#include "trace.h"
#include "win.h"

#include <io.h>

#include <atomic>

namespace {

const char kSourceFile[] = "gui/base/source/error";

constexpr int kLogTypeUnread = -1;

// Lazy static "LogType s_logtype": -1 until read, then the value for the life of the process.
// It is read once, under the lazy-static lock.
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
  {
    TimedLockHold hold(LazyStaticLock(), Str("LogType s_logtype"));
    cached = s_logtype.load(std::memory_order_acquire);
    if (cached == kLogTypeUnread) {
      t_readingLogType = true;
      Str setting = GetEnvironmentSetting(Str("LOGTYPE"));
      bool unknown = false;
      cached = ParseLogType(setting, &unknown);
      s_logtype.store(cached, std::memory_order_release);
      if (unknown) {
        TraceText line("GetLogType: Unknown type [%s]", setting.c_str());
        TraceAssert(TraceAreaDefault, TraceError, kSourceFile, __LINE__, line.c_str());
      }
      t_readingLogType = false;
    }
  }
  ::SetLastError(saved);
  return static_cast<LogType>(cached);
}

StreamWatcher::StreamWatcher(FILE* file)
    : stream(file), state(HasFileBehind(file) ? StreamUsable : StreamUnavailable) {}

namespace {

// One lock for both streams and every thread of the process. The runtime locks a stream only
// for the length of one call, so a record and its line feed written by two calls let another
// thread's record in between ("{A}{B}" on one line, no JSON-lines reader can parse that); and
// standard output and standard error may be one file.
SRWLOCK s_streamLock = SRWLOCK_INIT;
// The thread inside the lock: a record raised on it from within the runtime's stream functions
// (the crash filter's report of a fault there) is refused instead of waiting for itself.
std::atomic<DWORD> s_streamWriter{0};

}  // namespace

bool WriteStreamRecord(StreamWatcher& watcher, Str text) {
  if (watcher.state.load(std::memory_order_acquire) != StreamUsable || text.IsEmpty()) return false;
  const DWORD self = ::GetCurrentThreadId();
  if (s_streamWriter.load(std::memory_order_relaxed) == self) return false;
  const uint32_t length = text.Length();
  // Appended in place when the caller handed over the only reference and there is room.
  text.Append('\n');
  if (text.Length() != length + 1) return false;  // the allocation failed and has been reported

  ::AcquireSRWLockExclusive(&s_streamLock);
  s_streamWriter.store(self, std::memory_order_relaxed);
  FILE* stream = watcher.stream;
  bool ok = watcher.state.load(std::memory_order_acquire) == StreamUsable;
  // Flushed at once: the process may end without the runtime's exit processing (a crash, a
  // service host killed by the system), and a record still in the buffer would be lost.
  ok = ok && std::fwrite(text.c_str(), 1, text.Length(), stream) == text.Length() && std::fflush(stream) == 0 &&
       !std::ferror(stream);
  if (!ok) watcher.state.store(StreamFailed, std::memory_order_release);
  s_streamWriter.store(0, std::memory_order_relaxed);
  ::ReleaseSRWLockExclusive(&s_streamLock);
  return ok;
}

namespace {

constinit LazyStatic<OutStreamWatcher, false> OutStreamwatcher("OutStreamWatcher OutStreamwatcher");
constinit LazyStatic<ErrStreamWatcher, false> ErrStreamwatcher("ErrStreamWatcher ErrStreamwatcher");

}  // namespace

// Kept lazy statics are never destroyed, so Get() always has the object.
StreamWatcher& StdoutWatcher() { return *OutStreamwatcher.Get(); }

StreamWatcher& StderrWatcher() { return *ErrStreamwatcher.Get(); }

void FlushReportStreams() {
  std::fflush(stdout);
  std::fflush(stderr);
}
