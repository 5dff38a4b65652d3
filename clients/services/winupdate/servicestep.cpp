#include "servicestep.h"

#include "clientidentity.h"
#include "directories.h"
#include "error.h"
#include "files.h"
#include "handles.h"
#include "launch.h"
#include "mappedfile.h"
#include "packagefiles.h"
#include "paths.h"
#include "registry.h"
#include "signercheck.h"
#include "trace.h"
#include "updatepolicy.h"

#include <atomic>
#include <cstdio>

namespace {

const char kTraceSource[] = "clients/services/winupdate/servicestep";
constexpr int kResultTraceLine = 273;
constexpr int kCleanupTraceLine = 178;

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
  CreateMarkerNoFollow(JoinFilePath(DirectoryOf(file), WithExtension(baseName, ".removepending")));
}

bool (*s_stopRequested)() = nullptr;

bool StopRequested() { return s_stopRequested && s_stopRequested(); }

void ProcessPackage(const Str& dropFolder, const Str& updateFolder, const Str& pendingPath) {
  Str name = BaseNameOf(pendingPath);
  Str installer = JoinFilePath(dropFolder, WithExtension(name, ".msi"));
  Str resultPath = JoinFilePath(updateFolder, WithExtension(name, ".result"));
  if (installer.IsEmpty() || resultPath.IsEmpty()) {
    // A name the path grammar refuses can be neither checked nor answered; its announcement is
    // removed so that it is not taken up again on every pass, and nothing else is touched.
    DeleteNoFollow(pendingPath);
    TraceResult(ResultNoPackage);
    return;
  }
  ResultCode code = ResultNoPackage;
  bool started = false;
  bool moved = false;
  HeldPackage package;

  if (FileExists(installer)) {
    // Held from here to the end: nobody can write, rename or delete the package while it is
    // checked and copied. Links and reparse points are refused: they may lead to files that
    // the user could not touch.
    code = ResultNotMoved;
    if (package.Open(installer)) {
      code = ResultUntrusted;
      if (VerifyFileTrust(WStr(installer).c_str())) {
        code = ResultSignerFailed;
        if (CheckInstallerSigner(installer)) {
          code = ResultNotMoved;
          Str copy = MoveToUpdateFolder(updateFolder, package);
          if (!copy.IsEmpty()) {
            moved = true;
            WriteRegistryText(Str(kSetupsKey), Str(), Str(kUpdateInstallerValue), copy);
            // The dropped package leaves the drop folder; only the copy goes on.
            if (!package.Delete()) MarkForRemoval(installer, name);
            package.Close();
            installer = copy;
            // Only the second check, on the copy in the protected folder, decides.
            bool trusted = VerifyFileTrust(WStr(copy).c_str());
            if (trusted && CheckInstallerSigner(copy)) {
              code = ResultNoInstaller;
              Str msiexec = FindSystemInstaller();
              if (!msiexec.IsEmpty()) {
                started = RunCommandShown(InstallerCommand(msiexec, copy));
                code = started ? ResultStarted : ResultNotStarted;
              }
            } else {
              code = trusted ? ResultMovedSignerFailed : ResultMovedUntrusted;
            }
          }
        }
      }
    }
  }

  if (!started) {
    bool removed = moved ? RemoveFile(installer, false) : (package.IsOpen() ? package.Delete() : DeleteNoFollow(installer));
    if (!removed) MarkForRemoval(installer, name);
  }
  package.Close();
  DeleteNoFollow(pendingPath);
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
    // Markers are files any user may add: a folder full of them must not hold a stop either.
    if (StopRequested()) return;
    Str marker = markers[i];
    if (marker.IsEmpty()) continue;
    Str installer = JoinFilePath(folder, WithExtension(BaseNameOf(marker), ".msi"));
    if (!FileExists(installer) || DeleteNoFollow(installer)) {
      DeleteNoFollow(marker);
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

Str MoveToUpdateFolder(const Str& updateFolder, const HeldPackage& package) {
  if (updateFolder.IsEmpty() || !package.IsOpen()) return Str();
  // The copy is a new file of this service in the protected folder, secured through its own
  // handle before it gets its name: a rename would keep the dropped file's owner, its ACL and
  // every handle a user opened on it.
  Str name = FileNameOf(package.Path());
  return CopyIntoFolder(package, updateFolder, name);
}

Str MoveToUpdateFolder(const Str& updateFolder, const Str& package) {
  HeldPackage held;
  if (!held.Open(package)) return Str();
  Str copy = MoveToUpdateFolder(updateFolder, held);
  if (!copy.IsEmpty() && !held.Delete())
    CreateMarkerNoFollow(JoinFilePath(DirectoryOf(package), WithExtension(BaseNameOf(package), ".removepending")));
  return copy;
}

void SetUpdatePassStopCheck(bool (*stopRequested)()) { s_stopRequested = stopRequested; }

Str DropFolderPath() {
  Str folder = GetDirectory(DirectoryCommonAppData);
  if (folder.IsEmpty() || !AppendPathComponent(folder, Str("vennacor.plugin"))) return Str();
  if (ClientIdentity::VariantFlag == 0 && !AppendPathComponent(folder, Str(ClientIdentity::DropGroupName)))
    return Str();
  return folder;
}

Str UpdateFolderPath() {
  Str folder = GetDirectory(DirectoryProgramFiles);
  if (folder.IsEmpty() || !AppendPathComponent(folder, Str("Vennacor")) || !AppendPathComponent(folder, Str("Update")))
    return Str();
  return folder;
}

bool UpdateStep() {
  if (!UpdatesAllowed()) return false;

  Str updateFolder = UpdateFolderPath();
  if (!updateFolder.IsEmpty() && !MakeDirectory(updateFolder, true)) updateFolder = Str();
  Str dropFolder = DropFolderPath();
  if (dropFolder.IsEmpty() || updateFolder.IsEmpty()) return false;

  // The drop folder is held for the whole pass so that it cannot be swapped for a junction
  // that would lead deletions and markers elsewhere; one that is a reparse point already is
  // not worked on at all.
  HeldFolder drop;
  bool dropUsable = drop.Open(dropFolder);
  if (dropUsable) ExecuteServiceStep(dropFolder);
  ExecuteServiceStep(updateFolder);
  if (!dropUsable) return true;

  PathList announcements = ListFiles(dropFolder, Str("*.pending"));
  for (uint32_t i = 0; i < announcements.Length(); ++i) {
    // A stop request is served before the next package, not after the whole list: a user who
    // fills the folder must not keep the service from stopping.
    if (StopRequested()) break;
    Str pending = announcements[i];
    if (!pending.IsEmpty()) ProcessPackage(dropFolder, updateFolder, pending);
  }
  return true;
}
