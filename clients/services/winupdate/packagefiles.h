// Files of the drop folder, which every local user can write, handled so that such a user
// cannot redirect what this LocalSystem service deletes, creates, re-secures or installs: the
// folder is held open for the pass and every file in it is reached by its name relative to that
// handle, nothing follows a symbolic link, junction or other reparse point, and a package is
// checked and copied through one handle that no other process can write through.
#pragma once

#include "files.h"
#include "handles.h"
#include "str.h"

#include <cstdint>
#include <vector>

class HeldFolder;

// One listing of a held folder's files, read once per pass. The pass asks it whether a name is
// there instead of looking each name up in the folder: under Wine every lookup of a name that is
// not there reads the whole folder, which made a pass over N announcements grow with N squared.
// Names compare as the file system compares them: ordinally, without regard to letter case.
class FolderListing {
 public:
  // The files (not folders) of `folder`, read through its handle; false with the Windows error
  // when the folder cannot be read (the listing is then empty).
  bool Read(const HeldFolder& folder);
  uint32_t Count() const { return static_cast<uint32_t>(entries_.size()); }
  // The names in the order the file system returned them, also those forgotten since.
  const Str& NameAt(uint32_t index) const { return entries_[index].name; }
  // Listed, and not forgotten since.
  bool Has(const Str& name) const;
  // The pass removed the entry.
  void Forget(const Str& name);

 private:
  struct Entry {
    Str name;
    WStr key;
    bool gone;
  };
  int64_t Find(const Str& name) const;
  std::vector<Entry> entries_;
  std::vector<uint32_t> sorted_;  // indices into entries_, in name order
};

// A folder held open for one pass, and the only way the pass reaches the files in it. While
// held it cannot be renamed or deleted (it is opened without delete sharing). Every operation
// below names one component relative to the handle, so a junction, mount point or link to an
// object-manager directory put in the folder's place cannot redirect it (see relativefiles.h).
class HeldFolder {
 public:
  // Holds the folder itself. False when it is missing, or is itself a reparse point (a junction
  // or a link planted in its place), with the Windows error set (ERROR_CANT_ACCESS_FILE for the
  // latter).
  bool Open(const Str& path);
  // Holds what `path` leads to, through links: for a folder that only administrators can change
  // (the update folder), which an administrator may have made a junction on purpose.
  bool OpenFollowingLinks(const Str& path);
  bool IsOpen() const { return handle_.IsValid(); }
  HANDLE Get() const { return handle_.Get(); }
  const Str& Path() const { return path_; }

  // True while the held folder is not a reparse point and its path still leads to it. Checked
  // before each package: a folder that changed under the pass is not worked on any further.
  bool IsIntact() const;
  // The names of the files (not folders) in the held folder, read through the handle, in the
  // order the file system returns them. False with the Windows error when it cannot be read.
  bool ListFileNames(PathList* names) const;
  // A file, link or reparse point that is not a folder is there under `name`.
  bool HasFile(const Str& name) const;
  // Deletes the entry `name` itself (also a link or a junction), never what it points to, and
  // never a real folder (ERROR_ACCESS_DENIED). The read-only attribute does not stop it.
  bool DeleteEntry(const Str& name) const;
  // Creates the empty file `name` (a marker); something already there under that name (also a
  // link) is left alone and counts as made only when it is a plain file.
  bool CreateEmptyFile(const Str& name) const;
  // The owner of the held folder, in `descriptor`'s memory; false when the system reports none.
  bool ReadOwner(LocalMemory* descriptor, PSID* owner) const;

 private:
  bool Hold(const Str& path, DWORD flags);
  FileHandle handle_;
  Str path_;
  uint64_t index_ = 0;  // the held folder's file index, to know it again under its path
};

// A package held for one pass: opened relative to its held folder, without following reparse
// points, for reading, sharing only reading, so that nobody can write, rename or delete it while
// the service checks and copies it. A writer that opened it earlier makes the open fail.
class HeldPackage {
 public:
  // False for a folder, a reparse point or a file with more than one name (a hard link that may
  // lead to a file the user cannot touch), with ERROR_CANT_ACCESS_FILE; or with the error of the
  // open (sharing violation, not found). `folder` must stay open while the package is held.
  bool Open(const HeldFolder& folder, const Str& name);
  bool IsOpen() const { return file_.IsValid(); }
  HANDLE Get() const { return file_.Get(); }
  // The package's full path (for the checks that take a path) and its file name.
  const Str& Path() const { return path_; }
  const Str& Name() const { return name_; }
  // Releases the file and deletes its entry in the held folder without following a link.
  bool Delete();
  void Close() { file_.Reset(); }

 private:
  FileHandle file_;
  const HeldFolder* folder_ = nullptr;
  Str name_;
  Str path_;
};

// Copies the held package into a new file that this process creates in `folder`, resets its
// security through that file's handle (owner and group BUILTIN\Administrators, an empty DACL
// that is not protected, so that only the folder's inherited entries apply) and names it
// `name`, replacing an older file of that name. The new path, or empty (nothing left behind).
Str CopyIntoFolder(const HeldPackage& package, const Str& folder, const Str& name);
// The name ending of the temporary copies CopyIntoFolder makes: one that is left in the folder
// was left by a process that ended while it copied.
inline constexpr char kCopyingSuffix[] = ".copying";
