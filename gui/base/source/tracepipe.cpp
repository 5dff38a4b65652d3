// The pipe client of the trace channel: one shared connection to the tracer.
//
// The pipe name is open to every user, so whatever listens on it may be a tracer paused in a
// debugger, or a server planted to accept writers and never read, or one whose default
// time-out for a busy pipe is endless. None of them may hold a writer for long: the services
// trace from the update pass, from every report and from the stop path. So every wait here is
// bounded. A record waits at most kLockWaitMs for another thread's write; its own attempt
// waits at most kBusyTotalMs for a free pipe instance, kWriteWaitMs for room in the tracer's
// buffer and kCancelWaitMs for a cancelled write to end. A write that finds no room is
// cancelled and the connection dropped; the record goes to the debugger output, and the
// one-second back-off keeps the next attempts away.
#include "traceinternal.h"

#include "handles.h"
#include "processobject.h"

#include <cstring>

namespace {

constexpr char kTracePipeName[] = "\\\\.\\pipe\\ZevTracePipe";
constexpr DWORD kBackOffMs = 1000;
// A tracer that reads makes room in its buffer within milliseconds.
constexpr DWORD kWriteWaitMs = 100;
// Windows ends a cancelled pipe write at once; Wine took 10 to 80 ms on a loaded machine.
constexpr DWORD kCancelWaitMs = 200;
// Each wait for a free instance when all are busy, and all of them together. Explicit, because
// NMPWAIT_USE_DEFAULT_WAIT lets the server choose, and any server may choose "forever".
constexpr DWORD kBusyWaitMs = 100;
constexpr DWORD kBusyTotalMs = 250;
// How long a record waits while another thread writes, before it goes to the debugger output.
constexpr DWORD kLockWaitMs = 200;

// The lock around connect, write and close: a handle closed by one thread (after a failed
// write) is never written or closed by another. It is not one of the library's named locks:
// those report long holds, and their reports are traced, which would come back here.
//
// Waiting for it is bounded, and it goes to the waiters in the order they came: with a lock
// that lets a releasing thread take it straight back, one thread that traces in a loop could
// keep another waiting past its time-out even while every write is quick, and a tracer that
// reads would lose that thread's records. Once a waiter has given up behind the current
// holder, later callers give up at once instead of queueing behind it, until it releases.
class PipeLock {
 public:
  bool Acquire(DWORD timeoutMs) {
    ::AcquireSRWLockExclusive(&guard_);
    if (!held_) {
      held_ = true;
      ::ReleaseSRWLockExclusive(&guard_);
      return true;
    }
    if (stalled_) {
      ::ReleaseSRWLockExclusive(&guard_);
      return false;
    }
    Waiter self;
    if (tail_) {
      tail_->next = &self;
    } else {
      head_ = &self;
    }
    tail_ = &self;
    const DWORD start = ::GetTickCount();
    while (!self.granted) {
      const DWORD waited = ::GetTickCount() - start;
      if (waited >= timeoutMs || stalled_) {
        Remove(&self);
        stalled_ = true;
        // The others behind the same holder give up too.
        for (Waiter* w = head_; w; w = w->next) ::WakeConditionVariable(&w->wake);
        ::ReleaseSRWLockExclusive(&guard_);
        return false;
      }
      ::SleepConditionVariableSRW(&self.wake, &guard_, timeoutMs - waited, 0);
    }
    ::ReleaseSRWLockExclusive(&guard_);
    return true;
  }

  // Hands the lock to the longest waiter, or frees it.
  void Release() {
    ::AcquireSRWLockExclusive(&guard_);
    stalled_ = false;
    Waiter* next = head_;
    if (next) {
      Remove(next);
      next->granted = true;
      ::WakeConditionVariable(&next->wake);
    } else {
      held_ = false;
    }
    ::ReleaseSRWLockExclusive(&guard_);
  }

 private:
  struct Waiter {
    Waiter* next = nullptr;
    bool granted = false;
    CONDITION_VARIABLE wake = CONDITION_VARIABLE_INIT;
  };

  void Remove(Waiter* waiter) {
    Waiter* before = nullptr;
    for (Waiter* w = head_; w; before = w, w = w->next) {
      if (w != waiter) continue;
      (before ? before->next : head_) = w->next;
      if (tail_ == w) tail_ = before;
      w->next = nullptr;
      return;
    }
  }

  SRWLOCK guard_ = SRWLOCK_INIT;
  bool held_ = false;
  bool stalled_ = false;
  Waiter* head_ = nullptr;
  Waiter* tail_ = nullptr;
};

// The data and OVERLAPPED of the connection's write. The system reads the data and writes the
// status until the write has ended, which for a cancelled write may be after the caller has
// gone; so they live apart from the caller's record, and a block whose cancelled write has not
// ended within kCancelWaitMs is never used again (it stays allocated: at most one a second).
struct PipeWriteBlock {
  OVERLAPPED overlapped;
  char data[kTraceLineBytes];
};

enum class WriteResult { Done, Failed, Stalled };

// The connection is built on first use and never destroyed: a trace from another module's
// static destructor may still come here once this file's own statics would be gone.
struct PipeConnection {
  FileHandle pipe;
};

constinit PipeLock s_pipeLock;
constinit ProcessObject<PipeConnection> s_connection;
PipeWriteBlock* s_block = nullptr;

// Only under the pipe lock.
FileHandle& Pipe() { return s_connection.Get().pipe; }
// Read without the lock as well, so that in the back-off second no record waits for a writer
// that is still stuck; changed only under the lock.
std::atomic<bool> s_failed{false};
std::atomic<DWORD> s_failureTick{0};
std::atomic<uint32_t> s_connectAttempts{0};

bool InBackOff() {
  // GetTickCount's wrap-around is harmless in the unsigned difference.
  return s_failed.load(std::memory_order_acquire) &&
         ::GetTickCount() - s_failureTick.load(std::memory_order_relaxed) <= kBackOffMs;
}

void NoteFailure() {
  s_failureTick.store(::GetTickCount(), std::memory_order_relaxed);
  s_failed.store(true, std::memory_order_release);
}

void CloseLocked() { Pipe().Reset(); }

PipeWriteBlock* WriteBlockLocked() {
  if (s_block) return s_block;
  auto* block = static_cast<PipeWriteBlock*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(PipeWriteBlock)));
  if (!block) return nullptr;
  block->overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!block->overlapped.hEvent) {
    ::HeapFree(::GetProcessHeap(), 0, block);
    return nullptr;
  }
  s_block = block;
  return block;
}

