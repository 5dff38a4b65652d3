// A file written through a memory mapping: open (create or truncate), append, close. The file
// ends exactly after the last byte appended.
#pragma once

#include "handles.h"
#include "str.h"

#include <cstddef>
#include <cstdint>

class MappedFile {
 public:
  MappedFile() noexcept = default;
  ~MappedFile() { Close(); }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Creates or truncates the file (closing a file this object held before). A file that is
  // briefly held by another process (a scanner, an indexer) is tried again a few times.
  bool OpenForWriting(const Str& path);
  // Appends the bytes, growing the mapping by at least 512 KiB when it is too small. Failures
  // are reported (events 200, 205, 211 of source "QELGUI") and answer false; the bytes appended
  // before stay.
  bool Append(const void* bytes, size_t count);
  // Appends the text with every carriage return dropped and every line feed written as
  // carriage return and line feed; nothing else is added.
  bool WriteText(const Str& text);
  // Unmaps, cuts the file to the bytes appended and closes it. True when all of that succeeded
  // (also when nothing was open).
  bool Close();

  bool IsOpen() const noexcept { return file_.IsValid(); }
  uint64_t Length() const noexcept { return used_; }

 private:
  bool Remap(uint64_t size, size_t count);

  FileHandle file_;
  KernelHandle mapping_;
  MappedView view_;
  uint64_t used_ = 0;      // bytes appended
  uint64_t mapped_ = 0;    // size of the current mapping (0 when there is none)
  uint64_t fileSize_ = 0;  // size the file has on disk (the largest mapping made)
};
