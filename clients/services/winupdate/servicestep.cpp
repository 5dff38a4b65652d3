#include "servicestep.h"

#include "clientidentity.h"
#include "directories.h"
#include "error.h"
#include "files.h"
#include "folderprotection.h"
#include "folderwarnings.h"
#include "format.h"
#include "handles.h"
#include "launch.h"
#include "mappedfile.h"
#include "packagefiles.h"
#include "paths.h"
#include "registry.h"
#include "signercheck.h"
#include "timestamp.h"
#include "trace.h"
#include "updatepolicy.h"

#include <sddl.h>

#include <cstdio>
#include <cstring>

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
  TraceText text("Result code %u", static_cast<unsigned>(code));
  TraceOut(TraceAreaDefault, TraceState, kTraceSource, kResultTraceLine, text.c_str());
}

void WriteResultFile(const Str& path, bool started, ResultCode code) {
  if (path.IsEmpty()) return;
  Str line = ResultLine(started, code);
  MappedFile file;
  if (!file.OpenForWriting(path)) return;
  file.Append(line.c_str(), line.Length());
  file.Close();
}

// The Windows installer must come from the system folder itself: a msiexec.exe found earlier on
// the search path (the service's own folder, the current folder, a subfolder of the system
// folder such as System32\Tasks that users can write) is refused.
Str FindSystemInstaller() {
  Str found = FindExecutable(Str("msiexec.exe"));
  if (found.IsEmpty()) return Str();
  WStr folder(DirectoryOf(found));
  WStr system(GetDirectory(DirectorySystem));
  if (folder.IsEmpty() || system.IsEmpty() ||
      ::CompareStringOrdinal(folder.c_str(), static_cast<int>(folder.Length()), system.c_str(),
                             static_cast<int>(system.Length()), TRUE) != CSTR_EQUAL)
    return Str();
  return found;
}

Str InstallerCommand(const Str& msiexec, const Str& package) {
  Str command = QuotePath(msiexec);
  command.Append(" /qn /i ");
  command.Append(QuotePath(package));
  command.Append(" AUTOUPDATE=1");
  return command;
}

