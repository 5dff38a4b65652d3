// Files of the drop folder, which every local user can write, handled so that such a user
// cannot redirect what this LocalSystem service deletes, creates, re-secures or installs:
// nothing here follows a symbolic link, junction or other reparse point, and a package is
// checked and copied through one handle that no other process can write through.
#pragma once

#include "handles.h"
#include "str.h"

// A folder held open for one pass. While held it cannot be renamed, deleted or replaced by a
// junction (it is opened without delete sharing), so paths below it keep naming what they
// named when it was opened.
class HeldFolder {
 public:
  // False when the folder is missing, or is itself a reparse point (a junction or a link
  // planted in its place), with the Windows error set (ERROR_CANT_ACCESS_FILE for the latter).
  bool Open(const Str& path);
  bool IsOpen() const { return handle_.IsValid(); }

 private:
  FileHandle handle_;
};

// A package held for one pass: opened without following reparse points, for reading and
// deletion, sharing only reading, so that nobody can write, rename or delete it while the
// service checks and copies it. A writer that opened it earlier makes the open fail.
class HeldPackage {
 public:
  // False for a directory, a reparse point or a file with more than one name (a hard link
  // that may lead to a file the user cannot touch), with ERROR_CANT_ACCESS_FILE; or with the
  // error of the open (sharing violation, not found).
  bool Open(const Str& path);
  bool IsOpen() const { return file_.IsValid(); }
  HANDLE Get() const { return file_.Get(); }
  // Deletes the held file through its handle (read-only attribute cleared first); the name
  // goes when the handle closes.
  bool Delete();
  void Close() { file_.Reset(); }

 private:
  FileHandle file_;
};

// Deletes the file or link named by `path` itself, never what a link points to.
bool DeleteNoFollow(const Str& path);
// Creates the empty file `path`; something already there of that name (also a link) is left
// alone and counts as made only when it is a plain file.
bool CreateMarkerNoFollow(const Str& path);
// Copies the held package into a new file that this process creates in `folder`, resets its
// security through that file's handle (owner and group BUILTIN\Administrators, an empty DACL
// that is not protected, so that only the folder's inherited entries apply) and names it
// `name`, replacing an older file of that name. The new path, or empty (nothing left behind).
Str CopyIntoFolder(const HeldPackage& package, const Str& folder, const Str& name);
