// Finding files: wildcard listings and the search for an executable.
#include "files.h"

#include "handles.h"
#include "paths.h"
#include "registry.h"
#include "widetext.h"

#include <cwchar>

namespace {

// A folder that is not there, or holds no match, is an empty listing and not a failure.
bool IsNotFoundErrorForListing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

}  // namespace

void PathList::Elements::Link(StrHeader* header) noexcept {
  if (header) LinkReference(&header->ref);
}

void PathList::Elements::Unlink(StrHeader* header) noexcept { Str::Release(header); }

Str PathList::operator[](uint32_t index) const {
  StrHeader* header = items_[index];
  if (header) LinkReference(&header->ref);
  return Str::Attach(header);
}

void PathList::Push(const Str& path) { items_.Push(path.Header()); }

PathList ListFiles(const Str& directory, const Str& pattern) {
  PathList list;
  // An empty folder would turn the search into one of the current drive's root.
  if (directory.IsEmpty() || pattern.IsEmpty()) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return list;
  }
  // The pattern holds wildcards, which the path grammar refuses: a plain join.
  Str searched = PlainJoin(directory, pattern);
  WStr wide;
  if (!ToWide(searched, &wide)) return list;
  Str folder = DirectoryOf(searched);
  WIN32_FIND_DATAW entry;
  FindHandle find(::FindFirstFileW(wide.c_str(), &entry));
  if (!find.IsValid()) {
    if (IsNotFoundErrorForListing(::GetLastError())) ::SetLastError(ERROR_SUCCESS);
    return list;
  }
  do {
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;  // also "." and ".."
    Str name = Str::FromUtf16(entry.cFileName, -1);
    if (name.IsEmpty()) continue;
    list.Push(PlainJoin(folder, name));
  } while (::FindNextFileW(find.Get(), &entry));
  if (::GetLastError() == ERROR_NO_MORE_FILES) ::SetLastError(ERROR_SUCCESS);
  return list;
}

Str FindExecutable(const Str& name) {
  WStr wide;
  if (name.IsEmpty() || !ToWide(name, &wide)) return Str();
  Str found = FillWide(MAX_PATH + 1, false, [&](wchar_t* buffer, DWORD size) {
    return ::SearchPathW(nullptr, wide.c_str(), L".exe", size, buffer, nullptr);
  });
  if (!found.IsEmpty() && FileExists(found)) return found;

  Str file = FileNameOf(name);
  if (file.Find('.') < 0) file.Append(".exe");
  Str registered = ReadRegistryText(Str("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths"),
                                    file, Str(), Str());
  // Installers often register the path in quotes, as they would write it on a command line.
  registered = Unquote(Trim(registered), '"');
  if (!registered.IsEmpty() && FileExists(registered)) return registered;
  if (::GetLastError() == ERROR_SUCCESS) ::SetLastError(ERROR_FILE_NOT_FOUND);
  return Str();
}
