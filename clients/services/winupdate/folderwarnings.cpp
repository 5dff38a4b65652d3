#include "folderwarnings.h"

#include "error.h"
#include "handles.h"

#include <sddl.h>

namespace {

// What was reported last; the pass runs on the service thread only.
bool s_reparsePointReported = false;
alignas(SID) BYTE s_ownerReported[SECURITY_MAX_SID_SIZE];
bool s_ownerWasReported = false;

bool IsProcessUser(PSID sid) {
  KernelHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return false;
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  if (!::GetTokenInformation(token.Get(), TokenUser, buffer, sizeof buffer, &size)) return false;
  return ::EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid) != FALSE;
}

// "S-1-5-21-...-1001 (MACHINE\name)", or the SID text alone when the account has no name here.
Str AccountText(PSID sid) {
  wchar_t* sidText = nullptr;
  Str text = ::ConvertSidToStringSidW(sid, &sidText) ? Str::FromUtf16(sidText) : Str("an unknown account");
  LocalMemory sidTextMemory(sidText);
  wchar_t name[256], domain[256];
  DWORD nameLength = 256, domainLength = 256;
  SID_NAME_USE use;
  if (::LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
    text.Append(" (");
    if (domain[0]) {
      text.Append(Str::FromUtf16(domain));
      text.Append('\\');
    }
    text.Append(Str::FromUtf16(name));
    text.Append(')');
  }
  return text;
}

void Warn(const Str& text) { ReportEvent(text, SeverityWarning, CategoryNone); }

}  // namespace

bool IsTrustedFolderOwner(PSID owner) {
  if (!owner || !::IsValidSid(owner)) return false;
  return ::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
         IsProcessUser(owner);
}

void NoteDropFolderState(const Str& folder, bool isReparsePoint, PSID owner) {
  if (isReparsePoint && !s_reparsePointReported) {
    Str text("The drop folder [");
    text.Append(folder);
    text.Append("] is not worked on: it is a reparse point (a junction, mount point or link), which could lead the "
                "service to files outside it.");
    Warn(text);
  }
  s_reparsePointReported = isReparsePoint;

  if (!owner || !::IsValidSid(owner) || IsTrustedFolderOwner(owner)) {
    s_ownerWasReported = false;
    return;
  }
  if (s_ownerWasReported && ::EqualSid(owner, reinterpret_cast<PSID>(s_ownerReported))) return;
  Str text("The drop folder [");
  text.Append(folder);
  text.Append("] is owned by ");
  text.Append(AccountText(owner));
  text.Append(", which is neither SYSTEM nor Administrators: its owner can change its protection and redirect it. "
              "It is still worked on.");
  Warn(text);
  s_ownerWasReported = ::CopySid(sizeof s_ownerReported, reinterpret_cast<PSID>(s_ownerReported), owner) != FALSE;
}
