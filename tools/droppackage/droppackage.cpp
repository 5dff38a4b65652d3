// droppackage: the client's side of the update exchange, for trying the update service by hand.
// It drops a package the way the client does (X.msi first, then the announcement X.pending),
// signals the push event, waits for X.result in the update folder and prints its line.
//
//   droppackage PACKAGE.msi [--name X] [--timeout SECONDS] [--no-signal] [--no-package]
//
// Exit code: 0 when the installer was started (result code 0), 1 for any other result code,
// 2 when no result came within the time-out, 3 for a usage or file error.
#include "clientidentity.h"
#include "directories.h"
#include "files.h"
#include "handles.h"
#include "paths.h"
#include "str.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

int Usage() {
  fputs("usage: droppackage PACKAGE.msi [--name X] [--timeout SECONDS] [--no-signal] [--no-package]\n", stderr);
  return 3;
}

// The result file's last write time, or 0 when there is none.
uint64_t WriteTimeOf(const Str& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(WStr(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Str package, name;
  unsigned timeoutSeconds = 120;
  bool signal = true, withPackage = true;
  for (int i = 1; i < argc; ++i) {
    if (wcscmp(argv[i], L"--name") == 0 && i + 1 < argc) name = Str::FromUtf16(argv[++i]);
    else if (wcscmp(argv[i], L"--timeout") == 0 && i + 1 < argc) timeoutSeconds = wcstoul(argv[++i], nullptr, 10);
    else if (wcscmp(argv[i], L"--no-signal") == 0) signal = false;
    else if (wcscmp(argv[i], L"--no-package") == 0) withPackage = false;
    else if (argv[i][0] == L'-') return Usage();
    else package = Str::FromUtf16(argv[i]);
  }
  if (package.IsEmpty() && withPackage) return Usage();
  if (name.IsEmpty()) name = BaseNameOf(package.IsEmpty() ? Str("package") : package);

  Str dropFolder = GetDirectory(DirectoryCommonAppData);
  Str updateFolder = GetDirectory(DirectoryProgramFiles);
  if (!AppendPathComponent(dropFolder, Str("vennacor.plugin")) || !AppendPathComponent(updateFolder, Str("Vennacor")) ||
      !AppendPathComponent(updateFolder, Str("Update"))) {
    fputs("droppackage: cannot name the drop or update folder\n", stderr);
    return 3;
  }
  MakeDirectory(dropFolder, true);
  Str msi = name, pending = name, result = name;
  msi.Append(".msi");
  pending.Append(".pending");
  result.Append(".result");
  Str msiPath = JoinFilePath(dropFolder, msi), pendingPath = JoinFilePath(dropFolder, pending);
  Str resultPath = JoinFilePath(updateFolder, result);
  if (msiPath.IsEmpty() || pendingPath.IsEmpty() || resultPath.IsEmpty()) {
    fputs("droppackage: the name gives no valid file name\n", stderr);
    return 3;
  }

  uint64_t before = WriteTimeOf(resultPath);
  // The package first, the announcement after it: the service takes only announced packages.
  if (withPackage && !CopyFileTo(package, msiPath, false)) {
    fprintf(stderr, "droppackage: cannot copy %s to %s (error %lu)\n", package.c_str(), msiPath.c_str(),
            ::GetLastError());
    return 3;
  }
  if (!CreateEmptyFile(pendingPath)) {
    fprintf(stderr, "droppackage: cannot create %s (error %lu)\n", pendingPath.c_str(), ::GetLastError());
    return 3;
  }
  if (withPackage) printf("dropped %s and %s\n", msiPath.c_str(), pendingPath.c_str());
  else printf("announced %s without a package\n", pendingPath.c_str());
  if (signal) {
    KernelHandle push(::OpenEventA(EVENT_MODIFY_STATE, FALSE, ClientIdentity::MsiPushEventName));
    if (!push || !::SetEvent(push.Get()))
      fprintf(stderr, "droppackage: cannot signal the push event (error %lu); the service looks every 60 s\n",
              ::GetLastError());
  }

  DWORD start = ::GetTickCount();
  while (::GetTickCount() - start < timeoutSeconds * 1000u) {
    uint64_t now = WriteTimeOf(resultPath);
    if (now != 0 && now != before) {
      ::Sleep(100);  // the service writes the line right after creating the file
      FileHandle file(::CreateFileW(WStr(resultPath).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
      char line[128] = {};
      DWORD n = 0;
      if (file && ::ReadFile(file.Get(), line, sizeof line - 1, &n, nullptr) && n > 0) {
        printf("%s: %s\n", resultPath.c_str(), line);
        const char* code = strrchr(line, ' ');
        return code && atoi(code + 1) == 0 ? 0 : 1;
      }
    }
    ::Sleep(100);
  }
  fprintf(stderr, "droppackage: no result in %s within %u s\n", resultPath.c_str(), timeoutSeconds);
  return 2;
}
