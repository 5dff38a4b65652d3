// Private to the base library: the structured exception guard around the few places that run
// code which may fault on a broken caller's input (a wild pointer behind "%s", an unterminated
// text whose width is measured), and the filter that decides what happens to such a fault.
#pragma once

#include "win.h"

#include <type_traits>

// Decides the fate of an exception raised inside a guard named `contextName` (null when the
// guard has no name). It runs before anything is unwound, on the faulting thread, with the
// exception's own record: it names the exception, traces it and reports it (event 400,
// "Exception occured"). Returns `disposition` (every guard passes EXCEPTION_EXECUTE_HANDLER)
// when the guarded code may continue on its failure path, EXCEPTION_CONTINUE_SEARCH for a
// non-continuable exception or a stack overflow, which must go on to the process's own
// unhandled-exception handling. `pointers` may be null. Leaves the last-error value unchanged.
int ExceptionFilter(const char* contextName, EXCEPTION_POINTERS* pointers, int disposition);

// The name of an exception code ("ACCESS_VIOLATION"), or null for a code without one.
const char* ExceptionNameOf(DWORD code);

// The guarded code: a plain function without objects that need destruction. When the guard
// handles an exception, the frames between the guard and the fault are unwound by the system
// as for __except; whether destructors in them run depends on how they were compiled (with
// MSVC only under /EHa), so none may be relied on.
using GuardedBody = void (*)(void* context);

// Runs body(context) under the guard `contextName`: a structured exception frame whose filter
// is ExceptionFilter. Returns true when the body returned, false when it raised an exception
// that the filter let the guard handle. Exceptions the body handles itself (a C++ try/catch,
// the system's own notifications such as the debugger-output exception) never reach the
// filter; exceptions the filter passes on continue as if there were no guard. Guards nest: the
// innermost guard sees the exception first. The caller's last-error value is whatever the body
// left.
bool RunGuarded(const char* contextName, GuardedBody body, void* context) noexcept;

// Runs any callable under the guard. The callable is called through a plain function pointer so
// that the compiler cannot move the guarded work out of the armed region.
template <typename Fn>
bool RunGuarded(const char* contextName, Fn&& fn) noexcept {
  using Callable = std::remove_reference_t<Fn>;
  GuardedBody thunk = [](void* context) { (*static_cast<Callable*>(context))(); };
  return RunGuarded(contextName, thunk, const_cast<void*>(static_cast<const void*>(&fn)));
}
