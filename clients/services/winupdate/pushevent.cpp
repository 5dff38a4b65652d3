#include "pushevent.h"

#include "clientidentity.h"
#include "handles.h"

#include <aclapi.h>

HANDLE CreateMSIPushEvent() {
  SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
  AllocatedSid everyone;
  if (!::AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, everyone.Receive()))
    return nullptr;

  EXPLICIT_ACCESSA access = {};
  access.grfAccessPermissions = 0x1FFFFF;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = NO_INHERITANCE;
  access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = static_cast<LPSTR>(everyone.Get());
  PACL rawAcl = nullptr;
  DWORD status = ::SetEntriesInAclA(1, &access, nullptr, &rawAcl);
  if (status != ERROR_SUCCESS) {
    ::SetLastError(status);
    return nullptr;
  }
  LocalMemory acl(rawAcl);

  SECURITY_DESCRIPTOR descriptor;
  if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(&descriptor, TRUE, rawAcl, FALSE))
    return nullptr;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};

  KernelHandle event(::CreateEventA(&attributes, FALSE, FALSE, ClientIdentity::MsiPushEventName));
  if (event && ::GetLastError() == ERROR_ALREADY_EXISTS) {
    event.Reset();  // Reset keeps ERROR_ALREADY_EXISTS as the caller's last error
    return nullptr;
  }
  return event.Take();
}
