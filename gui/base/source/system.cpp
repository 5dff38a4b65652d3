// The exception guard. With MSVC it is a plain __try/__except whose filter is ExceptionFilter.
// GCC for Windows has no __try, so there the guard is a vectored exception handler that sees
// the fault first, asks the same filter, and resumes the faulting thread at a point that jumps
// back to the guard's frame.
#include "system.h"

#include <atomic>

#if !defined(_MSC_VER) && !(defined(__x86_64__) || defined(_M_X64))
#error "The exception guard redirects the x64 instruction pointer; port it before building for this target."
#endif

int ExceptionFilter(const char* /*contextName*/, EXCEPTION_POINTERS* pointers, int disposition) {
  // A fault on a wild pointer inside the guarded formatting is the one case the guards exist
  // for. Anything else (and a fault Windows marks as non-continuable) keeps its normal course.
  if (!pointers || !pointers->ExceptionRecord) return EXCEPTION_CONTINUE_SEARCH;
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) return EXCEPTION_CONTINUE_SEARCH;
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) return EXCEPTION_CONTINUE_SEARCH;
  return disposition;
}

#if defined(_MSC_VER)

bool RunGuarded(const char* contextName, GuardedBody body, void* context) noexcept {
  __try {
    body(context);
    return true;
  } __except (ExceptionFilter(contextName, GetExceptionInformation(), EXCEPTION_EXECUTE_HANDLER)) {
    return false;
  }
}

#else

namespace {

// One running guard. It lives in the frame of RunGuarded; the thread's innermost guard is
// reached through a TlsAlloc slot. (Not thread_local: GCC's emulated TLS drops `volatile` on
// such variables, and the store that arms the guard was seen to be optimised away.)
struct Guard {
  void* jumpBuffer[5];
  const char* contextName;
  Guard* outer;
  volatile bool armed;
};

DWORD GuardSlot() {
  static const DWORD s_slot = ::TlsAlloc();
  return s_slot;
}

Guard* CurrentGuard() {
  DWORD slot = GuardSlot();
  return slot == TLS_OUT_OF_INDEXES ? nullptr : static_cast<Guard*>(::TlsGetValue(slot));
}

// Entered in place of the faulting instruction, on the faulting thread's stack. It leaves
// through the guard's jump buffer, so no runtime frame between the guard and the fault is
// returned to.
[[noreturn]] __attribute__((noinline)) void ResumeAtGuard() {
  __builtin_longjmp(CurrentGuard()->jumpBuffer, 1);
}

LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* pointers) {
  DWORD saved = ::GetLastError();
  Guard* guard = CurrentGuard();
  while (guard && !guard->armed) guard = guard->outer;
  if (!guard) {
    ::SetLastError(saved);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  // Disarmed before the filter runs: a fault inside the filter itself is not guarded.
  guard->armed = false;
  if (ExceptionFilter(guard->contextName, pointers, EXCEPTION_EXECUTE_HANDLER) != EXCEPTION_EXECUTE_HANDLER) {
    guard->armed = true;
    ::SetLastError(saved);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  // Inner guards between the thread's current one and the handling guard are abandoned with
  // the frames that hold them.
  ::TlsSetValue(GuardSlot(), guard);
  // Resume as if ResumeAtGuard had just been called from the faulting code: the stack pointer
  // must be 8 modulo 16 at a function's entry. Resuming through the dispatcher (rather than
  // jumping out of this handler) lets the system finish its exception bookkeeping first.
  CONTEXT* context = pointers->ContextRecord;
  context->Rsp = (context->Rsp & ~DWORD64{0xF}) - 8;
  context->Rip = reinterpret_cast<DWORD64>(&ResumeAtGuard);
  ::SetLastError(saved);
  return EXCEPTION_CONTINUE_EXECUTION;
}

bool InstallGuardHandler() {
  // First in the chain: a guarded fault must be settled before any other vectored handler
  // (a later crash reporter) treats it as fatal.
  static const bool s_installed = ::AddVectoredExceptionHandler(1, GuardHandler) != nullptr;
  return s_installed;
}

// Kept out of line so that the jump buffer's frame stays the frame that __builtin_setjmp saw.
__attribute__((noinline)) bool RunArmed(Guard* guard, GuardedBody body, void* context) {
  if (__builtin_setjmp(guard->jumpBuffer)) return false;
  guard->armed = true;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  body(context);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  guard->armed = false;
  return true;
}

}  // namespace

bool RunGuarded(const char* contextName, GuardedBody body, void* context) noexcept {
  DWORD slot = GuardSlot();
  if (slot == TLS_OUT_OF_INDEXES || !InstallGuardHandler()) {
    // Without a slot or a handler there is nothing that could catch the fault; the work
    // itself still has to be done.
    body(context);
    return true;
  }
  Guard guard{};
  guard.contextName = contextName;
  guard.outer = static_cast<Guard*>(::TlsGetValue(slot));
  ::TlsSetValue(slot, &guard);
  bool completed = RunArmed(&guard, body, context);
  guard.armed = false;
  // TlsSetValue clears the last-error value on success; the caller expects the body's.
  DWORD error = ::GetLastError();
  ::TlsSetValue(slot, guard.outer);
  ::SetLastError(error);
  return completed;
}

#endif