bool WriteSucceeded(OVERLAPPED& overlapped, DWORD size) {
  DWORD written = 0;
  return ::GetOverlappedResult(Pipe().Get(), &overlapped, &written, FALSE) && written == size;
}

// Writes the record and its zero byte as one message.
WriteResult WriteLocked(const char* record, size_t length) {
  PipeWriteBlock* block = WriteBlockLocked();
  if (!block) return WriteResult::Failed;
  const DWORD size = static_cast<DWORD>(length + 1);
  memcpy(block->data, record, size);
  OVERLAPPED& overlapped = block->overlapped;
  HANDLE event = overlapped.hEvent;
  overlapped = OVERLAPPED{};
  overlapped.hEvent = event;
  ::ResetEvent(event);
  if (::WriteFile(Pipe().Get(), block->data, size, nullptr, &overlapped)) {
    return WriteSucceeded(overlapped, size) ? WriteResult::Done : WriteResult::Failed;
  }
  if (::GetLastError() != ERROR_IO_PENDING) return WriteResult::Failed;
  if (::WaitForSingleObject(event, kWriteWaitMs) == WAIT_OBJECT_0) {
    return WriteSucceeded(overlapped, size) ? WriteResult::Done : WriteResult::Failed;
  }
  // The tracer's buffer stays full: it does not read.
  ::CancelIoEx(Pipe().Get(), &overlapped);
  if (::WaitForSingleObject(event, kCancelWaitMs) != WAIT_OBJECT_0) {
    s_block = nullptr;  // still in flight: this block is given up, see PipeWriteBlock
    return WriteResult::Stalled;
  }
  // The write may have ended just before the cancellation took hold.
  return WriteSucceeded(overlapped, size) ? WriteResult::Done : WriteResult::Stalled;
}

FileHandle OpenTracePipe() {
  s_connectAttempts.fetch_add(1);
  // Identification level only: the tracer may learn who writes, but a pipe server planted under
  // this name by another user cannot impersonate the writer (for a service, LocalSystem).
  // Overlapped, so that a write can be given up.
  return FileHandle(::CreateFileA(kTracePipeName, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                  nullptr));
}

bool ConnectAndWriteLocked(const char* record, size_t length) {
  FileHandle pipe = OpenTracePipe();
  // Every instance is serving another writer: wait for a free one and try again. Writers that
  // start together race for the instance the tracer makes next, so a few rounds are allowed
  // within kBusyTotalMs. Any failed wait (time-out, no server, a server that went away) means
  // "unavailable".
  const DWORD start = ::GetTickCount();
  while (!pipe && ::GetLastError() == ERROR_PIPE_BUSY) {
    const DWORD waited = ::GetTickCount() - start;
    if (waited >= kBusyTotalMs) break;
    // Never 0 here: that is NMPWAIT_USE_DEFAULT_WAIT.
    const DWORD wait = kBusyTotalMs - waited < kBusyWaitMs ? kBusyTotalMs - waited : kBusyWaitMs;
    if (!::WaitNamedPipeA(kTracePipeName, wait)) break;
    pipe = OpenTracePipe();
  }
  if (!pipe) {
    NoteFailure();
    return false;
  }
  Pipe() = std::move(pipe);
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!::SetNamedPipeHandleState(Pipe().Get(), &mode, nullptr, nullptr)) {
    NoteFailure();  // the handle stays held and is used directly after the back-off
    return false;
  }
  if (WriteLocked(record, length) != WriteResult::Done) {
    CloseLocked();
    NoteFailure();
    return false;
  }
  s_failed.store(false, std::memory_order_release);
  return true;
}

}  // namespace

bool TracePipeWrite(const char* record, size_t length) {
  // A missing or failing tracer costs at most one attempt per second.
  if (InBackOff()) return false;
  if (!s_pipeLock.Acquire(kLockWaitMs)) return false;
  bool done = false;
  if (!InBackOff()) {
    WriteResult result = WriteResult::Failed;
    if (Pipe()) {
      result = WriteLocked(record, length);
      if (result != WriteResult::Done) CloseLocked();
    }
    if (result == WriteResult::Done) {
      s_failed.store(false, std::memory_order_release);
      done = true;
    } else if (result == WriteResult::Stalled) {
      // A tracer that does not read is dropped; a new connection would stall the same way.
      NoteFailure();
    } else {
      // No connection yet, or the tracer went away (or restarted): connect for this record.
      done = ConnectAndWriteLocked(record, length);
    }
  }
  s_pipeLock.Release();
  return done;
}

void TracePipeClose() {
  if (!s_pipeLock.Acquire(kLockWaitMs)) return;
  CloseLocked();
  s_pipeLock.Release();
}

uint32_t TracePipeConnectAttempts() { return s_connectAttempts.load(); }
