#include "pushevent.h"

#include "clientidentity.h"
#include "eventsecurity.h"
#include "handles.h"

HANDLE CreateMSIPushEvent() {
  EveryoneAccess access;
  if (!InitEveryoneAccess(access)) return nullptr;
  KernelHandle event(::CreateEventA(&access.attributes, FALSE, FALSE, ClientIdentity::MsiPushEventName));
  if (event && ::GetLastError() == ERROR_ALREADY_EXISTS) {
    event.Reset();  // Reset keeps ERROR_ALREADY_EXISTS as the caller's last error
    return nullptr;
  }
  return event.Take();
}
