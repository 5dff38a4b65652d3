#include "eventsecurity.h"

#include <aclapi.h>

bool InitEveryoneAccess(EveryoneAccess& access) {
  SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
  if (!::AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                  access.everyone.Receive()))
    return false;

  EXPLICIT_ACCESSA entry = {};
  entry.grfAccessPermissions = 0x1FFFFF;
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = NO_INHERITANCE;
  entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  entry.Trustee.ptstrName = static_cast<LPSTR>(access.everyone.Get());
  PACL rawAcl = nullptr;
  DWORD status = ::SetEntriesInAclA(1, &entry, nullptr, &rawAcl);
  if (status != ERROR_SUCCESS) {
    ::SetLastError(status);
    return false;
  }
  access.acl.Reset(rawAcl);

  if (!::InitializeSecurityDescriptor(&access.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(&access.descriptor, TRUE, rawAcl, FALSE))
    return false;
  access.attributes = {sizeof access.attributes, &access.descriptor, FALSE};
  return true;
}
