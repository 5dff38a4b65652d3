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

// Writes `text` (when not empty) and one line feed as one write of the runtime's stream
// functions, under one lock shared by every thread of the process, and flushes the stream:
// records of two threads never share a line, and a record that was written is no longer in
// the runtime's buffer when the process dies. A stream error makes the watcher StreamFailed.
// False, with nothing written, when the watcher is not usable or `text` is empty. Hand over
// the text (std::move) to let the line feed be appended in place.
bool WriteStreamRecord(StreamWatcher& watcher, Str text);

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
