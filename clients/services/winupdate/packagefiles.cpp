#include "packagefiles.h"

#include "format.h"
#include "paths.h"
#include "relativefiles.h"

#include <aclapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// FILE_FLAG_BACKUP_SEMANTICS opens folders; FILE_FLAG_OPEN_REPARSE_POINT opens a link or
// junction itself instead of what it points to.
constexpr DWORD kNoFollow = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

// The attributes of an open file. GetFileInformationByHandle gives them too, but it also reads
// the volume's serial number, which under Wine is a request to the mount manager that costs
// milliseconds; the pass asks this of every entry it touches.
bool AttributesOf(HANDLE file, DWORD* attributes) {
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)) {
    *attributes = tag.FileAttributes;
    return true;
  }
  // Without the tag query, the basic attributes still tell.
  FILE_BASIC_INFO basic = {};
  if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) return false;
  *attributes = basic.FileAttributes;
  return true;
}

bool IsReparsePoint(HANDLE file) {
  DWORD attributes = 0;
  return !AttributesOf(file, &attributes) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool IsDirectory(HANDLE file) {
  DWORD attributes = 0;
  return AttributesOf(file, &attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DeleteThroughHandle(HANDLE file) {
  FILE_BASIC_INFO basic = {};
  if (::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
    basic.FileAttributes &= ~DWORD(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
  }
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

// Owner and group BUILTIN\Administrators, an empty DACL that inherits from the folder.
bool ResetSecurity(HANDLE file) {
  alignas(ACL) BYTE aclBuffer[sizeof(ACL)];
  PACL acl = reinterpret_cast<PACL>(aclBuffer);
  if (!::InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION)) return false;
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  AllocatedSid administrators;
  if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, administrators.Receive()))
    return false;
  DWORD status = ::SetSecurityInfo(file, SE_FILE_OBJECT,
                                   OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                       DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                   administrators.Get(), administrators.Get(), acl, nullptr);
  ::SetLastError(status);
  return status == ERROR_SUCCESS;
}

bool CopyContent(HANDLE from, HANDLE to) {
  LARGE_INTEGER start = {};
  if (!::SetFilePointerEx(from, start, nullptr, FILE_BEGIN)) return false;
  static constexpr DWORD kChunk = 64 * 1024;
  HeapMemory block(::HeapAlloc(::GetProcessHeap(), 0, kChunk));
  if (!block) return false;
  BYTE* buffer = static_cast<BYTE*>(block.Get());
  for (;;) {
    DWORD got = 0, written = 0;
    if (!::ReadFile(from, buffer, kChunk, &got, nullptr)) return false;
    if (got == 0) break;
    if (!::WriteFile(to, buffer, got, &written, nullptr) || written != got) return false;
  }
  return ::FlushFileBuffers(to) != FALSE;
}

bool RenameThroughHandle(HANDLE file, const WStr& target) {
  const size_t nameBytes = target.Length() * sizeof(wchar_t);
  const size_t size = sizeof(FILE_RENAME_INFO) + nameBytes;
  HeapMemory block(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size));
  if (!block) return false;
  auto* info = static_cast<FILE_RENAME_INFO*>(block.Get());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(nameBytes);
  memcpy(info->FileName, target.c_str(), nameBytes);
  return ::SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(size)) != FALSE;
}

// Calls `take` with each entry of the folder that is not a folder (also "." and "..", and
// junctions, are left out), in the order the file system returns them.
template <typename Take>
bool ForEachFile(HANDLE folder, Take take) {
  static constexpr DWORD kBufferSize = 64 * 1024;
  HeapMemory block(::HeapAlloc(::GetProcessHeap(), 0, kBufferSize));
  if (!block) return false;
  FILE_INFO_BY_HANDLE_CLASS batch = FileFullDirectoryRestartInfo;
  for (;;) {
    if (!::GetFileInformationByHandleEx(folder, batch, block.Get(), kBufferSize)) {
      DWORD error = ::GetLastError();
      if (error != ERROR_NO_MORE_FILES && error != ERROR_FILE_NOT_FOUND) return false;
      ::SetLastError(ERROR_SUCCESS);
      return true;
    }
    batch = FileFullDirectoryInfo;
    const BYTE* at = static_cast<const BYTE*>(block.Get());
    for (;;) {
      const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
      if (!(entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) take(*entry);
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
}

int CompareNames(const WStr& a, const WStr& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.Length()), b.c_str(), static_cast<int>(b.Length()),
                                TRUE);
}

}  // namespace

