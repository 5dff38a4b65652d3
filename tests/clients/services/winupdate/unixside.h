// Changes made from the Unix side of a Wine prefix, where Windows' sharing rules do not hold: a
// folder that a handle keeps from being renamed can still be moved there. Under Wine this stands
// in for what only Windows can do to a held folder (turning it into a mount point), so that tests
// can show that the update pass keeps to the folder it holds.
#pragma once

#include "win.h"

#include <initializer_list>
#include <string>
#include <vector>

namespace unixside {

using SpawnFunction = LONG(CDECL*)(char* const* argv, int wait);
using UnixNameFunction = char*(CDECL*)(const wchar_t* path);

inline SpawnFunction Spawn() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  FARPROC proc = ntdll ? ::GetProcAddress(ntdll, "__wine_unix_spawnvp") : nullptr;
  return reinterpret_cast<SpawnFunction>(reinterpret_cast<void (*)()>(proc));
}
inline UnixNameFunction UnixName() {
  HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  FARPROC proc = kernel32 ? ::GetProcAddress(kernel32, "wine_get_unix_file_name") : nullptr;
  return reinterpret_cast<UnixNameFunction>(reinterpret_cast<void (*)()>(proc));
}

// Wine, with both of its Unix entry points.
inline bool Available() { return Spawn() && UnixName(); }

inline std::string UnixPath(const std::wstring& windowsPath) {
  UnixNameFunction unixName = UnixName();
  char* name = unixName ? unixName(windowsPath.c_str()) : nullptr;
  if (!name) return {};
  std::string path(name);
  ::HeapFree(::GetProcessHeap(), 0, name);
  return path;
}

// Runs a Unix program and waits for it; true when it exited with 0.
inline bool Run(std::initializer_list<std::string> arguments) {
  SpawnFunction spawn = Spawn();
  if (!spawn) return false;
  std::vector<std::string> copies(arguments);
  std::vector<char*> argv;
  for (std::string& argument : copies) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  return spawn(argv.data(), 1) == 0;
}

// Moves the folder `path` to `path` + `suffix` and makes a new empty folder under `path`.
inline bool SwapFolder(const std::wstring& path, const std::string& suffix) {
  std::string unix = UnixPath(path);
  return !unix.empty() && Run({"/bin/mv", unix, unix + suffix}) && Run({"/bin/mkdir", unix});
}

// Undoes SwapFolder: the folder put in its place goes, the moved one comes back.
inline bool RestoreFolder(const std::wstring& path, const std::string& suffix) {
  std::string unix = UnixPath(path);
  return !unix.empty() && Run({"/bin/rm", "-rf", unix}) && Run({"/bin/mv", unix + suffix, unix});
}

}  // namespace unixside
