// File operations: existence tests, directory creation, empty files, deletion, move and copy
// with their fallbacks, file size.
#include "files.h"

#include "handles.h"
#include "paths.h"
#include "widetext.h"

#include <cwchar>

namespace {

// The errors with which Windows answers when a name is taken or held by someone else.
bool IsContentionError(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case ERROR_USER_MAPPED_FILE:
      return true;
    default:
      return false;
  }
}

bool IsNotFoundError(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

DWORD Attributes(const Str& path) {
  WStr wide;
  if (!ToWide(path, &wide)) return INVALID_FILE_ATTRIBUTES;
  return ::GetFileAttributesW(wide.c_str());
}

enum class MakeOutcome { Made, Missing, Failed };

// One CreateDirectoryW, with `security` for a directory it makes (null: the default, inherited
// from the parent). Missing: the directory is not there and may need its parents.
MakeOutcome MakeOneDirectory(const Str& path, PSECURITY_DESCRIPTOR security = nullptr) {
  WStr wide;
  if (!ToWide(path, &wide)) return MakeOutcome::Failed;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, security, FALSE};
  if (::CreateDirectoryW(wide.c_str(), security ? &attributes : nullptr)) return MakeOutcome::Made;
  DWORD error = ::GetLastError();
  if (IsContentionError(error)) {
    // Another process may have made it meanwhile, or it was there all along (a drive root
    // answers ERROR_ACCESS_DENIED rather than ERROR_ALREADY_EXISTS).
    DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      ::SetLastError(error);
      return MakeOutcome::Made;
    }
    if (attributes == INVALID_FILE_ATTRIBUTES && !IsNotFoundError(::GetLastError())) return MakeOutcome::Failed;
  }
  ::SetLastError(error);
  return MakeOutcome::Missing;
}

// Moves `source` over an existing `target` where MoveFileExW is not available. The target is
// renamed aside rather than deleted first, so that a move that then fails (the source held
// open, say) puts it back instead of losing it.
bool ReplaceByRename(const WStr& source, const WStr& target) {
  wchar_t suffix[40];
  swprintf(suffix, 40, L".%lx.replaced", static_cast<unsigned long>(::GetTickCount()));
  WStr aside = Concat(target, WStr(suffix));
  if (!::MoveFileW(target.c_str(), aside.c_str())) return false;
  if (::MoveFileW(source.c_str(), target.c_str())) {
    ::DeleteFileW(aside.c_str());
    ::SetLastError(ERROR_SUCCESS);
    return true;
  }
  DWORD error = ::GetLastError();
  ::MoveFileW(aside.c_str(), target.c_str());
  ::SetLastError(error);
  return false;
}

}  // namespace

bool FileExists(const Str& path) {
  DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const Str& path) {
  DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeDirectory(const Str& path, bool withParents, PSECURITY_DESCRIPTOR security) {
  MakeOutcome outcome = MakeOneDirectory(path, security);
  if (outcome == MakeOutcome::Made) return true;
  if (!withParents || outcome == MakeOutcome::Failed) return false;

  // Walk up to the deepest ancestor that exists or can be made, then make each level below it
  // on the way back down. Every ancestor is a prefix of `path`, and the walk needs no
  // recursion, however many components the path has.
  DWORD error = ::GetLastError();
  Str made = path;
  for (;;) {
    Str parent = DirectoryOf(made);
    if (parent.IsEmpty() || parent.Length() >= made.Length()) {
      ::SetLastError(error);  // a root is not there: nothing left to make
      return false;
    }
    outcome = MakeOneDirectory(parent);
    if (outcome == MakeOutcome::Failed) return false;
    made = parent;
    if (outcome == MakeOutcome::Made) break;
  }
  const char* text = path.c_str();
  uint32_t length = path.Length();
  uint32_t position = made.Length();
  for (;;) {
    while (position < length && (text[position] == '\\' || text[position] == '/')) ++position;
    while (position < length && text[position] != '\\' && text[position] != '/') ++position;
    if (position >= length) break;
    if (MakeOneDirectory(Left(path, position)) != MakeOutcome::Made) return false;
  }
  return MakeOneDirectory(path, security) == MakeOutcome::Made;
}

bool CreateEmptyFile(const Str& path) {
  WStr wide;
  if (!ToWide(path, &wide)) return false;
  FileHandle file(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return false;
  return ::CloseHandle(file.Take()) != FALSE;
}

bool RemoveFile(const Str& path, bool clearReadOnly) {
  WStr wide;
  if (!ToWide(path, &wide)) return false;
  if (clearReadOnly) {
    DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES && IsNotFoundError(::GetLastError())) return true;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
      // Attributes that SetFileAttributesW cannot set are removed with the read-only bit. When
      // nothing is left the file must be set to FILE_ATTRIBUTE_NORMAL: 0 means "no change" to
      // Windows and would leave the file read-only.
      DWORD kept = attributes & ~DWORD(0x14E51);
      ::SetFileAttributesW(wide.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL);
    }
  }
  return ::DeleteFileW(wide.c_str()) != FALSE;
}

bool MoveFileTo(const Str& source, const Str& target, bool failIfExists) {
  WStr from, to;
  if (!ToWide(source, &from) || !ToWide(target, &to)) return false;
  DWORD flags = MOVEFILE_COPY_ALLOWED | (failIfExists ? 0 : MOVEFILE_REPLACE_EXISTING);
  if (::MoveFileExW(from.c_str(), to.c_str(), flags)) return true;
  if (::GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;

  // Systems without MoveFileExW: rename, replace by hand, or copy across volumes.
  if (::MoveFileW(from.c_str(), to.c_str())) return true;
  DWORD error = ::GetLastError();
  if (IsContentionError(error)) {
    if (failIfExists) return false;
    return ReplaceByRename(from, to);
  }
  if (error != ERROR_NOT_SAME_DEVICE) return false;
  if (!CopyFileTo(source, target, failIfExists)) return false;
  if (RemoveFile(source, true)) return true;
  error = ::GetLastError();
  ::DeleteFileW(to.c_str());
  ::SetLastError(error);
  return false;
}

bool CopyFileTo(const Str& source, const Str& target, bool failIfExists, LPPROGRESS_ROUTINE progress,
                void* progressContext) {
  WStr from, to;
  if (!ToWide(source, &from) || !ToWide(target, &to)) return false;
  BOOL copied = progress ? ::CopyFileExW(from.c_str(), to.c_str(), progress, progressContext, nullptr,
                                         failIfExists ? COPY_FILE_FAIL_IF_EXISTS : 0)
                         : ::CopyFileW(from.c_str(), to.c_str(), failIfExists);
  if (copied) return true;
  DWORD error = ::GetLastError();
  if (error == ERROR_ACCESS_DENIED && !failIfExists && FileExists(target)) {
    // Windows answers a full disk while replacing a file with "access denied"; say what it is.
    ULARGE_INTEGER available = {};
    Str directory = DirectoryOf(NormalizePath(target, true));
    WStr wideDirectory;
    if (!directory.IsEmpty() && ToWide(directory, &wideDirectory) &&
        ::GetDiskFreeSpaceExW(wideDirectory.c_str(), &available, nullptr, nullptr) &&
        available.QuadPart < FileSizeOf(source))
      error = ERROR_DISK_FULL;
  }
  ::SetLastError(error);
  return false;
}

uint64_t FileSizeOf(const Str& path) {
  WStr wide;
  if (!ToWide(path, &wide)) return 0;
  FileHandle file(::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return 0;
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file.Get(), &size)) return 0;
  return static_cast<uint64_t>(size.QuadPart);
}
