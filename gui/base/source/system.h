// Private to the base library: the structured exception guard around the few places that run
// code which may fault on a broken caller's input (a wild pointer behind "%s", an unterminated
// text whose width is measured), and the filter that decides what happens to such a fault.
#pragma once

#include "win.h"

#include <type_traits>

// Decides the fate of an exception raised inside a guard named `contextName` (null when the
// guard has no name). Returns `disposition` (every guard passes EXCEPTION_EXECUTE_HANDLER) when
// the guarded code may continue on its failure path, EXCEPTION_CONTINUE_SEARCH when the
// exception must go on to the process's own unhandled-exception handling.
// `pointers` may be null.
int ExceptionFilter(const char* contextName, EXCEPTION_POINTERS* pointers, int disposition);

// The guarded code: a plain function without objects that need destruction, because on a fault
// its frames are abandoned without unwinding (the same holds for __except on Windows, where
// unwinding runs only destructors of frames compiled with /EHa).
using GuardedBody = void (*)(void* context);

// Runs body(context) under the guard `contextName`. Returns true when the body returned, false
// when it raised an exception that ExceptionFilter let the guard handle; any other exception
// continues as if there were no guard. Guards nest; a fault is handled by the innermost guard
// that is running its body. The caller's last-error value is whatever the body left.
bool RunGuarded(const char* contextName, GuardedBody body, void* context) noexcept;

// Runs any callable under the guard. The callable is called through a plain function pointer so
// that the compiler cannot move the guarded work out of the armed region.
template <typename Fn>
bool RunGuarded(const char* contextName, Fn&& fn) noexcept {
  using Callable = std::remove_reference_t<Fn>;
  GuardedBody thunk = [](void* context) { (*static_cast<Callable*>(context))(); };
  return RunGuarded(contextName, thunk, const_cast<void*>(static_cast<const void*>(&fn)));
}
