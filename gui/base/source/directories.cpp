// Well-known directories: Windows calls, environment variables, shell folders and the
// downloads known folder.
#include "directories.h"

#include "files.h"
#include "handles.h"
#include "locks.h"
#include "paths.h"
#include "processobject.h"
#include "programfile.h"
#include "widetext.h"

#include <objbase.h>
#include <shlobj.h>

namespace {

// Shell folders by directory id; 0 for the ids that are not shell folders.
const int kShellFolders[28] = {
    0,  0,  0,  0,  0,                                                // 0..4
    CSIDL_DESKTOPDIRECTORY, CSIDL_STARTMENU, CSIDL_PROGRAMS, CSIDL_STARTUP,  // 5..8
    CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_COMMON_STARTMENU, CSIDL_COMMON_PROGRAMS,
    CSIDL_COMMON_STARTUP,  // 9..12
    0,                     // 13
    CSIDL_PERSONAL, CSIDL_FAVORITES, CSIDL_TEMPLATES, CSIDL_COMMON_DOCUMENTS, CSIDL_COMMON_FAVORITES,
    CSIDL_COMMON_TEMPLATES, CSIDL_APPDATA, CSIDL_LOCAL_APPDATA, CSIDL_COMMON_APPDATA, CSIDL_PROGRAM_FILES,
    CSIDL_PROGRAM_FILES_COMMON, CSIDL_PROGRAM_FILES_COMMONX86,  // 14..25
    0,  0,                                                      // 26, 27
};

// FOLDERID_Downloads, spelled out so that the library needs no GUID import library.
const GUID kFolderDownloads = {0x374DE290, 0x123F, 0x4565, {0x91, 0x64, 0x39, 0xC4, 0x92, 0x5E, 0x46, 0x7B}};
constexpr DWORD kKnownFolderCreateInit = 0x8800;  // KF_FLAG_CREATE | KF_FLAG_INIT

struct CoTaskMemoryTraits {
  using Type = wchar_t*;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type p) { return p != nullptr; }
  static void Close(Type p) { ::CoTaskMemFree(p); }
};

// COM for the duration of one shell call. A thread that already lives in a single-threaded
// apartment refuses the multithreaded one (RPC_E_CHANGED_MODE); joining its apartment instead
// still gives a balanced CoUninitialize.
class ComScope {
 public:
  ComScope() {
    HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (hr == RPC_E_CHANGED_MODE) hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    initialized_ = SUCCEEDED(hr);
  }
  ~ComScope() {
    if (initialized_) ::CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  bool initialized_;
};

Str ShellFolder(int csidl) {
  ComScope com;
  wchar_t path[MAX_PATH + 1] = {};
  if (!::SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE)) return Str();
  return Str::FromUtf16(path, -1);
}

Str EnvironmentDirectory(const wchar_t* name) {
  Str value = FillWide(MAX_PATH + 1, false,
                       [&](wchar_t* buffer, DWORD size) { return ::GetEnvironmentVariableW(name, buffer, size); });
  return value.IsEmpty() ? Str() : NormalizePath(value, false);
}

Str ComputeTempDirectory() {
  Str temp = FillWide(MAX_PATH + 1, false, [](wchar_t* buffer, DWORD size) { return ::GetTempPathW(size, buffer); });
  return temp.IsEmpty() ? Str() : NormalizePath(temp, false);
}

// Computed once per process under the library's timed lock "LazyStatic" (site
// "InitTempDirectory"): a first call that hangs in the file system shows up as a long hold.
// After that the text is read-only; copies only link the shared buffer. Never destroyed, so a
// report made by a late static destructor still finds it.
constinit ProcessObject<Str> s_tempdirectory;

void MakeTempDirectory(void* at) {
  TimedLockHold hold(LazyStaticLock(), Str("InitTempDirectory"));
  ::new (at) Str(ComputeTempDirectory());
}

Str TempDirectory() {
  const Str& computed = s_tempdirectory.Get<&MakeTempDirectory>();
  if (!computed.IsEmpty()) return computed;
  return ComputeTempDirectory();
}

Str DownloadsDirectory() {
  ScopedHandle<CoTaskMemoryTraits> path;
  Str result;
  {
    ComScope com;
    if (SUCCEEDED(::SHGetKnownFolderPath(kFolderDownloads, kKnownFolderCreateInit, nullptr, path.Receive())) &&
        path.IsValid())
      result = Str::FromUtf16(path.Get(), -1);  // an unpaired surrogate gives the empty path
  }
  if (result.IsEmpty() || !DirectoryExists(result)) return TempDirectory();
  return result;
}

}  // namespace

Str GetProgramPath() { return ProgramFilePath(); }

Str GetDirectory(uint32_t id) {
  switch (id) {
    case DirectoryTemp:
      return TempDirectory();
    case DirectoryWindows:
      return FillWide(MAX_PATH + 1, false, [](wchar_t* b, DWORD n) { return ::GetWindowsDirectoryW(b, n); });
    case DirectorySystem:
      return FillWide(MAX_PATH + 1, false, [](wchar_t* b, DWORD n) { return ::GetSystemDirectoryW(b, n); });
    case DirectoryProgram: {
      Str program = GetProgramPath();
      return program.IsEmpty() ? Str() : DirectoryOf(program);
    }
    case DirectoryUserProfile:
      return EnvironmentDirectory(L"USERPROFILE");
    case DirectoryAllUsersProfile:
      return EnvironmentDirectory(L"ALLUSERSPROFILE");
    case DirectoryCurrent:
      return FillWide(MAX_PATH + 1, false, [](wchar_t* b, DWORD n) { return ::GetCurrentDirectoryW(n, b); });
    case DirectoryDownloads:
      return DownloadsDirectory();
    default:
      if (id < 28 && kShellFolders[id] != 0) return ShellFolder(kShellFolders[id]);
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return Str();
  }
}
