#include "relativefiles.h"

#include <atomic>
#include <cstddef>

namespace {

// The ntdll structures, declared here with their documented layout rather than taken from
// winternl.h, whose declarations differ between the SDKs (and which no import library of the
// toolchains links against ntdll for).
struct NtUnicodeString {
  USHORT Length;
  USHORT MaximumLength;
  wchar_t* Buffer;
};
struct NtObjectAttributes {
  ULONG Length;
  HANDLE RootDirectory;
  NtUnicodeString* ObjectName;
  ULONG Attributes;
  void* SecurityDescriptor;
  void* SecurityQualityOfService;
};
struct NtIoStatusBlock {
  union {
    LONG Status;
    void* Pointer;
  };
  ULONG_PTR Information;
};
static_assert(sizeof(NtObjectAttributes) == 6 * sizeof(void*), "OBJECT_ATTRIBUTES layout");
static_assert(sizeof(NtIoStatusBlock) == 2 * sizeof(void*), "IO_STATUS_BLOCK layout");

using NtCreateFileFunction = LONG(NTAPI*)(HANDLE* file, ACCESS_MASK access, NtObjectAttributes* attributes,
                                          NtIoStatusBlock* status, LARGE_INTEGER* allocationSize,
                                          ULONG fileAttributes, ULONG share, ULONG disposition, ULONG options,
                                          void* extendedAttributes, ULONG extendedAttributesLength);
using NtStatusToErrorFunction = ULONG(NTAPI*)(LONG status);
using NtQueryInformationFileFunction = LONG(NTAPI*)(HANDLE file, NtIoStatusBlock* status, void* information,
                                                    ULONG length, int informationClass);
constexpr int kFileInternalInformation = 6;

constexpr ULONG kObjCaseInsensitive = 0x00000040;
// Fails the open with STATUS_REPARSE_POINT_ENCOUNTERED instead of following any reparse point
// met on the way. Windows 10 knows it; older systems refuse the unknown attribute.
constexpr ULONG kObjDontReparse = 0x00001000;
constexpr ULONG kFileOpen = 1;
constexpr ULONG kFileCreate = 2;
constexpr ULONG kFileNonDirectoryFile = 0x00000040;
constexpr ULONG kFileDirectoryFile = 0x00000001;
constexpr ULONG kFileSynchronousIoNonAlert = 0x00000020;
constexpr ULONG kFileOpenReparsePoint = 0x00200000;
constexpr LONG kStatusInvalidParameter = static_cast<LONG>(0xC000000D);

// Resolved on first use; a race stores the same value twice.
std::atomic<NtCreateFileFunction> s_ntCreateFile{nullptr};
std::atomic<NtStatusToErrorFunction> s_ntStatusToError{nullptr};
std::atomic<NtQueryInformationFileFunction> s_ntQueryInformationFile{nullptr};
std::atomic<bool> s_dontReparseKnown{true};

template <typename Function>
Function Resolve(std::atomic<Function>& slot, const char* name) {
  Function function = slot.load(std::memory_order_acquire);
  if (function) return function;
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  FARPROC proc = ntdll ? ::GetProcAddress(ntdll, name) : nullptr;
  // Through a plain function pointer type, which converts to any other without a warning.
  function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
  slot.store(function, std::memory_order_release);
  return function;
}

DWORD ErrorOf(LONG status) {
  NtStatusToErrorFunction toError = Resolve(s_ntStatusToError, "RtlNtStatusToDosError");
  return toError ? toError(status) : ERROR_GEN_FAILURE;
}

LONG CreateRelative(NtCreateFileFunction create, HANDLE folder, const WStr& name, DWORD access, DWORD share,
                    ULONG disposition, ULONG options, ULONG attributes, HANDLE* file) {
  NtUnicodeString objectName = {};
  objectName.Buffer = const_cast<wchar_t*>(name.c_str());
  objectName.Length = static_cast<USHORT>(name.Length() * sizeof(wchar_t));
  objectName.MaximumLength = objectName.Length;
  NtObjectAttributes object = {};
  object.Length = sizeof object;
  object.RootDirectory = folder;
  object.ObjectName = &objectName;
  object.Attributes = attributes;
  NtIoStatusBlock status = {};
  *file = nullptr;
  return create(file, access | SYNCHRONIZE, &object, &status, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                options, nullptr, 0);
}

// One component, looked up literally inside the folder: no separator (the name cannot leave
// the folder), no colon (no stream of another file), not "." or "..". Names that the Win32 path
// rules would turn into a device (NUL.txt) or trim (a trailing dot) are fine here: relative to a
// folder handle they name the file itself, which is how such a file can be removed at all.
bool IsOneComponent(const WStr& name) {
  const uint32_t length = name.Length();
  if (length == 0 || length > 256) return false;
  const wchar_t* text = name.c_str();
  if ((length == 1 && text[0] == L'.') || (length == 2 && text[0] == L'.' && text[1] == L'.')) return false;
  for (uint32_t i = 0; i < length; ++i)
    if (text[i] < 0x20 || text[i] == L'\\' || text[i] == L'/' || text[i] == L':') return false;
  return true;
}

}  // namespace

