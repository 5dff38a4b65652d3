// Thin, failure-tolerant wrappers around the Windows file calls. Paths are UTF-8 and are handed
// to Windows as they stand (no long-path prefix is added). Every operation answers true/false
// (or an empty result) and leaves the Windows error in the thread's last-error value.
#pragma once

#include "array.h"
#include "str.h"
#include "win.h"

#include <cstdint>

// GetFileAttributesW succeeds and the directory attribute is clear / set.
bool FileExists(const Str& path);
bool DirectoryExists(const Str& path);

// CreateDirectoryW; a directory that is already there counts as made (the call's error stays
// set) and keeps its security. With `withParents`, missing parents are made first (with the
// default security). `security`, when given, is the security of `path` itself if this call
// makes it; without it the new directory inherits from its parent.
bool MakeDirectory(const Str& path, bool withParents, PSECURITY_DESCRIPTOR security = nullptr);

// Creates the file, or truncates an existing one, to 0 bytes.
bool CreateEmptyFile(const Str& path);

// DeleteFileW. With `clearReadOnly`, a file that is not there counts as deleted and a read-only
// file loses that attribute first; without it a missing file is a failure.
bool RemoveFile(const Str& path, bool clearReadOnly);

// Moves (renames, or copies and deletes across volumes) `source` to `target`, replacing an
// existing target unless `failIfExists`.
bool MoveFileTo(const Str& source, const Str& target, bool failIfExists);

// Copies `source` to `target`. When the copy is refused (ERROR_ACCESS_DENIED) over an existing
// target on a drive too full for the source, the error is ERROR_DISK_FULL instead.
bool CopyFileTo(const Str& source, const Str& target, bool failIfExists, LPPROGRESS_ROUTINE progress = nullptr,
                void* progressContext = nullptr);

// The size of the file; 0 when it cannot be opened.
uint64_t FileSizeOf(const Str& path);

// A list of paths: a counted array of Str buffers.
class PathList {
 public:
  uint32_t Length() const noexcept { return items_.Length(); }
  bool IsEmpty() const noexcept { return items_.IsEmpty(); }
  Str operator[](uint32_t index) const;
  void Push(const Str& path);

  struct Elements {
    static void Link(StrHeader* header) noexcept;
    static void Unlink(StrHeader* header) noexcept;
  };

 private:
  CountedArray<StrHeader*, Elements> items_;
};

// The files (not directories, not "." and "..") in `directory` that match the wildcard
// `pattern`, as directory + "\" + name, in the order Windows returns them. A missing directory
// or no match gives an empty list and no error. The list is complete before the caller sees it.
PathList ListFiles(const Str& directory, const Str& pattern);

// The full path of a program: SearchPathW (with ".exe" as the default extension), then the
// "App Paths" registration of its file name. Empty when neither names an existing file.
Str FindExecutable(const Str& name);
