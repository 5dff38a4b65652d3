// The exception guard: a structured exception frame whose filter is ExceptionFilter.
//
// With MSVC it is a plain __try/__except. GCC for Windows has no __try, so there the same
// frame is written out by hand: a small function whose unwind data names the system's
// __C_specific_handler with a one-entry scope table (the guarded call, the filter, the place to
// resume), which is exactly what MSVC emits for __try/__except. The system then treats both
// alike: the filter runs during the search for a handler, before anything is unwound, and only
// for an exception the guarded code did not handle itself.
//
// (A vectored handler would see every exception first, including the ones the guarded code
// handles on its own, such as the exception through which Wine's OutputDebugString reaches a
// debugger, or a C++ exception thrown and caught inside a thread's clean-up callback. With a
// filter that takes any exception, the guard would then break code that works.)
#include "system.h"

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

#if !(defined(__x86_64__) || defined(_M_X64))
#error "The exception guard is written for the x64 exception model; port GuardedCall before building for this target."
#endif

extern "C" {

// Calls body(context) inside the guard frame; 1 when the body returned, 0 when the guard
// handled an exception. The guard's name is kept in the frame, where the filter finds it.
int GuardedCall(GuardedBody body, void* context, const char* contextName);

// The scope filter that __C_specific_handler calls with the exception and the guard's
// establisher frame (the guard's stack pointer after its prologue).
LONG GuardScopeFilter(EXCEPTION_POINTERS* pointers, void* establisherFrame) {
  const char* contextName = *reinterpret_cast<const char* const*>(static_cast<const char*>(establisherFrame) + 32);
  return ExceptionFilter(contextName, pointers, EXCEPTION_EXECUTE_HANDLER);
}

}  // extern "C"

// Frame: 32 bytes of home space for the callee, then the guard's name at [rsp+32]; 40 bytes
// keep the stack 16-byte aligned at the call. The scope covers the call's return address (the
// nop keeps it inside the scope). The resume point is entered by the system's unwind with the
// stack pointer of the frame's body, so it only has to return 0.
asm(R"(
    .text
    .p2align 4
    .globl GuardedCall
    .def GuardedCall; .scl 2; .type 32; .endef
    .seh_proc GuardedCall
GuardedCall:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %r8, 32(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
.LGuardedCallBegin:
    callq *%rax
    nop
.LGuardedCallEnd:
    movl $1, %eax
    addq $40, %rsp
    ret
.LGuardedCallResume:
    xorl %eax, %eax
    addq $40, %rsp
    ret
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long 1
    .rva .LGuardedCallBegin, .LGuardedCallEnd, GuardScopeFilter, .LGuardedCallResume
    .text
    .seh_endproc
)");

bool RunGuarded(const char* contextName, GuardedBody body, void* context) noexcept {
  return GuardedCall(body, context, contextName) != 0;
}

#endif
