// The library's initialisation order and its process-exit counterpart.
#include "libinit.h"

#include "eventrecorder.h"
#include "lazystatic.h"
#include "locks.h"
#include "particlepool.h"
#include "threadexit.h"
#include "win.h"

#include <cstdlib>

namespace {

INIT_ONCE s_once = INIT_ONCE_STATIC_INIT;

// Registered at the end of the first static initialisation, so it runs after every static
// destructor and every lazy static's destruction: nothing that could still free a particle into
// the pool runs after it. Frees that come later anyway are dropped by the allocator.
void FinishBaseLibrary() {
  // The exiting thread gets no thread-exit notification of its own at process exit.
  RunThreadExitCallbacks(::GetCurrentThreadId());
  TearDownParticleAllocator();
}

BOOL CALLBACK Initialise(PINIT_ONCE, PVOID, PVOID*) {
  DWORD saved = ::GetLastError();
  srand(::GetTickCount());
  InitializeThreadExitSlot();
  PrepareParticleAllocator();
  PerformanceFrequency();
  DeclareBaseLibraryEvents();
  LazyStaticInternalLock();
  TimedLockListLock();
  LazyStaticLock();
  GetLockThresholds();
  std::atexit(FinishBaseLibrary);
  ::SetLastError(saved);
  return TRUE;
}

}  // namespace

void InitializeBaseLibrary() noexcept { ::InitOnceExecuteOnce(&s_once, Initialise, nullptr, nullptr); }
