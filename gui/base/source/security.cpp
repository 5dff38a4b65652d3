// Security descriptors for objects shared across users and integrity levels.
#include "security.h"

#include "handles.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

namespace {

// TokenUser of an open token, copied into `buffer`; null when the token has no readable user.
// 8192 bytes hold any TOKEN_USER (a SID is at most 68 bytes).
struct TokenUserBuffer {
  alignas(TOKEN_USER) BYTE bytes[8192];
};

PSID ReadTokenUser(HANDLE token, TokenUserBuffer& buffer) {
  DWORD size = 0;
  if (!::GetTokenInformation(token, TokenUser, buffer.bytes, sizeof buffer.bytes, &size)) return nullptr;
  PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.bytes)->User.Sid;
  return (sid && ::IsValidSid(sid)) ? sid : nullptr;
}

bool BuildWellKnownSid(SID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD first, DWORD second,
                       AllocatedSid& out) {
  return ::AllocateAndInitializeSid(&authority, count, first, second, 0, 0, 0, 0, 0, 0, out.Receive()) != FALSE;
}

constexpr DWORD kTokenRights = TOKEN_QUERY | READ_CONTROL;  // 0x20008

}  // namespace

bool ProtectObjectForUsers(HANDLE object, const Str& path, bool inheritable, bool wellKnownGroups) {
  if (!object && path.IsEmpty()) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // The thread token exists only while the thread impersonates; its user then owns the object,
  // so that a service acting for a client hands the object to that client.
  // A token that cannot be opened is skipped (the thread token fails with ERROR_NO_TOKEN
  // whenever the thread does not impersonate).
  KernelHandle threadToken, processToken;
  ::OpenThreadToken(::GetCurrentThread(), kTokenRights, TRUE, threadToken.Receive());
  if (!::OpenProcessToken(::GetCurrentProcess(), kTokenRights, processToken.Receive()) && !threadToken) {
    return false;
  }

  TokenUserBuffer threadBuffer, processBuffer;
  PSID threadUser = threadToken ? ReadTokenUser(threadToken.Get(), threadBuffer) : nullptr;
  PSID processUser = processToken ? ReadTokenUser(processToken.Get(), processBuffer) : nullptr;
  threadToken.Reset();
  processToken.Reset();
  PSID owner = threadUser ? threadUser : processUser;
  if (!owner) return false;
  if (threadUser && processUser && ::EqualSid(threadUser, processUser)) processUser = nullptr;

  AllocatedSid system, administrators, everyone;
  if (wellKnownGroups) {
    if (!BuildWellKnownSid(SECURITY_NT_AUTHORITY, 1, SECURITY_LOCAL_SYSTEM_RID, 0, system) ||
        !BuildWellKnownSid(SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                           administrators) ||
        !BuildWellKnownSid(SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID, 0, everyone)) {
      return false;
    }
    // Low-integrity processes (sandboxed clients) must be able to write to the object; where
    // labels are not supported the DACL below still applies, so a failed label is not fatal.
    DWORD saved = ::GetLastError();
    SetIntegrityLabel(object, path, IntegrityLow);
    ::SetLastError(saved);
  }

  struct Entry {
    PSID sid;
    DWORD access;
  } const entries[] = {
      {threadUser, ProtectFullAccess},     {processUser, ProtectFullAccess},
      {system.Get(), ProtectFullAccess},   {administrators.Get(), ProtectFullAccess},
      {everyone.Get(), ProtectEveryoneAccess},
  };
  DWORD aclSize = sizeof(ACL);
  for (const Entry& e : entries) {
    if (e.sid) aclSize += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + ::GetLengthSid(e.sid);
  }
  LocalMemory aclMemory(::LocalAlloc(LPTR, aclSize));
  if (!aclMemory) return false;
  PACL acl = static_cast<PACL>(aclMemory.Get());
  if (!::InitializeAcl(acl, aclSize, ACL_REVISION)) return false;
  const DWORD aceFlags = inheritable ? (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) : 0;
  for (const Entry& e : entries) {
    if (e.sid && !::AddAccessAllowedAceEx(acl, ACL_REVISION, aceFlags, e.access, e.sid)) return false;
  }
  if (!::IsValidAcl(acl)) {
    ::SetLastError(ERROR_INVALID_ACL);
    return false;
  }

  SECURITY_DESCRIPTOR descriptor;
  if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorOwner(&descriptor, owner, FALSE) ||
      !::SetSecurityDescriptorGroup(&descriptor, owner, FALSE) ||
      !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
    return false;
  }
  const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                    DACL_SECURITY_INFORMATION;
  if (object) return ::SetKernelObjectSecurity(object, what, &descriptor) != FALSE;
  WStr widePath(path);
  if (widePath.IsEmpty()) {
    ::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  return ::SetFileSecurityW(widePath.c_str(), what, &descriptor) != FALSE;
}

bool SetIntegrityLabel(HANDLE object, const Str& path, uint32_t level) {
  static const char* const kLevelCodes[] = {"LW", "ME", "MP", "HI", "SI"};
  if (level >= sizeof kLevelCodes / sizeof kLevelCodes[0] || (!object && path.IsEmpty())) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  char sddl[32];
  snprintf(sddl, sizeof sddl, "S:(ML;;NW;;;%s)", kLevelCodes[level]);

  LocalMemory descriptor;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &raw, nullptr)) return false;
  descriptor.Reset(raw);
  BOOL present = FALSE, defaulted = FALSE;
  PACL sacl = nullptr;
  if (!::GetSecurityDescriptorSacl(raw, &present, &sacl, &defaulted)) return false;

  DWORD result;
  if (object) {
    result = ::SetSecurityInfo(object, SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, sacl);
  } else {
    WStr widePath(path);
    if (widePath.IsEmpty()) {
      ::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return false;
    }
    result = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(widePath.c_str()), SE_FILE_OBJECT,
                                     LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, sacl);
  }
  if (result != ERROR_SUCCESS) {
    ::SetLastError(result);
    return false;
  }
  return true;
}
