#include "debugoutput.h"

#include "testsupport.h"

#include <cstring>

namespace test {

namespace {
struct DbWinBuffer {
  DWORD processId;
  char text[4096 - sizeof(DWORD)];
};
}  // namespace

DebugOutputListener::DebugOutputListener() {
  bufferReady_.Reset(::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY"));
  dataReady_.Reset(::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"));
  mapping_.Reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DbWinBuffer),
                                      L"DBWIN_BUFFER"));
  if (!bufferReady_ || !dataReady_ || !mapping_) return;
  view_.Reset(::MapViewOfFile(mapping_.Get(), FILE_MAP_READ, 0, 0, sizeof(DbWinBuffer)));
  if (!view_) return;
  listening_ = true;
  thread_ = std::thread([this] { Run(); });
}

DebugOutputListener::~DebugOutputListener() {
  if (!thread_.joinable()) return;
  stop_ = true;
  ::SetEvent(dataReady_.Get());
  thread_.join();
}

void DebugOutputListener::Run() {
  const auto* buffer = static_cast<const DbWinBuffer*>(view_.Get());
  for (;;) {
    ::SetEvent(bufferReady_.Get());
    if (::WaitForSingleObject(dataReady_.Get(), INFINITE) != WAIT_OBJECT_0 || stop_) return;
    std::string text(buffer->text, strnlen(buffer->text, sizeof buffer->text));
    std::lock_guard<std::mutex> hold(lock_);
    texts_.emplace_back(buffer->processId, std::move(text));
  }
}

std::string DebugOutputListener::TextOf(DWORD pid) { return WithoutTracePrefixes(RawTextOf(pid)); }

std::string DebugOutputListener::RawTextOf(DWORD pid) {
  std::lock_guard<std::mutex> hold(lock_);
  std::string all;
  for (auto& [from, text] : texts_)
    if (pid == 0 || from == pid) all += text;
  return all;
}

bool DebugOutputListener::WaitFor(const std::string& needle, DWORD pid, DWORD timeoutMs) {
  DWORD start = ::GetTickCount();
  for (;;) {
    if (TextOf(pid).find(needle) != std::string::npos) return true;
    if (::GetTickCount() - start > timeoutMs) return false;
    ::Sleep(20);
  }
}

}  // namespace test
