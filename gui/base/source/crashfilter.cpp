// The crash filter: what happens to an exception raised inside one of the library's guards.
#include "system.h"

#include "error.h"
#include "format.h"
#include "processobject.h"
#include "trace.h"

#include <cstdint>

namespace {

// Traces name the private header that declares the filter, as every release of the library did.
const char kTraceFile[] = "gui/base/include/private/system";
const char kReportMessage[] = "Exception occured";
constexpr uint32_t kReportEvent = 400;

struct ExceptionName {
  DWORD code;
  const char* name;
};

constexpr ExceptionName kExceptionNames[] = {
    {0x00000102, "TIMEOUT"},
    {0x00000103, "PENDING"},
    {0x40000005, "SEGMENT_NOTIFICATION"},
    {0x80000001, "GUARD_PAGE_VIOLATION"},
    {0x80000002, "DATATYPE_MISALIGNMENT"},
    {0x80000003, "BREAKPOINT"},
    {0x80000004, "SINGLE_STEP"},
    {0xC0000005, "ACCESS_VIOLATION"},
    {0xC0000006, "IN_PAGE_ERROR"},
    {0xC0000008, "INVALID_HANDLE"},
    {0xC0000017, "NO_MEMORY"},
    {0xC000001D, "ILLEGAL_INSTRUCTION"},
    {0xC0000025, "NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, "INVALID_DISPOSITION"},
    {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, "FLOAT_DENORMAL_OPERAND"},
    {0xC000008E, "FLOAT_DIVIDE_BY_ZERO"},
    {0xC000008F, "FLOAT_INEXACT_RESULT"},
    {0xC0000090, "FLOAT_INVALID_OPERATION"},
    {0xC0000091, "FLOAT_OVERFLOW"},
    {0xC0000092, "FLOAT_STACK_CHECK"},
    {0xC0000093, "FLOAT_UNDERFLOW"},
    {0xC0000094, "INTEGER_DIVIDE_BY_ZERO"},
    {0xC0000095, "INTEGER_OVERFLOW"},
    {0xC0000096, "PRIVILEGED_INSTRUCTION"},
    {0xC00000FD, "STACK_OVERFLOW"},
    {0xC000013A, "CONTROL_C_EXIT"},
    {0xC00002B4, "FLOAT_MULTIPLE_FAULTS"},
    {0xC00002B5, "FLOAT_MULTIPLE_TRAPS"},
    {0xC00002C9, "REG_NAT_CONSUMPTION"},
};

// Marks a thread whose filter is running. A fault while the filter reports (a broken heap,
// an exhausted stack) is dispatched to the same guard again; without the mark that would call
// the filter again, fault again, and recurse until the stack is gone.
// The slot outlives static destruction: the filter may run during process exit.
constinit ProcessObject<DWORD> s_filterSlot;

void AllocateFilterSlot(void* at) { ::new (at) DWORD(::TlsAlloc()); }

DWORD FilterSlot() { return s_filterSlot.Get<&AllocateFilterSlot>(); }

class FilterActivation {
 public:
  FilterActivation() {
    slot_ = FilterSlot();
    if (slot_ == TLS_OUT_OF_INDEXES) return;
    reentered_ = ::TlsGetValue(slot_) != nullptr;
    if (!reentered_) ::TlsSetValue(slot_, this);
  }
  ~FilterActivation() {
    if (slot_ != TLS_OUT_OF_INDEXES && !reentered_) ::TlsSetValue(slot_, nullptr);
  }
  FilterActivation(const FilterActivation&) = delete;
  FilterActivation& operator=(const FilterActivation&) = delete;
  bool Reentered() const { return reentered_; }

 private:
  DWORD slot_ = TLS_OUT_OF_INDEXES;
  bool reentered_ = false;
};

void Trace(const Str& line) { TraceAssert(TraceAreaDefault, TraceError, kTraceFile, __LINE__, line.c_str()); }

}  // namespace

const char* ExceptionNameOf(DWORD code) {
  for (const ExceptionName& entry : kExceptionNames)
    if (entry.code == code) return entry.name;
  return nullptr;
}

int ExceptionFilter(const char* contextName, EXCEPTION_POINTERS* pointers, int disposition) {
  const DWORD savedError = ::GetLastError();
  const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
  const DWORD code = record ? record->ExceptionCode : 0;
  const DWORD flags = record ? record->ExceptionFlags : 0;
  // The bit, not the whole flags word: a non-continuable exception raised while another one
  // is being dispatched carries EXCEPTION_NESTED_CALL as well, and it is no less fatal.
  const bool nonContinuable = (flags & EXCEPTION_NONCONTINUABLE) != 0;
  const bool passOn = disposition == EXCEPTION_EXECUTE_HANDLER && record &&
                      (nonContinuable || code == EXCEPTION_STACK_OVERFLOW);
  const int result = passOn ? EXCEPTION_CONTINUE_SEARCH : disposition;

  FilterActivation activation;
  if (activation.Reentered()) {
    // The filter faulted: nothing more can be reported safely, and handling its fault would
    // hide a broken process. Let the system end it.
    ::SetLastError(savedError);
    return EXCEPTION_CONTINUE_SEARCH;
  }

  const void* address = record ? record->ExceptionAddress : nullptr;
  const char* kind = !record ? "" : nonContinuable ? "Non-continuable exception" : "Exception";
  const char* name = ExceptionNameOf(code);

  Str line;
  if (contextName)
    StrFormat(line, "ExceptionFilter: %s 0x%08X (%s) at address %p (%s)", kind, static_cast<unsigned>(code),
              name ? name : "", address, contextName);
  else
    StrFormat(line, "ExceptionFilter: %s 0x%08X (%s) at address %p", kind, static_cast<unsigned>(code),
              name ? name : "", address);
  Trace(line);

  // For an access violation the system says what was tried where: the access kind (0 read,
  // 1 write, 8 execute) and the inaccessible address.
  const bool hasAccessInfo = record && code == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2;
  Str accessInfo;
  if (hasAccessInfo) {
    const ULONG_PTR access = record->ExceptionInformation[0];
    const void* target = reinterpret_cast<const void*>(record->ExceptionInformation[1]);
    if (access == 0 || access == 1) {
      StrFormat(accessInfo, access == 0 ? "Could not read at address %p" : "Could not write at address %p", target);
      Str traced("ExceptionFilter: ");
      traced.Append(accessInfo);
      Trace(traced);
    }
  }

  Str error = name ? Str(name) : GetErrorText(code, LANG_NEUTRAL, SUBLANG_DEFAULT);
  Str addressText;
  StrFormat(addressText, "%p", address);
  const EventField type{"type", kind};
  const EventField codeField{"code", static_cast<int64_t>(code)};
  const EventField errorField{"error", error};
  const EventField addressField{"address", addressText};
  if (contextName && hasAccessInfo)
    ReportLibraryEvent(kReportEvent, kReportMessage,
                       {type, codeField, errorField, addressField, {"context", contextName}, {"exceptioninfo", accessInfo}});
  else if (contextName)
    ReportLibraryEvent(kReportEvent, kReportMessage, {type, codeField, errorField, addressField, {"context", contextName}});
  else if (hasAccessInfo)
    ReportLibraryEvent(kReportEvent, kReportMessage,
                       {type, codeField, errorField, addressField, {"exceptioninfo", accessInfo}});
  else
    ReportLibraryEvent(kReportEvent, kReportMessage, {type, codeField, errorField, addressField});

  ::SetLastError(savedError);
  return result;
}
