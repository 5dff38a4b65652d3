#include "servicestep.h"

#include "clientidentity.h"
#include "directories.h"
#include "error.h"
#include "files.h"
#include "handles.h"
#include "launch.h"
#include "mappedfile.h"
#include "paths.h"
#include "registry.h"
#include "signercheck.h"
#include "trace.h"

#include <aclapi.h>

#include <cstdio>

namespace {

const char kTraceSource[] = "clients/services/winupdate/servicestep";
constexpr int kResultTraceLine = 273;
constexpr int kCleanupTraceLine = 178;

const PolicySetting kAutoUpdate = {"HKEY_LOCAL_MACHINE\\Software\\Policies\\Vennacor\\NativeClient\\Cloud", "AUTOUPDATE"};
const PolicySetting kAutoUpdateUrl = {"HKEY_LOCAL_MACHINE\\Software\\Policies\\Vennacor\\NativeClient\\Cloud",
                                      "AUTOUPDATE_URL"};
const char kSetupsKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vennacor\\WebClient\\Setups\\Cloud";
const char kUpdateInstallerValue[] = "UpdateInstaller";

// "AUTOUPDATE" switches updates off only when it exists and reads as 0; a value of another
// type than a 4-byte REG_DWORD reads as 0.
bool UpdatesAllowed() {
  Str key(kAutoUpdate.keyPath);
  Str name(kAutoUpdate.valueName);
  if (RegistryValueExists(key, name) && ReadRegistryNumber(key, Str(), name, 0, RegistryNumberDword) == 0)
    return false;
  if (ClientIdentity::VariantFlag == 0 &&
      ReadRegistryText(Str(kAutoUpdateUrl.keyPath), Str(), Str(kAutoUpdateUrl.valueName), Str()).IsEmpty())
    return false;
  return true;
}

Str WithExtension(const Str& name, const char* extension) {
  Str result = name;
  result.Append(extension);
  return result;
}

void TraceResult(ResultCode code) {
  const char* text = TraceFormat("Result code %u", static_cast<unsigned>(code));
  TraceOut(TraceAreaDefault, TraceState, kTraceSource, kResultTraceLine, text);
  TraceFormatDone();
}

void WriteResultFile(const Str& path, bool started, ResultCode code) {
  if (path.IsEmpty()) return;
  Str line = ResultLine(started, code);
  MappedFile file;
  if (!file.OpenForWriting(path)) return;
  file.Append(line.c_str(), line.Length());
  file.Close();
}

// The Windows installer must come from the system folder: a msiexec.exe found earlier on the
// search path (the service's own folder, the current folder) is refused.
Str FindSystemInstaller() {
  Str found = FindExecutable(Str("msiexec.exe"));
  if (found.IsEmpty()) return Str();
  Str below = PathBelow(found, GetDirectory(DirectorySystem));
  return below.IsEmpty() ? Str() : found;
}

Str InstallerCommand(const Str& msiexec, const Str& package) {
  Str command = QuotePath(msiexec);
  command.Append(" /qn /i ");
  command.Append(QuotePath(package));
  command.Append(" AUTOUPDATE=1");
  return command;
}

void MarkForRemoval(const Str& file, const Str& baseName) {
  CreateEmptyFile(JoinFilePath(DirectoryOf(file), WithExtension(baseName, ".removepending")));
}

// Owner and group BUILTIN\Administrators and an empty, unprotected DACL: the file then carries
// only what it inherits from the update folder.
bool ResetPackageSecurity(const Str& path) {
  alignas(ACL) BYTE aclBuffer[sizeof(ACL)];
  PACL acl = reinterpret_cast<PACL>(aclBuffer);
  if (!::InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION)) return false;
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  AllocatedSid administrators;
  if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, administrators.Receive()))
    return false;
  WStr widePath(path);
  DWORD status = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(widePath.c_str()), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                             DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                         administrators.Get(), administrators.Get(), acl, nullptr);
  ::SetLastError(status);
  return status == ERROR_SUCCESS;
}

