// Texts of Windows error codes and the thread's own error text (ERROR_LIBRARY_TEXT).
#include "error.h"
#include "errorinternal.h"
#include "processobject.h"
#include "locks.h"
#include "handles.h"

#include <cstdio>

namespace {

// One Str buffer per thread in a fiber-local slot, whose callback releases it when the thread
// ends. When no slot can be had, one process-wide text stands in for every thread.
struct ErrorTextSlot {
  ErrorTextSlot() : index(::FlsAlloc(&ReleaseThreadText)) {}

  static void WINAPI ReleaseThreadText(void* data) { Str::Release(static_cast<StrHeader*>(data)); }

  DWORD index;
  NamedCriticalSection fallbackLock{"ErrorTextSlot"};
  Str fallback;
};

constinit ProcessObject<ErrorTextSlot> s_slot;

ErrorTextSlot& Slot() { return s_slot.Get(); }

}  // namespace

Str ThreadErrorText() {
  ErrorTextSlot& slot = Slot();
  if (slot.index == FLS_OUT_OF_INDEXES) {
    NamedLockHold guard(slot.fallbackLock, "ErrorTextSlot");
    return slot.fallback;
  }
  DWORD saved = ::GetLastError();
  auto* header = static_cast<StrHeader*>(::FlsGetValue(slot.index));
  ::SetLastError(saved);
  if (!header) return Str();
  LinkReference(&header->ref);
  return Str::Attach(header);
}

void StoreThreadErrorText(const Str& text) {
  ErrorTextSlot& slot = Slot();
  if (slot.index == FLS_OUT_OF_INDEXES) {
    NamedLockHold guard(slot.fallbackLock, "ErrorTextSlot");
    slot.fallback = text;
    return;
  }
  DWORD saved = ::GetLastError();
  Str copy = text;
  StrHeader* header = copy.Detach();
  auto* old = static_cast<StrHeader*>(::FlsGetValue(slot.index));
  if (::FlsSetValue(slot.index, header)) {
    Str::Release(old);
  } else {
    Str::Release(header);
    NamedLockHold guard(slot.fallbackLock, "ErrorTextSlot");
    slot.fallback = text;
  }
  ::SetLastError(saved);
}

void SetLastErrorText(const Str& text) {
  StoreThreadErrorText(text);
  ::SetLastError(ERROR_LIBRARY_TEXT);
}

Str GetErrorText(uint32_t code, HMODULE module, va_list* arguments, bool withCode, uint16_t primaryLanguage,
                 uint16_t subLanguage) {
  if (code == ERROR_LIBRARY_TEXT || code == ERROR_LIBRARY_TEXT_HRESULT) {
    Str own = ThreadErrorText();
    if (!own.IsEmpty()) return own;
  }
  DWORD saved = ::GetLastError();
  DWORD used = code ? code : 0xFFFFFFFF;
  // The maximum width turns the message's own line breaks into blanks.
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | (FORMAT_MESSAGE_MAX_WIDTH_MASK & 255) |
                (module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM) |
                (arguments ? 0 : FORMAT_MESSAGE_IGNORE_INSERTS);
  wchar_t* buffer = nullptr;
  DWORD n = ::FormatMessageW(flags, module, used, MAKELANGID(primaryLanguage, subLanguage),
                             reinterpret_cast<wchar_t*>(&buffer), 0, arguments);
  LocalMemory owned(buffer);
  Str text = n ? Trim(Str::FromUtf16(buffer, static_cast<int>(n))) : Str("Unknown error");
  owned.Reset();
  ::SetLastError(saved);
  if (!withCode) return text;
  char suffix[40];
  std::snprintf(suffix, sizeof suffix, " (0x%08lX/%lu)", static_cast<unsigned long>(used),
                static_cast<unsigned long>(used));
  text.Append(suffix);
  return text;
}

Str GetErrorText(uint32_t code, uint16_t primaryLanguage, uint16_t subLanguage) {
  return GetErrorText(code, nullptr, nullptr, true, primaryLanguage, subLanguage);
}
