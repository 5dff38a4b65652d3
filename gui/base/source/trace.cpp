// Trace lines: prefix, line splitting, chunking and the choice of output.
#include "traceinternal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<uint32_t> s_pipeRecords{0};
std::atomic<uint32_t> s_debuggerRecords{0};

// Stands in for the thread's buffers when thread-local storage is gone (process teardown).
struct SharedFormatBuffers {
  std::atomic<int> used{0};
  char text[kTraceFormatBuffers][kTraceLineBytes];
};
SharedFormatBuffers s_sharedFormat;

// Emits one record: `record` holds `length` bytes and room for three more.
void EmitRecord(char* record, size_t length, TraceThreadState* state) {
  record[length] = 0;
  // A thread already inside the pipe write (a trace from below WriteFile) goes straight to the
  // debugger output instead of deadlocking on the pipe lock.
  if (state && !state->inPipeWrite) {
    state->inPipeWrite = true;
    bool sent = TracePipeWrite(record, length);
    state->inPipeWrite = false;
    if (sent) {
      s_pipeRecords.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  memcpy(record + length, "\r\n", 3);
  ::OutputDebugStringA(record);
  s_debuggerRecords.fetch_add(1, std::memory_order_relaxed);
}

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Writes one line (without terminator) as records of at most kTraceRecordMax bytes, each cut
// on a UTF-8 character boundary and repeating the prefix.
void EmitLine(char* record, size_t prefix, const char* text, size_t length, TraceThreadState* state) {
  const size_t room = kTraceRecordMax - prefix;
  if (length == 0) {
    EmitRecord(record, prefix, state);
    return;
  }
  while (length > 0) {
    size_t take = length < room ? length : room;
    if (take < length) {
      // Move the cut back to the start of the character it would split. A character has at
      // most three continuation bytes; a longer run is not UTF-8, and a room too small for the
      // whole character would never make progress: both are cut at the byte limit instead.
      size_t cut = take;
      int steps = 0;
      while (cut > 0 && steps < 3 && IsContinuationByte(text[cut])) {
        --cut;
        ++steps;
      }
      if (cut > 0 && !IsContinuationByte(text[cut])) take = cut;
    }
    memcpy(record + prefix, text, take);
    EmitRecord(record, prefix + take, state);
    text += take;
    length -= take;
  }
}

void WriteTrace(uint32_t area, uint32_t type, const char* file, int line, const char* text) {
  const uintptr_t frame = TRACE_CURRENT_FRAME();
  TraceThreadState* state = GetTraceThreadState(true);
  const uint32_t mask = state ? state->typeMask : 0xFFF;
  if (type & ~mask) return;
  uintptr_t depth = 0;
  if (state) {
    if (frame > state->stackTop) state->stackTop = frame;
    depth = state->stackTop - frame;
  }
  // One read per line: a tracer's change applies from the next line, never inside one.
  volatile uint32_t* shared = TracePrefixWord();
  const uint32_t word = shared ? *shared : TracePrefixDefault;

  char record[kTraceLineBytes + 2];
  const size_t prefix = BuildTracePrefix(record, TracePrefixInput{word, area, type, file, line, depth});
  if (prefix >= kTraceRecordMax) return;

  const char* p = text;
  while (*p) {
    size_t n = strcspn(p, "\r\n");
    EmitLine(record, prefix, p, n, state);
    p += n;
    if (p[0] == '\r' && p[1] == '\n') {
      p += 2;
    } else if (*p) {
      ++p;
    }
  }
}

}  // namespace

void TraceOut(uint32_t area, uint32_t type, const char* file, int line, const char* text) {
  const DWORD saved = ::GetLastError();
  if (text && TracingOn()) WriteTrace(area, type, file, line, text);
  ::SetLastError(saved);
}

void TraceAssert(uint32_t area, uint32_t type, const char* file, int line, const char* text) {
  const DWORD saved = ::GetLastError();
  TraceOut(area, type, file, line, text);
  ::SetLastError(saved);
}

namespace {

const char* TraceFormatArgs(const char* format, va_list args) {
  const DWORD saved = ::GetLastError();
  if (!format) return nullptr;
  bool tlsGone = false;
  TraceThreadState* state = GetTraceThreadState(true, &tlsGone);
  char* out = nullptr;
  if (state) {
    if (state->formatUsed < kTraceFormatBuffers) out = state->format[state->formatUsed++];
  } else if (tlsGone) {
    int slot = s_sharedFormat.used.fetch_add(1);
    if (slot < kTraceFormatBuffers) {
      out = s_sharedFormat.text[slot];
    } else {
      s_sharedFormat.used.fetch_sub(1);
    }
  }
  if (out) {
    // At most 1023 characters and the terminator; a formatting error leaves an empty text.
    if (vsnprintf(out, kTraceRecordMax, format, args) < 0) out[0] = 0;
    out[kTraceRecordMax - 1] = 0;
  }
  ::SetLastError(saved);
  return out;
}

}  // namespace

const char* TraceFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* out = TraceFormatArgs(format, args);
  va_end(args);
  return out;
}

void TraceFormatDone() {
  const DWORD saved = ::GetLastError();
  bool tlsGone = false;
  TraceThreadState* state = GetTraceThreadState(false, &tlsGone);
  if (state) {
    if (state->formatUsed > 0) --state->formatUsed;
  } else if (tlsGone) {
    int used = s_sharedFormat.used.load();
    while (used > 0 && !s_sharedFormat.used.compare_exchange_weak(used, used - 1)) {
    }
  }
  ::SetLastError(saved);
}

TraceText::TraceText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  text_ = TraceFormatArgs(format, args);
  va_end(args);
}

TraceText::~TraceText() {
  if (text_) TraceFormatDone();
}

TraceStatistics GetTraceStatistics() {
  TraceStatistics s;
  s.pipeConnectAttempts = TracePipeConnectAttempts();
  s.pipeRecords = s_pipeRecords.load();
  s.debuggerRecords = s_debuggerRecords.load();
  s.threadStates = TraceThreadStateCount();
  return s;
}