bool HasSuffix(const Str& name, const char* suffix) {
  const uint32_t length = name.Length();
  const uint32_t suffixLength = static_cast<uint32_t>(strlen(suffix));
  if (length <= suffixLength) return false;
  const char* tail = name.c_str() + (length - suffixLength);
  for (uint32_t i = 0; i < suffixLength; ++i) {
    char c = tail[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

bool (*s_stopRequested)() = nullptr;
UpdatePassChecks s_checks;

bool StopRequested() { return s_stopRequested && s_stopRequested(); }
bool Trusted(const Str& path) {
  WStr wide(path);
  return s_checks.verifyFileTrust ? s_checks.verifyFileTrust(wide.c_str()) : VerifyFileTrust(wide.c_str());
}
bool SignedByMaker(const Str& path) {
  return s_checks.checkInstallerSigner ? s_checks.checkInstallerSigner(path) : CheckInstallerSigner(path);
}
bool StartInstaller(const Str& application, const Str& commandLine) {
  return s_checks.startInstaller ? s_checks.startInstaller(application, commandLine)
                                 : RunProgramShown(application, commandLine);
}

// "UpdateInstaller" names the copy that was handed to the installer. When a copy leaves the
// update folder again, the value must not go on naming it: a copy that replaced an earlier
// package of the same name and then failed its checks would otherwise leave the record of that
// earlier package pointing at nothing.
Str InstallerRecord() { return ReadRegistryText(Str(kSetupsKey), Str(), Str(kUpdateInstallerValue), Str()); }

// Puts back what the record said before (a value that was not there goes again).
void RestoreInstallerRecord(const Str& previous) {
  if (!previous.IsEmpty()) {
    WriteRegistryText(Str(kSetupsKey), Str(), Str(kUpdateInstallerValue), previous);
    return;
  }
  RegistryKey key;
  if (OpenRegistryKey(Str(kSetupsKey), RegistryCreate, RegistryViewDefault, &key))
    ::RegDeleteValueW(key.Get(), WStr(kUpdateInstallerValue).c_str());
}

void ForgetInstallerRecord(const Str& copy) {
  WStr recorded(InstallerRecord()), wideCopy(copy);
  if (!recorded.IsEmpty() &&
      ::CompareStringOrdinal(recorded.c_str(), static_cast<int>(recorded.Length()), wideCopy.c_str(),
                             static_cast<int>(wideCopy.Length()), TRUE) == CSTR_EQUAL)
    RestoreInstallerRecord(Str());
}

// The names of one announced package X.
struct PackageNames {
  Str pending;     // X.pending in the drop folder
  Str installer;   // X.msi
  Str marker;      // X.removepending
  Str resultPath;  // the update folder's X.result
};

bool NamePackage(const Str& pending, const Str& updateFolder, PackageNames* names) {
  Str base = BaseNameOf(pending);
  names->pending = pending;
  names->installer = WithExtension(base, ".msi");
  names->marker = WithExtension(base, ".removepending");
  names->resultPath = JoinFilePath(updateFolder, WithExtension(base, ".result"));
  // A marker that cannot be named is not made, as any other marker that cannot be made.
  return IsValidFileName(names->installer) && !names->resultPath.IsEmpty();
}

// What the pass knows of the drop folder's files: the listing taken when it began, and a second
// one, taken the first time an announced package is missing from the first. The client writes
// X.msi before X.pending, so an X.msi is missing beside a listed X.pending only when both were
// written while the first listing was read, and then it is in the second, which is read after
// the first is complete.
struct DropListing {
  FolderListing first;
  FolderListing second;
  bool secondRead = false;

  void Forget(const Str& name) {
    first.Forget(name);
    if (secondRead) second.Forget(name);
  }
};

bool PackageIsThere(const HeldFolder& drop, DropListing& files, const PackageNames& names) {
  if (files.first.Has(names.installer)) return true;
  if (!files.secondRead) {
    files.second.Read(drop);
    files.secondRead = true;
  }
  return files.second.Has(names.installer);
}

// Checks, copies and starts the announced package; the code of how far it got. `copy` is the
// copy in the update folder once there is one.
ResultCode CheckCopyAndStart(const HeldFolder& drop, bool packageThere, const PackageNames& names,
                             const Str& updateFolder, HeldPackage& package, Str* copy, bool* started) {
  if (!packageThere) return ResultNoPackage;
  // Held from here on: nobody can write, rename or delete the package while it is checked and
  // copied. Links and reparse points are refused: they may lead to files the user cannot touch.
  if (!package.Open(drop, names.installer)) {
    // One that went after the listing is no package either.
    DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ResultNoPackage : ResultNotMoved;
  }
  if (!Trusted(package.Path())) return ResultUntrusted;
  if (!SignedByMaker(package.Path())) return ResultSignerFailed;
  *copy = MoveToUpdateFolder(updateFolder, package);
  if (copy->IsEmpty()) return ResultNotMoved;
  // The dropped package leaves the drop folder; only the copy goes on.
  if (!package.Delete()) drop.CreateEmptyFile(names.marker);
  // Only the second check, on the copy in the protected folder, decides.
  if (!Trusted(*copy)) return ResultMovedUntrusted;
  if (!SignedByMaker(*copy)) return ResultMovedSignerFailed;
  Str msiexec = FindSystemInstaller();
  if (msiexec.IsEmpty()) return ResultNoInstaller;
  // Recorded once the copy has passed both checks, just before the installer gets it; an
  // installer that does not start leaves the record as it was, since the copy is deleted again.
  Str previous = InstallerRecord();
  WriteRegistryText(Str(kSetupsKey), Str(), Str(kUpdateInstallerValue), *copy);
  *started = StartInstaller(msiexec, InstallerCommand(msiexec, *copy));
  if (!*started) RestoreInstallerRecord(previous);
  return *started ? ResultStarted : ResultNotStarted;
}

// A package that was not started leaves the folder it is in; what cannot be deleted gets a
// marker beside it for a later pass.
void RemoveRejected(const HeldFolder& drop, DropListing& dropFiles, bool packageThere, const HeldFolder& update,
                    const PackageNames& names, const Str& copy, HeldPackage& package) {
  if (!copy.IsEmpty()) {
    if (!update.DeleteEntry(FileNameOf(copy))) update.CreateEmptyFile(names.marker);
    ForgetInstallerRecord(copy);
    return;
  }
  // A package that was never there counts as not deleted: its marker goes on the next pass.
  bool removed = packageThere && (package.IsOpen() ? package.Delete() : drop.DeleteEntry(names.installer));
  if (removed) {
    dropFiles.Forget(names.installer);
    return;
  }
  drop.CreateEmptyFile(names.marker);
}

void ProcessPackage(const HeldFolder& drop, DropListing& dropFiles, const HeldFolder& update, const Str& pending) {
  PackageNames names;
  if (!NamePackage(pending, update.Path(), &names)) {
    // A name the path grammar refuses (a device name such as NUL, one too long for its result)
    // can be neither checked nor answered. Its announcement is removed through the held folder,
    // where the name reaches the file itself and never a device, so that it is not taken up
    // again on every pass; nothing else is touched.
    drop.DeleteEntry(pending);
    TraceResult(ResultNoPackage);
    return;
  }
  HeldPackage package;
  Str copy;
  bool started = false;
  const bool packageThere = PackageIsThere(drop, dropFiles, names);
  ResultCode code = CheckCopyAndStart(drop, packageThere, names, update.Path(), package, &copy, &started);
  if (started) dropFiles.Forget(names.installer);
  else RemoveRejected(drop, dropFiles, packageThere, update, names, copy, package);
  package.Close();
  drop.DeleteEntry(names.pending);
  dropFiles.Forget(names.pending);
  TraceResult(code);
  WriteResultFile(names.resultPath, started, code);
}

void TraceNotRemoved(const Str& installer) {
  DWORD error = ::GetLastError();
  Str text = GetErrorText(error, nullptr, nullptr, false, LANG_NEUTRAL, SUBLANG_DEFAULT);
  TraceText line("ExecuteServiceStep: Could not remove installer file [%s]: %s", installer.c_str(), text.c_str());
  TraceAssert(TraceAreaDefault, TraceError, kTraceSource, kCleanupTraceLine, line.c_str());
}

// Removes the packages the markers of `folder` name, and then the markers. A package that was not
// there when the folder was listed is not the one a marker was left for, and neither is one that
// is announced again (X.pending beside it, also one written since the listing): the marker goes
// and the package stays for the pass.
void CleanUp(const HeldFolder& folder, FolderListing& files) {
  for (uint32_t i = 0; i < files.Count(); ++i) {
    Str marker = files.NameAt(i);
    if (!HasSuffix(marker, ".removepending") || !files.Has(marker)) continue;
    // Markers are files any user may add: a folder full of them must not hold a stop either.
    if (StopRequested()) return;
    Str base = BaseNameOf(marker);
    Str installer = WithExtension(base, ".msi");
    Str pending = WithExtension(base, ".pending");
    bool removed = false;
    if (!files.Has(installer) || files.Has(pending) || folder.HasFile(pending)) {
      removed = true;
    } else if (folder.DeleteEntry(installer)) {
      files.Forget(installer);
      removed = true;
    }
    if (!removed) {
      TraceNotRemoved(PlainJoin(folder.Path(), installer));
      continue;
    }
    folder.DeleteEntry(marker);
    files.Forget(marker);
  }
}

// A temporary copy is this process's own file, open without sharing until it is renamed or
// deleted: one that can be deleted now was left by a service that ended while it copied.
void RemoveStaleCopies(const HeldFolder& update, FolderListing& files) {
  for (uint32_t i = 0; i < files.Count(); ++i) {
    Str name = files.NameAt(i);
    if (HasSuffix(name, kCopyingSuffix) && files.Has(name) && update.DeleteEntry(name)) files.Forget(name);
  }
}

// Makes the folder with the protection `sddl` when it is missing; an existing folder keeps its
// own. False when it is neither there nor can be made.
bool MakeProtectedFolder(const Str& path, const char* sddl) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &raw, nullptr)) return false;
  LocalMemory descriptor(raw);
  return MakeDirectory(path, true, raw);
}

