// The JSON-line destinations of reports: one writer per standard stream, which refuses every
// record once its stream is missing or a write to it has failed.
#pragma once

#include "str.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

enum StreamWatcherState : uint8_t {
  StreamUsable = 0,
  StreamUnavailable = 1,  // no stream, or the stream has no file behind it (a service's stdout)
  StreamFailed = 4,       // a write failed; kept until the process ends
};

struct StreamWatcher {
  // Usable when `stream` is a runtime stream with an open file behind it.
  explicit StreamWatcher(FILE* stream);
  StreamWatcher(const StreamWatcher&) = delete;
  StreamWatcher& operator=(const StreamWatcher&) = delete;

  FILE* stream;
  std::atomic<uint8_t> state;
};

// Writes `text` (when not empty) and one line feed with the runtime's buffered stream functions,
// without a flush. A stream error after either write makes the watcher StreamFailed. False, with
// nothing written, when the watcher is not usable or `text` is empty. A record and its line feed
// are two calls: records of two threads never mix within one line, but a line feed may follow
// another thread's record.
bool WriteStreamRecord(StreamWatcher& watcher, const Str& text);

// The writers of standard output and standard error: lazy statics ("OutStreamWatcher
// OutStreamwatcher", "ErrStreamWatcher ErrStreamwatcher") made on first use and kept to the end
// of the process.
struct OutStreamWatcher : StreamWatcher {
  OutStreamWatcher() : StreamWatcher(stdout) {}
};
struct ErrStreamWatcher : StreamWatcher {
  ErrStreamWatcher() : StreamWatcher(stderr) {}
};
StreamWatcher& StdoutWatcher();
StreamWatcher& StderrWatcher();
