// The trace map: the per-thread trace states and the shared prefix word "ZevTraceMap".
//
// The map lives in static storage that is never destroyed, so a trace call from another
// module's static destructor finds valid (if switched-off) state instead of freed memory.
#include "traceinternal.h"

#include "handles.h"
#include "security.h"
#include "threadexit.h"

#include <aclapi.h>

namespace {

// Life of the channel: 1 before the map is built, 2 built, 4 after static destruction began.
std::atomic<int> s_traceLife{1};
INIT_ONCE s_traceMapOnce = INIT_ONCE_STATIC_INIT;
std::atomic<DWORD> s_traceSlot{TLS_OUT_OF_INDEXES};
std::atomic<uint32_t*> s_prefixWord{nullptr};
std::atomic<uint32_t> s_threadStates{0};

// A thread whose state was released at thread exit keeps this marker, so that a trace from a
// later thread-exit callback does not build (and leak) a new state.
void* const kReleasedState = reinterpret_cast<void*>(~uintptr_t(0));

BOOL CALLBACK BuildTraceMap(PINIT_ONCE, PVOID, PVOID*) {
  s_traceSlot.store(::TlsAlloc());
  s_prefixWord.store(OpenTracePrefixSection(L"ZevTraceMap"));
  int expected = 1;
  s_traceLife.compare_exchange_strong(expected, 2);
  return TRUE;
}

bool EnsureTraceMap() {
  if (s_traceLife.load() == 4 && s_traceSlot.load() == TLS_OUT_OF_INDEXES) return false;
  DWORD saved = ::GetLastError();
  ::InitOnceExecuteOnce(&s_traceMapOnce, BuildTraceMap, nullptr, nullptr);
  ::SetLastError(saved);
  return true;
}

// Switches tracing on during static initialisation and off when static destruction begins.
struct TraceLifetime {
  TraceLifetime() { EnsureTraceMap(); }
  ~TraceLifetime() {
    s_traceLife.store(4);
    TracePipeClose();
  }
};
TraceLifetime s_traceLifetime;

void ReleaseThreadState() {
  DWORD slot = s_traceSlot.load(std::memory_order_relaxed);
  if (slot == TLS_OUT_OF_INDEXES) return;
  void* value = ::TlsGetValue(slot);
  if (!value || value == kReleasedState) return;
  ::TlsSetValue(slot, kReleasedState);
  ::HeapFree(::GetProcessHeap(), 0, value);
  s_threadStates.fetch_sub(1);
}

// Runs on the exiting thread from the library's thread-exit callbacks, before the allocator's.
void ReleaseThreadStateAtExit(void*) {
  DWORD saved = ::GetLastError();
  ReleaseThreadState();
  ::SetLastError(saved);
}

}  // namespace

bool IsTrustedSectionOwner(HANDLE section) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (::GetSecurityInfo(section, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &raw) != ERROR_SUCCESS) {
    return false;
  }
  LocalMemory descriptor(raw);
  if (!owner || !::IsValidSid(owner)) return false;
  if (::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
  KernelHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return false;
  // A TOKEN_USER holds one SID of at most 68 bytes.
  alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  if (!::GetTokenInformation(token.Get(), TokenUser, user, sizeof user, &size)) return false;
  PSID self = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
  return self && ::IsValidSid(self) && ::EqualSid(owner, self);
}

uint32_t* OpenTracePrefixSection(const wchar_t* name) {
  KernelHandle section(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(uint32_t), name));
  if (!section) return nullptr;
  const bool created = ::GetLastError() != ERROR_ALREADY_EXISTS;
  if (created) {
    // Only the creator sets the rules: services (LocalSystem), administrators and ordinary and
    // low-integrity client processes of any user all read the word, and a tracer of any user
    // may change it. A later process must not take the section away from the others.
    ProtectObjectForUsers(section.Get(), Str(), false, true);
  } else if (!IsTrustedSectionOwner(section.Get())) {
    // The name is local to the session and open to every process in it, so another account
    // may have made the section first. Its owner could change the word under a service at any
    // moment, or have backed the section with a file of its own that stalls every read of a
    // trace line: such a section is not used, and this process keeps the default word.
    return nullptr;
  }
  void* view = ::MapViewOfFile(section.Get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(uint32_t));
  if (!view) return nullptr;
  uint32_t* word = static_cast<uint32_t*>(view);
  if (created) ::InterlockedExchange(reinterpret_cast<volatile LONG*>(word), TracePrefixDefault);
  // Section handle and view stay open until process exit: the word must outlive every trace
  // call, including those of static destructors.
  (void)section.Take();
  return word;
}

bool TracingOn() { return s_traceLife.load(std::memory_order_relaxed) != 4 && EnsureTraceMap(); }

TraceThreadState* GetTraceThreadState(bool create, bool* tlsGone) {
  if (tlsGone) *tlsGone = false;
  EnsureTraceMap();
  DWORD slot = s_traceSlot.load();
  void* value = slot == TLS_OUT_OF_INDEXES ? kReleasedState : ::TlsGetValue(slot);
  if (value == kReleasedState) {
    if (tlsGone) *tlsGone = true;
    return nullptr;
  }
  if (value || !create) return static_cast<TraceThreadState*>(value);

  auto* state = static_cast<TraceThreadState*>(::HeapAlloc(::GetProcessHeap(), 0, sizeof(TraceThreadState)));
  if (!state) return nullptr;
  state->threadId = ::GetCurrentThreadId();
  state->typeMask = 0xFFF;
  state->inPipeWrite = false;
  state->stackTop = TRACE_CURRENT_FRAME();
  state->formatUsed = 0;
  if (!::TlsSetValue(slot, state)) {
    ::HeapFree(::GetProcessHeap(), 0, state);
    return nullptr;
  }
  s_threadStates.fetch_add(1);
  // Without the callback the state would outlive its thread; it is still usable meanwhile.
  RegisterThreadExitCallback(ReleaseThreadStateAtExit, nullptr, kThreadExitPriorityTrace);
  return state;
}

volatile uint32_t* TracePrefixWord() {
  EnsureTraceMap();
  return s_prefixWord.load();
}

uint32_t TraceThreadStateCount() { return s_threadStates.load(); }

TracePrefixFlags GetTracePrefixFlags() {
  volatile uint32_t* word = TracePrefixWord();
  return word ? *word : TracePrefixDefault;
}

bool SetTracePrefixFlags(TracePrefixFlags flags) {
  volatile uint32_t* word = TracePrefixWord();
  if (!word) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  ::InterlockedExchange(reinterpret_cast<volatile LONG*>(word), static_cast<LONG>(flags));
  return true;
}