// Holds the drop folder for the pass and reports a state an administrator should know of.
bool HoldDropFolder(const Str& path, HeldFolder* drop) {
  MakeProtectedFolder(path, kDropFolderSecurity);
  bool held = drop->Open(path);
  bool reparsePoint = !held && ::GetLastError() == ERROR_CANT_ACCESS_FILE;
  LocalMemory descriptor;
  PSID owner = nullptr;
  if (held) drop->ReadOwner(&descriptor, &owner);
  NoteDropFolderState(path, reparsePoint, owner);
  return held;
}

}  // namespace

Str ResultLine(bool started, ResultCode code) {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  return ResultLineAt(started, code, now);
}

Str ResultLineAt(bool started, ResultCode code, const SYSTEMTIME& at) {
  Str stamp;
  FormatIsoDateTime(at.wYear, at.wMonth, at.wDay, at.wHour, at.wMinute, at.wSecond, nullptr, nullptr, stamp);
  Str line;
  StrFormat(line, "%u|%s: %u", started ? 1u : 0u, stamp.c_str(), static_cast<unsigned>(code));
  return line;
}

void ExecuteServiceStep(const Str& folder) {
  HeldFolder held;
  FolderListing files;
  if (held.Open(folder) && files.Read(held)) CleanUp(held, files);
}

