// Files reached by one name inside an open folder handle (NtCreateFile with the handle as the
// root directory). The file system resolves the name inside the folder the handle holds, never
// through the folder's path: a junction, mount point or object-manager link put in the folder's
// place after it was opened cannot lead such an open elsewhere, and the name reaches the file of
// exactly that name (the Win32 path rules, which turn "NUL.txt" into a device and strip trailing
// dots and blanks, do not apply).
#pragma once

#include "handles.h"
#include "str.h"

#include <cstdint>

enum class RelativeOpen : uint32_t {
  Existing,  // fails when the name is not there
  New,       // fails when the name is there (also a link of that name, which is not followed)
};

// What the file under the name is allowed to be.
enum class RelativeKind : uint32_t {
  Any,      // a file, a folder or a reparse point of either kind
  File,     // not a folder (a file, or a link or reparse point that is not a folder)
};

// Opens or creates `name` in `folder` with the given access and sharing, for synchronous use.
// `name` is one component taken literally: it may not hold a separator or a colon, nor be "."
// or ".." (ERROR_INVALID_NAME), but a name that a Win32 path would turn into a device (NUL.txt)
// or trim (a trailing dot or blank) names the file of exactly that name here. A link or other
// reparse point under the name is opened itself, never followed; where the system supports it
// the open also refuses to reparse at all (OBJ_DONT_REPARSE). An invalid handle with the
// Windows error on failure.
FileHandle OpenRelative(HANDLE folder, const Str& name, DWORD access, DWORD share, RelativeOpen how,
                        RelativeKind kind);

// A new handle to the folder `folder` holds, opened through it (an empty name relative to it),
// never through a path: for a listing of its own. Under Wine a handle lists a folder as it was at
// the handle's first listing, also when the listing is restarted. An invalid handle with the
// Windows error on failure.
FileHandle ReopenFolder(HANDLE folder, DWORD access);

// The file index of an open file (NtQueryInformationFile, FileInternalInformation): the number
// that tells files of one volume apart. GetFileInformationByHandle gives it too, but also reads
// the volume's serial number, which under Wine is a request to the mount manager that costs
// milliseconds. False with the Windows error.
bool FileIndexOf(HANDLE file, uint64_t* index);

// True while the system accepts OBJ_DONT_REPARSE; false after it refused it once (Windows
// before 10), from when on relative opens rely on FILE_OPEN_REPARSE_POINT alone.
bool RelativeOpensRefuseReparse();
