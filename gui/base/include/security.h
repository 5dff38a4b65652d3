// Security of objects that processes of several users and integrity levels share.
#pragma once

#include "str.h"
#include "win.h"

#include <cstdint>

// Integrity levels of SetIntegrityLabel.
enum IntegrityLevel : uint32_t {
  IntegrityLow = 0,         // "LW"
  IntegrityMedium = 1,      // "ME"
  IntegrityMediumPlus = 2,  // "MP"
  IntegrityHigh = 3,        // "HI"
  IntegritySystem = 4,      // "SI"
};

// Full access for a user, LocalSystem and Administrators; the restricted access for Everyone
// (synchronize, read control, delete, read/write/append data, extended attributes, execute,
// attributes).
constexpr DWORD ProtectFullAccess = 0x1FFFFF;
constexpr DWORD ProtectEveryoneAccess = 0x1301BF;

// Replaces owner, group and DACL of `object` (or of the file or folder `path` when `object` is
// null) so that the calling thread's user (owner and group), the process user, and with
// `wellKnownGroups` LocalSystem, Administrators and (restricted) Everyone may use it; with
// `wellKnownGroups` the object is first labelled low integrity (a failed label is ignored).
// `inheritable` makes every entry inherit to child objects and containers. The handle needs
// WRITE_OWNER and WRITE_DAC. False with the Windows error on failure; the object is then left
// as far as it was changed.
bool ProtectObjectForUsers(HANDLE object, const Str& path, bool inheritable, bool wellKnownGroups);

// Gives `object` (or the file `path` when `object` is null) a mandatory label of `level` with
// the no-write-up policy. False with the Windows error on failure (ERROR_INVALID_PARAMETER for
// a level above IntegritySystem or neither object nor path).
bool SetIntegrityLabel(HANDLE object, const Str& path, uint32_t level);