void ProcessPackage(const Str& dropFolder, const Str& updateFolder, const Str& pendingPath) {
  Str name = BaseNameOf(pendingPath);
  Str installer = JoinFilePath(dropFolder, WithExtension(name, ".msi"));
  Str resultPath = JoinFilePath(updateFolder, WithExtension(name, ".result"));
  ResultCode code = ResultNoPackage;
  bool started = false;

  if (FileExists(installer)) {
    code = ResultUntrusted;
    if (VerifyFileTrust(WStr(installer).c_str())) {
      code = ResultSignerFailed;
      if (CheckInstallerSigner(installer)) {
        code = ResultNotMoved;
        Str moved = MoveToUpdateFolder(updateFolder, installer);
        if (!moved.IsEmpty()) {
          WriteRegistryText(Str(kSetupsKey), Str(), Str(kUpdateInstallerValue), moved);
          installer = moved;
          // Only the second check, on the copy in the protected folder, decides.
          bool trusted = VerifyFileTrust(WStr(moved).c_str());
          if (trusted && CheckInstallerSigner(moved)) {
            code = ResultNoInstaller;
            Str msiexec = FindSystemInstaller();
            if (!msiexec.IsEmpty()) {
              started = RunCommandShown(InstallerCommand(msiexec, moved));
              code = started ? ResultStarted : ResultNotStarted;
            }
          } else {
            code = trusted ? ResultMovedSignerFailed : ResultMovedUntrusted;
          }
        }
      }
    }
  }

  if (!started && !RemoveFile(installer, false)) MarkForRemoval(installer, name);
  RemoveFile(pendingPath, false);
  TraceResult(code);
  WriteResultFile(resultPath, started, code);
}

}  // namespace

Str ResultLine(bool started, ResultCode code) {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  char stamp[32];
  snprintf(stamp, sizeof stamp, "%04ld-%02ld-%02ldT%02ld:%02ld:%02ld", static_cast<long>(now.wYear),
           static_cast<long>(now.wMonth), static_cast<long>(now.wDay), static_cast<long>(now.wHour),
           static_cast<long>(now.wMinute), static_cast<long>(now.wSecond));
  char line[64];
  snprintf(line, sizeof line, "%u|%s: %u", started ? 1u : 0u, stamp, static_cast<unsigned>(code));
  return Str(line);
}

void ExecuteServiceStep(const Str& folder) {
  PathList markers = ListFiles(folder, Str("*.removepending"));
  for (uint32_t i = 0; i < markers.Length(); ++i) {
    Str marker = markers[i];
    if (marker.IsEmpty()) continue;
    Str installer = JoinFilePath(folder, WithExtension(BaseNameOf(marker), ".msi"));
    if (!FileExists(installer) || RemoveFile(installer, false)) {
      RemoveFile(marker, false);
      continue;
    }
    DWORD error = ::GetLastError();
    Str text = GetErrorText(error, nullptr, nullptr, false, LANG_NEUTRAL, SUBLANG_DEFAULT);
    const char* line =
        TraceFormat("ExecuteServiceStep: Could not remove installer file [%s]: %s", installer.c_str(), text.c_str());
    TraceAssert(TraceAreaDefault, TraceError, kTraceSource, kCleanupTraceLine, line);
    TraceFormatDone();
  }
}

Str MoveToUpdateFolder(const Str& updateFolder, const Str& package) {
  if (updateFolder.IsEmpty()) return Str();
  Str target = JoinFilePath(updateFolder, FileNameOf(package));
  if (target.IsEmpty() || !MoveFileTo(package, target, false)) return Str();
  if (ResetPackageSecurity(target)) return target;
  if (!RemoveFile(target, false)) MarkForRemoval(target, BaseNameOf(target));
  return Str();
}

bool UpdateStep() {
  if (!UpdatesAllowed()) return false;

  Str dropFolder = GetDirectory(DirectoryCommonAppData);
  Str updateFolder = GetDirectory(DirectoryProgramFiles);
  if (!updateFolder.IsEmpty() && (!AppendPathComponent(updateFolder, Str("Vennacor")) ||
                                  !AppendPathComponent(updateFolder, Str("Update")) ||
                                  !MakeDirectory(updateFolder, true)))
    updateFolder = Str();
  if (dropFolder.IsEmpty() || updateFolder.IsEmpty()) return false;
  if (!AppendPathComponent(dropFolder, Str("vennacor.plugin"))) return false;
  if (ClientIdentity::VariantFlag == 0 && !AppendPathComponent(dropFolder, Str(ClientIdentity::DropGroupName)))
    return false;

  ExecuteServiceStep(dropFolder);
  ExecuteServiceStep(updateFolder);

  PathList announcements = ListFiles(dropFolder, Str("*.pending"));
  for (uint32_t i = 0; i < announcements.Length(); ++i) {
    Str pending = announcements[i];
    if (!pending.IsEmpty()) ProcessPackage(dropFolder, updateFolder, pending);
  }
  return true;
}
