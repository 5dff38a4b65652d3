// Writing a file through a growing memory mapping.
#include "mappedfile.h"

#include "error.h"
#include "widetext.h"

#include <cstring>
#include <limits>

namespace {

constexpr uint64_t kMinimumGrowth = 0x80000;
constexpr int kRetries = 5;

// Virus scanners, indexers and backup tools open new files for a moment; these errors pass.
bool IsTransientError(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

void ReportFailure(uint32_t eventId, const char* message, uint64_t position, size_t count, DWORD error) {
  ReportLibraryEvent(eventId, message,
                     {{"pos", static_cast<int64_t>(position)},
                      {"amount_bytes", static_cast<int64_t>(count)},
                      {"error", static_cast<int64_t>(error)}});
  ::SetLastError(error);
}

}  // namespace

bool MappedFile::OpenForWriting(const Str& path) {
  Close();
  WStr wide;
  if (!ToWide(path, &wide)) return false;
  for (int attempt = 0;; ++attempt) {
    file_.Reset(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (file_.IsValid()) return true;
    if (attempt == kRetries || !IsTransientError(::GetLastError())) return false;
    ::Sleep(10);
  }
}

bool MappedFile::Remap(uint64_t size, size_t count) {
  view_.Reset();
  mapping_.Reset();
  mapped_ = 0;
  if (size > std::numeric_limits<SIZE_T>::max()) {
    ReportFailure(200, "Memory mapped file operation failed (create map)", used_, count, ERROR_INVALID_DATA);
    return false;
  }
  for (int attempt = 0;; ++attempt) {
    mapping_.Reset(::CreateFileMappingA(file_.Get(), nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                        static_cast<DWORD>(size), nullptr));
    if (mapping_.IsValid()) break;
    DWORD error = ::GetLastError();
    if (attempt == kRetries || !IsTransientError(error)) {
      ReportFailure(200, "Memory mapped file operation failed (create map)", used_, count, error);
      return false;
    }
    ::Sleep(20);
  }
  // The mapping has grown the file to its size; the close cuts it back.
  if (size > fileSize_) fileSize_ = size;
  view_.Reset(::MapViewOfFile(mapping_.Get(), FILE_MAP_WRITE, 0, 0, 0));
  if (!view_.IsValid()) {
    DWORD error = ::GetLastError();
    mapping_.Reset();
    ReportFailure(205, "Memory mapped file operation failed (create view)", used_, count, error);
    return false;
  }
  mapped_ = size;
  return true;
}

bool MappedFile::Append(const void* bytes, size_t count) {
  if (!file_.IsValid()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (count == 0) return true;
  uint64_t growth = count > kMinimumGrowth ? count : kMinimumGrowth;
  if (growth > std::numeric_limits<uint64_t>::max() - used_) {
    ReportFailure(211, "Memory mapped file operation failed (write view)", used_, count, ERROR_INVALID_DATA);
    return false;
  }
  if (used_ + count > mapped_ && !Remap(used_ + growth, count)) return false;
  memcpy(static_cast<char*>(view_.Get()) + used_, bytes, count);
  used_ += count;
  return true;
}

bool MappedFile::WriteText(const Str& text) {
  const char* data = text.c_str();
  uint32_t length = text.Length();
  uint32_t start = 0;
  for (uint32_t i = 0; i < length; ++i) {
    char c = data[i];
    if (c != '\r' && c != '\n') continue;
    if (!Append(data + start, i - start)) return false;
    if (c == '\n' && !Append("\r\n", 2)) return false;
    start = i + 1;
  }
  return Append(data + start, length - start);
}

bool MappedFile::Close() {
  if (!file_.IsValid()) return true;
  bool ok = true;
  void* view = view_.Take();
  if (view && !::UnmapViewOfFile(view)) ok = false;
  mapping_.Reset();
  if (used_ < fileSize_) {
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(used_);
    if (!::SetFilePointerEx(file_.Get(), end, nullptr, FILE_BEGIN) || !::SetEndOfFile(file_.Get())) ok = false;
  }
  DWORD error = ::GetLastError();
  if (!::CloseHandle(file_.Take())) ok = false;
  else if (!ok) ::SetLastError(error);
  used_ = mapped_ = fileSize_ = 0;
  return ok;
}
