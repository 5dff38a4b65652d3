// The developer trace channel: short diagnostic lines for an external tracer.
//
// Each line gets a prefix (kind, process, thread, program, ...) and goes as one message to the
// tracer listening on "\\.\pipe\ZevTracePipe", or to the debugger output when none listens.
// Which prefix parts are written is one machine-wide word in the shared memory "ZevTraceMap".
// Whatever listens on the pipe, a line costs its caller well under a second: a tracer that
// does not read is dropped, and the lines go to the debugger output until a tracer that reads
// is found again (the pipe is tried at most once a second after a failure).
#pragma once

#include <cstdint>

// Every call in both programs traces in this area.
constexpr uint32_t TraceAreaDefault = 0x1000;

enum TraceType : uint32_t {
  TraceState = 1,    // state messages of the services
  TraceDetail = 2,   // ordinary detail lines
  TraceError = 4,    // errors
  TraceSystem = 8,
  TraceAlways = 16,
  TraceWarning = 32,
};

// The machine-wide prefix word: each bit adds one prefix part, in this order of output.
using TracePrefixFlags = uint32_t;
constexpr TracePrefixFlags TracePrefixNoLetters = 0x1000;  // leave out the two kind letters
constexpr TracePrefixFlags TracePrefixProcess = 0x0001;    // "|0x" + process id (hex)
constexpr TracePrefixFlags TracePrefixThread = 0x0002;     // "|0x" + thread id (hex)
constexpr TracePrefixFlags TracePrefixModule = 0x0004;     // "|" + program name
constexpr TracePrefixFlags TracePrefixFile = 0x0020;       // "|" + caller's source file
constexpr TracePrefixFlags TracePrefixLine = 0x0040;       // "|" + line, "."-padded to 5
constexpr TracePrefixFlags TracePrefixStack = 0x0080;      // "|" + stack depth in bytes
constexpr TracePrefixFlags TracePrefixUser = 0x0100;       // "|" + user name of the thread
constexpr TracePrefixFlags TracePrefixDefault = 0x0007;
constexpr TracePrefixFlags TracePrefixTextOnly = 0xF000;   // exactly this word: the bare text

// Writes `text` (UTF-8, one record per line); leaves the caller's last-error value unchanged.
void TraceOut(uint32_t area, uint32_t type, const char* file, int line, const char* text);
// The entry for error traces; writes like TraceOut.
void TraceAssert(uint32_t area, uint32_t type, const char* file, int line, const char* text);
// Formats into one of the thread's four buffers (printf rules, at most 1023 characters);
// null when all four are in use. Release with TraceFormatDone after the TraceOut call.
const char* TraceFormat(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;
void TraceFormatDone();

// One formatted trace text for the scope it lives in: takes a TraceFormat buffer and releases
// it when the scope ends, and only when it got one (a text formatted while all four buffers
// are held is null and must not release a buffer an outer text still uses). Neither copied nor
// moved, so texts nested in one scope are released in the reverse order of their taking.
//   TraceText text("Result code %u", code);
//   if (text) TraceOut(area, type, __FILE__, __LINE__, text.c_str());
class TraceText {
 public:
  explicit TraceText(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(gnu_printf, 2, 3)))
#endif
      ;
  ~TraceText();
  TraceText(const TraceText&) = delete;
  TraceText& operator=(const TraceText&) = delete;

  explicit operator bool() const { return text_ != nullptr; }
  // The text; null when no buffer was free.
  const char* c_str() const { return text_; }

 private:
  const char* text_;
};

// The shared prefix word; TracePrefixDefault when this process could not map "ZevTraceMap".
TracePrefixFlags GetTracePrefixFlags();
// Changes the word for every process of the machine from their next line on. False
// (ERROR_INVALID_HANDLE) when this process could not map "ZevTraceMap".
bool SetTracePrefixFlags(TracePrefixFlags flags);

// Counters of this process's trace channel, for diagnostics and tests.
struct TraceStatistics {
  uint32_t pipeConnectAttempts = 0;  // CreateFileA calls on the trace pipe
  uint32_t pipeRecords = 0;          // records written to the pipe
  uint32_t debuggerRecords = 0;      // records written to the debugger output
  uint32_t threadStates = 0;         // per-thread trace states alive now
};
TraceStatistics GetTraceStatistics();
