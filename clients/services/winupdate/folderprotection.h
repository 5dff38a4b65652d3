// The protection of the two folders of the update service, as security descriptor texts (SDDL).
// The service gives them to a folder it creates; whatever else creates the folders (an installer
// package) should give them the same. Both DACLs are protected: nothing is inherited from the
// parent folder, so a parent that grants more does not reach in.
#pragma once

// The drop folder (common application data\vennacor.plugin), where unprivileged clients leave
// packages for the LocalSystem service:
//  - SYSTEM and Administrators: full control of the folder and of everything in it;
//  - Users, on the folder itself (0x1200AB): list, add files, traverse, read attributes and
//    extended attributes, read the security, synchronize; no deletion of the folder, no
//    attribute, security or owner change, no subfolders, no deletion of other users' files;
//  - Users, on files (inherit-only): read (FR);
//  - the creator of a file (CREATOR OWNER, inherit-only, 0x1301BF): read, write, append,
//    attributes and extended attributes, execute, delete, read the security, synchronize;
//    the file's owner keeps the owner's right to change its DACL, but no one gets WRITE_OWNER.
// A reparse point on the folder needs FILE_WRITE_DATA or FILE_WRITE_ATTRIBUTES on it, and on a
// folder FILE_WRITE_DATA is FILE_ADD_FILE, which users need to drop packages: an empty drop
// folder can still be made a mount point by any user. The service therefore never follows the
// folder's path during a pass (every file is opened relative to its held handle) and refuses a
// folder that is a reparse point when the pass begins.
inline constexpr char kDropFolderSecurity[] =
    "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200ab;;;BU)(A;OIIO;FR;;;BU)(A;OIIO;0x1301bf;;;CO)";

// The update folder (program files\Vennacor\Update), which holds the service's own copies of
// the packages and the result files: SYSTEM and Administrators full control, Users read and
// execute (0x1200A9: read data, extended attributes and attributes, list, traverse, execute,
// read the security, synchronize), each inherited by files and folders below.
inline constexpr char kUpdateFolderSecurity[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