bool HeldFolder::Hold(const Str& path, DWORD flags) {
  handle_.Reset();
  path_ = Str();
  WStr wide(path);
  if (wide.IsEmpty()) {
    ::SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  handle_.Reset(::CreateFileW(wide.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL |
                                                SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr));
  if (!handle_) return false;
  if (!IsDirectory(handle_.Get()) || !FileIndexOf(handle_.Get(), &index_)) {
    handle_.Reset();
    ::SetLastError(ERROR_DIRECTORY);
    return false;
  }
  path_ = path;
  return true;
}

bool HeldFolder::Open(const Str& path) {
  if (!Hold(path, kNoFollow)) return false;
  if (IsReparsePoint(handle_.Get())) {
    handle_.Reset();
    path_ = Str();
    ::SetLastError(ERROR_CANT_ACCESS_FILE);
    return false;
  }
  return true;
}

bool HeldFolder::OpenFollowingLinks(const Str& path) { return Hold(path, FILE_FLAG_BACKUP_SEMANTICS); }

bool HeldFolder::IsIntact() const {
  if (!IsOpen()) return false;
  if (IsReparsePoint(handle_.Get())) return false;
  // The same folder must still be found under the path. The file index alone tells: the path
  // could lead to another volume only through a junction or mount point, which is refused.
  FileHandle again(::CreateFileW(WStr(path_).c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 kNoFollow, nullptr));
  uint64_t found = 0;
  return again && !IsReparsePoint(again.Get()) && FileIndexOf(again.Get(), &found) && found == index_;
}

bool HeldFolder::ListFileNames(PathList* names) const {
  if (!IsOpen() || !names) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  FileHandle listing = ReopenFolder(handle_.Get(), FILE_LIST_DIRECTORY | SYNCHRONIZE);
  if (!listing) return false;
  return ForEachFile(listing.Get(), [&](const FILE_FULL_DIR_INFO& entry) {
    Str name = Str::FromUtf16(entry.FileName, static_cast<int>(entry.FileNameLength / sizeof(wchar_t)));
    if (!name.IsEmpty()) names->Push(name);
  });
}

bool FolderListing::Read(const HeldFolder& folder) {
  entries_.clear();
  sorted_.clear();
  if (!folder.IsOpen()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  // Each listing through a handle of its own, opened through the held one (see ReopenFolder).
  FileHandle listing = ReopenFolder(folder.Get(), FILE_LIST_DIRECTORY | SYNCHRONIZE);
  bool read = listing && ForEachFile(listing.Get(), [&](const FILE_FULL_DIR_INFO& entry) {
    const int count = static_cast<int>(entry.FileNameLength / sizeof(wchar_t));
    Str name = Str::FromUtf16(entry.FileName, count);
    if (name.IsEmpty()) return;
    entries_.push_back(Entry{name, WStr(entry.FileName, static_cast<size_t>(count)), false});
  });
  if (!read) {
    DWORD error = ::GetLastError();
    entries_.clear();
    ::SetLastError(error);
    return false;
  }
  sorted_.resize(entries_.size());
  for (uint32_t i = 0; i < sorted_.size(); ++i) sorted_[i] = i;
  std::sort(sorted_.begin(), sorted_.end(),
            [&](uint32_t a, uint32_t b) { return CompareNames(entries_[a].key, entries_[b].key) == CSTR_LESS_THAN; });
  return true;
}

int64_t FolderListing::Find(const Str& name) const {
  WStr key(name);
  if (key.IsEmpty()) return -1;
  auto at = std::lower_bound(sorted_.begin(), sorted_.end(), key, [&](uint32_t index, const WStr& wanted) {
    return CompareNames(entries_[index].key, wanted) == CSTR_LESS_THAN;
  });
  // Under Wine, names that differ only in letter case can both be there; any one of them counts.
  for (; at != sorted_.end() && CompareNames(entries_[*at].key, key) == CSTR_EQUAL; ++at)
    if (!entries_[*at].gone) return *at;
  return -1;
}

bool FolderListing::Has(const Str& name) const { return Find(name) >= 0; }

void FolderListing::Forget(const Str& name) {
  int64_t index = Find(name);
  if (index >= 0) entries_[index].gone = true;
}

bool HeldFolder::HasFile(const Str& name) const {
  FileHandle file = OpenRelative(handle_.Get(), name, FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, RelativeOpen::Existing,
                                 RelativeKind::Any);
  DWORD attributes = 0;
  return file && AttributesOf(file.Get(), &attributes) && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool HeldFolder::DeleteEntry(const Str& name) const {
  FileHandle file = OpenRelative(handle_.Get(), name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, RelativeOpen::Existing,
                                 RelativeKind::Any);
  if (!file) return false;
  DWORD attributes = 0;
  if (AttributesOf(file.Get(), &attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    ::SetLastError(ERROR_ACCESS_DENIED);  // a real folder is never deleted here
    return false;
  }
  return DeleteThroughHandle(file.Get());
}

bool HeldFolder::CreateEmptyFile(const Str& name) const {
  // A new file only: what is already there under the name is never opened for writing, so a
  // link of that name is not followed.
  FileHandle file = OpenRelative(handle_.Get(), name, GENERIC_WRITE, FILE_SHARE_READ, RelativeOpen::New,
                                 RelativeKind::File);
  if (file) return true;
  DWORD error = ::GetLastError();
  if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
  FileHandle existing = OpenRelative(handle_.Get(), name, FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, RelativeOpen::Existing,
                                     RelativeKind::Any);
  DWORD attributes = 0;
  return existing && AttributesOf(existing.Get(), &attributes) &&
         !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

bool HeldFolder::ReadOwner(LocalMemory* descriptor, PSID* owner) const {
  *owner = nullptr;
  if (!IsOpen()) return false;
  PSECURITY_DESCRIPTOR raw = nullptr;
  DWORD status = ::GetSecurityInfo(handle_.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr, nullptr,
                                   nullptr, &raw);
  descriptor->Reset(raw);
  if (status != ERROR_SUCCESS) {
    *owner = nullptr;
    ::SetLastError(status);
    return false;
  }
  return *owner != nullptr && ::IsValidSid(*owner);
}

bool HeldPackage::Open(const HeldFolder& folder, const Str& name) {
  // Read access only: the trust provider and the installer open the file by name sharing only
  // reading, which a handle with delete access would refuse.
  file_ = OpenRelative(folder.Get(), name, GENERIC_READ, FILE_SHARE_READ, RelativeOpen::Existing, RelativeKind::Any);
  if (!file_) return false;
  folder_ = &folder;
  name_ = name;
  path_ = JoinFilePath(folder.Path(), name);
  FILE_STANDARD_INFO standard = {};
  if (path_.IsEmpty() || !::GetFileInformationByHandleEx(file_.Get(), FileStandardInfo, &standard, sizeof standard) ||
      standard.Directory || IsReparsePoint(file_.Get()) || standard.NumberOfLinks != 1) {
    file_.Reset();
    ::SetLastError(ERROR_CANT_ACCESS_FILE);
    return false;
  }
  return true;
}

bool HeldPackage::Delete() {
  if (!folder_ || name_.IsEmpty()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  // Whatever a user puts under the name once the handle is closed, the deletion acts only on
  // that entry of the held drop folder, never through a link.
  file_.Reset();
  return folder_->DeleteEntry(name_);
}

Str CopyIntoFolder(const HeldPackage& package, const Str& folder, const Str& name) {
  Str target = JoinFilePath(folder, name);
  if (!package.IsOpen() || target.IsEmpty()) return Str();
  // A fresh name that nobody else can have opened: the copy is this process's own file.
  Str unique;
  // Without its suffix the temporary name would be the target's own.
  if (!StrFormat(unique, ".%lu-%lu%s", ::GetCurrentProcessId(), ::GetTickCount(), kCopyingSuffix)) return Str();
  Str temporaryName = name;
  temporaryName.Append(unique);
  Str temporary = JoinFilePath(folder, temporaryName);
  if (temporary.IsEmpty()) return Str();
  FileHandle copy(::CreateFileW(WStr(temporary).c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC | WRITE_OWNER | DELETE,
                                0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!copy) return Str();
  if (CopyContent(package.Get(), copy.Get()) && ResetSecurity(copy.Get()) && RenameThroughHandle(copy.Get(), WStr(target)))
    return target;
  DWORD error = ::GetLastError();
  DeleteThroughHandle(copy.Get());
  ::SetLastError(error);
  return Str();
}
