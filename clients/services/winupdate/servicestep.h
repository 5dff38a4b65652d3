// One update pass over the drop folder: every announced package is checked, moved into the
// protected update folder, checked again, recorded and handed to the Windows installer, and
// answered with a result file.
#pragma once

#include "str.h"
#include "win.h"

#include <cstdint>

// How far a package got; the client reads it from X.result.
enum ResultCode : uint32_t {
  ResultStarted = 0,            // the installer process was started
  ResultNotStarted = 1,         // the installer process could not be started
  ResultMovedSignerFailed = 2,  // the moved package is trusted but not signed by the maker
  ResultMovedUntrusted = 3,     // the moved package failed the Authenticode check
  ResultNotMoved = 4,           // not moved into the update folder, or its security not reset
  ResultSignerFailed = 5,       // the dropped package is not signed by the maker
  ResultUntrusted = 6,          // the dropped package failed the Authenticode check
  ResultNoPackage = 7,          // no file X.msi beside X.pending
  ResultNoInstaller = 8,        // no msiexec.exe inside the Windows system folder
};

// A policy value: the key path and the value name.
struct PolicySetting {
  const char* keyPath;
  const char* valueName;
};

// The folder the client drops packages into (common application data + "vennacor.plugin",
// + "Cloud" for the other product variant) and the protected folder packages are installed
// from (program files + "Vennacor" + "Update"). Names only; empty when they cannot be formed.
Str DropFolderPath();
Str UpdateFolderPath();

// Runs one pass; false when the pass ended before any package was looked at (updates off by
// policy, or a folder that cannot be named).
bool UpdateStep();
// Removes the packages that X.removepending markers in `folder` name, and then the markers.
void ExecuteServiceStep(const Str& folder);
class HeldPackage;
// Brings the held `package` into `updateFolder` as a copy that this service creates and secures
// there. The new path, or empty. The dropped package stays as it is: its holder removes it.
Str MoveToUpdateFolder(const Str& updateFolder, const HeldPackage& package);
// The service tells the pass how to learn of a stop request; the pass asks before each package.
void SetUpdatePassStopCheck(bool (*stopRequested)());
// The checks the pass makes on a package (on the dropped file first, then on its copy in the
// update folder) and the launcher that starts the installer. The service uses the real ones
// (VerifyFileTrust, CheckInstallerSigner, RunProgramShown); a test may put in its own to reach
// outcomes that real packages cannot give, such as a copy that fails its second check or an
// installer that does not start. A member left null means the real one.
struct UpdatePassChecks {
  bool (*verifyFileTrust)(const wchar_t* path) = nullptr;
  bool (*checkInstallerSigner)(const Str& path) = nullptr;
  bool (*startInstaller)(const Str& application, const Str& commandLine) = nullptr;
};
void SetUpdatePassChecks(const UpdatePassChecks& checks);
// The one line of X.result: "%u|%s: %u" of the started flag, the local time and the code.
Str ResultLine(bool started, ResultCode code);
// The same line for the time `at` ("YYYY-MM-DDThh:mm:ss", local wall-clock time).
Str ResultLineAt(bool started, ResultCode code, const SYSTEMTIME& at);