Str MoveToUpdateFolder(const Str& updateFolder, const HeldPackage& package) {
  if (updateFolder.IsEmpty() || !package.IsOpen()) return Str();
  // The copy is a new file of this service in the protected folder, secured through its own
  // handle before it gets its name: a rename would keep the dropped file's owner, its ACL and
  // every handle a user opened on it.
  return CopyIntoFolder(package, updateFolder, package.Name());
}

void SetUpdatePassStopCheck(bool (*stopRequested)()) { s_stopRequested = stopRequested; }

void SetUpdatePassChecks(const UpdatePassChecks& checks) { s_checks = checks; }

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
  if (!updateFolder.IsEmpty() && !MakeProtectedFolder(updateFolder, kUpdateFolderSecurity)) updateFolder = Str();
  Str dropFolder = DropFolderPath();
  if (dropFolder.IsEmpty() || updateFolder.IsEmpty()) return false;
  // Only administrators can change the update folder; one they made a junction is followed.
  HeldFolder update;
  if (!update.OpenFollowingLinks(updateFolder)) return false;

  // The drop folder is held for the whole pass and every file in it is reached through that
  // handle, so that it cannot be swapped for a junction or mount point that would lead
  // deletions, markers and opens elsewhere; one that is a reparse point already is not worked on.
  // One listing of each folder per pass: every "is X there" of the pass is answered from it.
  HeldFolder drop;
  DropListing dropFiles;
  bool dropUsable = HoldDropFolder(dropFolder, &drop) && dropFiles.first.Read(drop);
  if (dropUsable) CleanUp(drop, dropFiles.first);
  FolderListing updateFiles;
  if (updateFiles.Read(update)) {
    CleanUp(update, updateFiles);
    RemoveStaleCopies(update, updateFiles);
  }
  if (!dropUsable) return true;

  for (uint32_t i = 0; i < dropFiles.first.Count(); ++i) {
    Str name = dropFiles.first.NameAt(i);
    if (!HasSuffix(name, ".pending") || !dropFiles.first.Has(name)) continue;
    // A stop request is served before the next package, not after the whole list: a user who
    // fills the folder must not keep the service from stopping.
    if (StopRequested()) break;
    // A folder that became a reparse point, or whose path leads elsewhere now, is left alone:
    // the next pass looks at it afresh.
    if (!drop.IsIntact()) break;
    ProcessPackage(drop, dropFiles, update, name);
  }
  return true;
}
