// The thread-exit registry. A fiber-local-storage slot with a destructor is the hook: Windows
// calls the destructor on the exiting thread for every thread whose slot value is set, before
// the thread's thread-local storage is discarded, so callbacks can still reach their records.
#include "threadexit.h"

#include "system.h"
#include "win.h"

#include <atomic>
#include <new>

namespace {

struct ThreadExitEntry {
  ThreadExitCallback callback;
  void* context;
  int32_t priority;  // 0x7FFFFFFF already folded to 0
  ThreadExitEntry* next;
};

struct ThreadExitThread {
  uint32_t threadId;
  ThreadExitEntry* entries;  // descending priority; equal priorities in registration order
  ThreadExitThread* next;
};

// -1 free, 0 taken. Never a critical section: see the header.
std::atomic<long> s_spinWord{-1};
ThreadExitThread* s_threads = nullptr;

void AcquireSpinWord() {
  for (uint32_t attempt = 0;; ++attempt) {
    long expected = -1;
    if (s_spinWord.load(std::memory_order_relaxed) == -1 &&
        s_spinWord.compare_exchange_weak(expected, 0, std::memory_order_acquire, std::memory_order_relaxed))
      return;
    if (attempt < 1001)
      YieldProcessor();
    else
      ::Sleep(0);
  }
}

void ReleaseSpinWord() { s_spinWord.store(-1, std::memory_order_release); }

struct SpinHold {
  SpinHold() { AcquireSpinWord(); }
  ~SpinHold() { ReleaseSpinWord(); }
  SpinHold(const SpinHold&) = delete;
  SpinHold& operator=(const SpinHold&) = delete;
};

// Call with the spin word held.
ThreadExitThread** FindThread(uint32_t threadId) {
  ThreadExitThread** link = &s_threads;
  while (*link && (*link)->threadId != threadId) link = &(*link)->next;
  return link;
}

void FreeEntry(void* block) { ::HeapFree(::GetProcessHeap(), 0, block); }

std::atomic<DWORD> s_flsSlot{FLS_OUT_OF_INDEXES};

void NTAPI ThreadSlotDestructor(void* value) {
  if (value) RunThreadExitCallbacks(::GetCurrentThreadId());
}

// Makes sure the slot destructor fires for the calling thread.
bool ArmThreadSlot() {
  if (!InitializeThreadExitSlot()) return false;
  DWORD slot = s_flsSlot.load(std::memory_order_acquire);
  if (::FlsGetValue(slot)) return true;
  return ::FlsSetValue(slot, reinterpret_cast<void*>(1)) != FALSE;
}

struct GuardedCall {
  ThreadExitCallback callback;
  void* context;
};

void RunOneGuarded(ThreadExitEntry* entry) {
  GuardedCall call{entry->callback, entry->context};
  FreeEntry(entry);
  // A fault inside one record's clean-up must not take the rest of the thread's clean-up (or the
  // process) with it.
  RunGuarded(
      "ThreadExitData::dtor", [](void* context) {
        GuardedCall* c = static_cast<GuardedCall*>(context);
        c->callback(c->context);
      },
      &call);
}

}  // namespace

bool InitializeThreadExitSlot() {
  if (s_flsSlot.load(std::memory_order_acquire) != FLS_OUT_OF_INDEXES) return true;
  DWORD slot = ::FlsAlloc(ThreadSlotDestructor);
  if (slot == FLS_OUT_OF_INDEXES) return false;
  DWORD expected = FLS_OUT_OF_INDEXES;
  if (!s_flsSlot.compare_exchange_strong(expected, slot, std::memory_order_acq_rel)) ::FlsFree(slot);
  return true;
}

bool RegisterThreadExitCallback(ThreadExitCallback callback, void* context, int32_t priority) {
  if (!callback) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!ArmThreadSlot()) return false;
  HANDLE heap = ::GetProcessHeap();
  auto* entry = static_cast<ThreadExitEntry*>(::HeapAlloc(heap, 0, sizeof(ThreadExitEntry)));
  // Made before the spin word is taken, so that no heap call runs under it.
  auto* thread = static_cast<ThreadExitThread*>(::HeapAlloc(heap, 0, sizeof(ThreadExitThread)));
  if (!entry) {
    if (thread) ::HeapFree(heap, 0, thread);
    ::SetLastError(ERROR_OUTOFMEMORY);
    return false;
  }
  entry->callback = callback;
  entry->context = context;
  entry->priority = priority == 0x7FFFFFFF ? 0 : priority;
  entry->next = nullptr;
  uint32_t self = ::GetCurrentThreadId();
  bool added = false;
  {
    SpinHold hold;
    ThreadExitThread** link = FindThread(self);
    if (!*link && thread) {
      thread->threadId = self;
      thread->entries = nullptr;
      thread->next = nullptr;
      *link = thread;
      thread = nullptr;
    }
    if (*link) {
      ThreadExitEntry** at = &(*link)->entries;
      while (*at && (*at)->priority >= entry->priority) at = &(*at)->next;
      entry->next = *at;
      *at = entry;
      added = true;
    }
  }
  if (thread) ::HeapFree(heap, 0, thread);
  if (!added) {
    ::HeapFree(heap, 0, entry);
    ::SetLastError(ERROR_OUTOFMEMORY);
  }
  return added;
}

bool RunThreadExitCallback(uint32_t threadId, ThreadExitCallback callback) {
  ThreadExitEntry* found = nullptr;
  {
    SpinHold hold;
    ThreadExitThread** link = FindThread(threadId);
    if (*link) {
      for (ThreadExitEntry** at = &(*link)->entries; *at; at = &(*at)->next) {
        if ((*at)->callback == callback) {
          found = *at;
          *at = found->next;
          break;
        }
      }
    }
  }
  if (!found) {
    ::SetLastError(ERROR_NOT_FOUND);
    return false;
  }
  RunOneGuarded(found);
  return true;
}

void RunThreadExitCallbacks(uint32_t threadId) {
  // One entry at a time, taken off the list before it runs: a callback may register another
  // record for this thread (a trace line during clean-up makes a trace state), and that record
  // then runs in its place in the order instead of being lost.
  for (;;) {
    ThreadExitEntry* entry = nullptr;
    ThreadExitThread* emptied = nullptr;
    {
      SpinHold hold;
      ThreadExitThread** link = FindThread(threadId);
      if (*link) {
        entry = (*link)->entries;
        if (entry) (*link)->entries = entry->next;
        if (!(*link)->entries) {
          emptied = *link;
          *link = emptied->next;
        }
      }
    }
    if (emptied) FreeEntry(emptied);
    if (!entry) return;
    RunOneGuarded(entry);
  }
}

uint32_t CountThreadExitCallbacks(uint32_t threadId) {
  uint32_t count = 0;
  SpinHold hold;
  ThreadExitThread** link = FindThread(threadId);
  if (*link)
    for (ThreadExitEntry* entry = (*link)->entries; entry; entry = entry->next) ++count;
  return count;
}
