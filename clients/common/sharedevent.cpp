#include "sharedevent.h"

#include "clientidentity.h"
#include "eventsecurity.h"
#include "handles.h"

#include <sddl.h>

namespace {

// The string form of the token user's SID, empty when any step fails.
WStr ProcessUserSidText() {
  KernelHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return WStr();
  DWORD size = 0;
  if (!::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size) &&
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return WStr();
  if (size == 0) return WStr();
  LocalMemory buffer(::LocalAlloc(LMEM_ZEROINIT, size));
  if (!buffer) return WStr();
  if (!::GetTokenInformation(token.Get(), TokenUser, buffer.Get(), size, &size)) return WStr();
  wchar_t* rawText = nullptr;
  if (!::ConvertSidToStringSidW(static_cast<TOKEN_USER*>(buffer.Get())->User.Sid, &rawText)) return WStr();
  LocalMemory text(rawText);
  return WStr(rawText);
}

}  // namespace

WStr GlobalEventName(const char* baseName) {
  WStr name(L"Global\\");
  name.Append(WStr(baseName));
  WStr sid = ProcessUserSidText();
  if (!sid.IsEmpty()) {
    name.Append(L'.');
    name.Append(sid);
  }
  return name;
}

HANDLE CreateSharedEvent(const char* baseName, bool manualReset, bool initialState, bool* alreadyExisted) {
  if (alreadyExisted) *alreadyExisted = false;
  EveryoneAccess access;
  if (!InitEveryoneAccess(access)) return nullptr;
  WStr name = GlobalEventName(baseName);
  KernelHandle event(::CreateEventW(&access.attributes, manualReset, initialState, name.c_str()));
  if (event && ::GetLastError() == ERROR_ALREADY_EXISTS) {
    if (alreadyExisted) *alreadyExisted = true;
    event.Reset();  // keeps ERROR_ALREADY_EXISTS as the caller's last error
    return nullptr;
  }
  return event.Take();
}

bool TestInteractiveMarker() {
  WStr name = GlobalEventName(ClientIdentity::InteractiveEventName);
  KernelHandle marker(::OpenEventW(EVENT_ALL_ACCESS, FALSE, name.c_str()));
  return marker.IsValid();
}