FileHandle OpenRelative(HANDLE folder, const Str& name, DWORD access, DWORD share, RelativeOpen how,
                        RelativeKind kind) {
  WStr wideName(name);
  if (!folder || folder == INVALID_HANDLE_VALUE || !IsOneComponent(wideName)) {
    ::SetLastError(ERROR_INVALID_NAME);
    return FileHandle();
  }
  NtCreateFileFunction create = Resolve(s_ntCreateFile, "NtCreateFile");
  if (!create) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return FileHandle();
  }
  const ULONG disposition = how == RelativeOpen::New ? kFileCreate : kFileOpen;
  const ULONG options = kFileSynchronousIoNonAlert | kFileOpenReparsePoint |
                        (kind == RelativeKind::File ? kFileNonDirectoryFile : 0);
  // Case-insensitive, as CreateFileW looks names up.
  ULONG attributes = kObjCaseInsensitive;
  const bool dontReparse = s_dontReparseKnown.load(std::memory_order_relaxed);
  if (dontReparse) attributes |= kObjDontReparse;

  HANDLE file = nullptr;
  LONG status = CreateRelative(create, folder, wideName, access, share, disposition, options, attributes, &file);
  if (status == kStatusInvalidParameter && dontReparse) {
    // A system that does not know the attribute refuses the whole open. Without it the open is
    // still confined: the name is one component looked up inside the held folder, and
    // FILE_OPEN_REPARSE_POINT opens a reparse point of that name instead of following it.
    status = CreateRelative(create, folder, wideName, access, share, disposition, options,
                            attributes & ~kObjDontReparse, &file);
    if (status != kStatusInvalidParameter) s_dontReparseKnown.store(false, std::memory_order_relaxed);
  }
  if (status < 0) {
    FileHandle unwanted(file);  // a warning status may still come with a handle
    ::SetLastError(ErrorOf(status));
    return FileHandle();
  }
  ::SetLastError(ERROR_SUCCESS);
  return FileHandle(file);
}

FileHandle ReopenFolder(HANDLE folder, DWORD access) {
  NtCreateFileFunction create = Resolve(s_ntCreateFile, "NtCreateFile");
  if (!folder || folder == INVALID_HANDLE_VALUE || !create) {
    ::SetLastError(create ? ERROR_INVALID_HANDLE : ERROR_PROC_NOT_FOUND);
    return FileHandle();
  }
  HANDLE file = nullptr;
  LONG status = CreateRelative(create, folder, WStr(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, kFileOpen,
                               kFileSynchronousIoNonAlert | kFileOpenReparsePoint | kFileDirectoryFile,
                               kObjCaseInsensitive, &file);
  if (status < 0) {
    FileHandle unwanted(file);
    ::SetLastError(ErrorOf(status));
    return FileHandle();
  }
  return FileHandle(file);
}

bool FileIndexOf(HANDLE file, uint64_t* index) {
  NtQueryInformationFileFunction query = Resolve(s_ntQueryInformationFile, "NtQueryInformationFile");
  if (!query) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  LARGE_INTEGER internal = {};
  NtIoStatusBlock status = {};
  LONG result = query(file, &status, &internal, sizeof internal, kFileInternalInformation);
  if (result < 0) {
    ::SetLastError(ErrorOf(result));
    return false;
  }
  *index = static_cast<uint64_t>(internal.QuadPart);
  return true;
}

bool RelativeOpensRefuseReparse() { return s_dontReparseKnown.load(std::memory_order_relaxed); }
