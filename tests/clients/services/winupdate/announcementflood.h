// A drop folder flooded by a user: announcements that have no package ("flood-N.pending" alone,
// each answered with code 7), or removal markers, each with the file it names beside it
// ("flood-N.removepending" and "flood-N.msi", both removed by the clean-up). What the passes leave
// of them, and their answers, go at the end.
#pragma once

#include "handles.h"
#include "servicestep.h"
#include "testsupport.h"

#include <cwchar>
#include <string>
#include <vector>

namespace test {

class AnnouncementFlood {
 public:
  explicit AnnouncementFlood(int count, const wchar_t* extension = L".pending")
      : drop_(test::Widen(DropFolderPath().c_str())), update_(test::Widen(UpdateFolderPath().c_str())),
        waitingPattern_(std::wstring(L"flood-*") + extension) {
    CreateDirectoryW(drop_.c_str(), nullptr);
    Clean();
    for (int i = 0; i < count; ++i) {
      if (wcscmp(extension, L".removepending") == 0 && !Create(Path(drop_, i, L".msi"))) continue;
      if (Create(Path(drop_, i, extension))) ++created_;
    }
  }
  ~AnnouncementFlood() { Clean(); }
  int Created() const { return created_; }
  // Files of the flood not yet taken by a pass.
  int Waiting() const { return Count(drop_, waitingPattern_.c_str()); }
  int Answered() const { return Count(update_, L"flood-*.result"); }

 private:
  static bool Create(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    return static_cast<bool>(file);
  }
  static std::wstring Path(const std::wstring& folder, int i, const wchar_t* extension) {
    wchar_t name[40];
    swprintf(name, 40, L"\\flood-%05d%ls", i, extension);
    return folder + name;
  }
  static int Count(const std::wstring& folder, const wchar_t* pattern) {
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileW((folder + L"\\" + pattern).c_str(), &data));
    int n = 0;
    if (find) do ++n; while (FindNextFileW(find.Get(), &data));
    return n;
  }
  static void DeleteAll(const std::wstring& folder, const wchar_t* pattern) {
    WIN32_FIND_DATAW data;
    std::vector<std::wstring> names;
    {
      FindHandle find(FindFirstFileW((folder + L"\\" + pattern).c_str(), &data));
      if (find) do names.push_back(data.cFileName); while (FindNextFileW(find.Get(), &data));
    }
    for (const std::wstring& name : names) DeleteFileW((folder + L"\\" + name).c_str());
  }
  void Clean() {
    DeleteAll(drop_, L"flood-*");
    DeleteAll(update_, L"flood-*");
  }

  std::wstring drop_, update_, waitingPattern_;
  int created_ = 0;
};

}  // namespace test
