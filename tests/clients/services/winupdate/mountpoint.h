// Mount points (junctions) made by a test, as any user who may write to an empty folder can
// make one: FSCTL_SET_REPARSE_POINT accepts a folder handle with FILE_WRITE_DATA, which on a
// folder is FILE_ADD_FILE. Windows only: Wine 8 has no reparse points.
#pragma once

#include "handles.h"
#include "win.h"

#include <winioctl.h>

#include <string>

namespace mountpoint {

// REPARSE_DATA_BUFFER of a mount point (ntifs.h).
struct Buffer {
  DWORD tag;
  WORD dataLength;
  WORD reserved;
  WORD substituteOffset;
  WORD substituteLength;
  WORD printOffset;
  WORD printLength;
  wchar_t names[2 * MAX_PATH + 8];
};

// Makes the empty folder `folder` lead to `target` (a full path).
inline bool Make(const std::wstring& folder, const std::wstring& target) {
  FileHandle handle(::CreateFileW(folder.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) return false;
  const std::wstring substitute = L"\\??\\" + target + L"\\";
  if (substitute.size() + target.size() + 2 > sizeof(Buffer::names) / sizeof(wchar_t)) return false;
  Buffer buffer = {};
  buffer.tag = IO_REPARSE_TAG_MOUNT_POINT;
  buffer.substituteLength = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
  buffer.printOffset = static_cast<WORD>((substitute.size() + 1) * sizeof(wchar_t));
  buffer.printLength = static_cast<WORD>(target.size() * sizeof(wchar_t));
  substitute.copy(buffer.names, substitute.size());
  target.copy(buffer.names + substitute.size() + 1, target.size());
  buffer.dataLength =
      static_cast<WORD>(4 * sizeof(WORD) + (substitute.size() + target.size() + 2) * sizeof(wchar_t));
  DWORD returned = 0;
  return ::DeviceIoControl(handle.Get(), FSCTL_SET_REPARSE_POINT, &buffer, buffer.dataLength + 8u, nullptr, 0,
                           &returned, nullptr) != FALSE;
}

// Makes `folder` a plain empty folder again.
inline bool Remove(const std::wstring& folder) {
  FileHandle handle(::CreateFileW(folder.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) return false;
  REPARSE_GUID_DATA_BUFFER remove = {};
  remove.ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
  DWORD returned = 0;
  return ::DeviceIoControl(handle.Get(), FSCTL_DELETE_REPARSE_POINT, &remove, REPARSE_GUID_DATA_BUFFER_HEADER_SIZE,
                           nullptr, 0, &returned, nullptr) != FALSE;
}

}  // namespace mountpoint
