// Private to the base library: compiler-specific spellings with one name for both compilers.
#pragma once

// Keeps a function out of its callers: a cold path's large stack frame (and its stack probe)
// or its code then costs the hot path nothing.
#if defined(_MSC_VER)
#define QEL_NOINLINE __declspec(noinline)
#else
#define QEL_NOINLINE __attribute__((noinline))
#endif

// Puts a small helper into every caller even where the compiler would not: for the few steps of
// a hot path that it would otherwise call, with their register saves.
#if defined(_MSC_VER)
#define QEL_FORCEINLINE __forceinline
#else
#define QEL_FORCEINLINE inline __attribute__((always_inline))
#endif
