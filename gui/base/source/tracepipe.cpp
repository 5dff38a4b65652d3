// The pipe client of the trace channel: one shared connection to the tracer.
#include "traceinternal.h"

namespace {

constexpr char kTracePipeName[] = "\\\\.\\pipe\\ZevTracePipe";
constexpr DWORD kBackOffMs = 1000;

// The handle is shared by all threads. Connect, write and close run under this lock so that a
// handle closed by one thread (after a failed write) is never written or closed by another.
// It is a plain slim lock, not one of the library's named locks: those report long holds, and
// their reports are traced, which would come back here.
SRWLOCK s_pipeLock = SRWLOCK_INIT;
HANDLE s_pipe = INVALID_HANDLE_VALUE;
bool s_failed = false;
DWORD s_failureTick = 0;
std::atomic<uint32_t> s_connectAttempts{0};

void NoteFailure() {
  s_failed = true;
  s_failureTick = ::GetTickCount();
}

void CloseLocked() {
  if (s_pipe != INVALID_HANDLE_VALUE) ::CloseHandle(s_pipe);
  s_pipe = INVALID_HANDLE_VALUE;
}

bool WriteLocked(const char* record, size_t length) {
  DWORD written = 0;
  const DWORD size = static_cast<DWORD>(length + 1);
  return ::WriteFile(s_pipe, record, size, &written, nullptr) && written == size;
}

HANDLE OpenTracePipe() {
  s_connectAttempts.fetch_add(1);
  // Identification level only: the tracer may learn who writes, but a pipe server planted under
  // this name by another user cannot impersonate the writer (for a service, LocalSystem).
  return ::CreateFileA(kTracePipeName, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
}

constexpr int kBusyRounds = 8;

bool ConnectAndWriteLocked(const char* record, size_t length) {
  HANDLE pipe = OpenTracePipe();
  // Every instance is serving another writer: wait for a free one and try again. Writers that
  // start together race for the instance the tracer makes next, so a few rounds are allowed,
  // but not an open-ended loop. Any failed wait (time-out, no server, a server that went away)
  // means "unavailable".
  for (int round = 0; round < kBusyRounds && pipe == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_PIPE_BUSY;
       ++round) {
    if (!::WaitNamedPipeA(kTracePipeName, NMPWAIT_USE_DEFAULT_WAIT)) break;
    pipe = OpenTracePipe();
  }
  if (pipe == INVALID_HANDLE_VALUE) {
    NoteFailure();
    return false;
  }
  s_pipe = pipe;
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
    NoteFailure();  // the handle stays held and is used directly after the back-off
    return false;
  }
  if (!WriteLocked(record, length)) {
    CloseLocked();
    NoteFailure();
    return false;
  }
  s_failed = false;
  return true;
}

}  // namespace

bool TracePipeWrite(const char* record, size_t length) {
  ::AcquireSRWLockExclusive(&s_pipeLock);
  bool done = false;
  // A missing or failing tracer costs at most one attempt per second; GetTickCount's
  // wrap-around is harmless in the unsigned difference.
  if (!s_failed || ::GetTickCount() - s_failureTick > kBackOffMs) {
    if (s_pipe != INVALID_HANDLE_VALUE) {
      done = WriteLocked(record, length);
      // The tracer went away (or restarted): reconnect for this same record.
      if (!done) CloseLocked();
    }
    if (!done) done = ConnectAndWriteLocked(record, length);
  }
  ::ReleaseSRWLockExclusive(&s_pipeLock);
  return done;
}

void TracePipeClose() {
  ::AcquireSRWLockExclusive(&s_pipeLock);
  CloseLocked();
  ::ReleaseSRWLockExclusive(&s_pipeLock);
}

uint32_t TracePipeConnectAttempts() { return s_connectAttempts.load(); }
