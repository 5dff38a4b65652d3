// A trace pipe server inside a test program: collects the records of every client of
// "\\.\pipe\ZevTracePipe" (overlapped I/O on one thread, so it stops cleanly at any time).
#pragma once

#include "handles.h"
#include "trace.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test {

class TracePipeServer {
 public:
  TracePipeServer() {
    stop_.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop_ || !Listen()) return;
    listening_ = true;
    thread_ = std::thread([this] { Run(); });
  }
  ~TracePipeServer() {
    if (thread_.joinable()) {
      ::SetEvent(stop_.Get());
      thread_.join();
    }
  }
  TracePipeServer(const TracePipeServer&) = delete;
  TracePipeServer& operator=(const TracePipeServer&) = delete;

  bool IsListening() const { return listening_; }

  std::vector<std::string> Records() {
    std::lock_guard<std::mutex> hold(lock_);
    return records_;
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(lock_);
    records_.clear();
  }
  // Waits until a record ends with `suffix`; answers the records before it (and drops them and
  // the marker from the list).
  bool TakeUntil(const std::string& suffix, std::vector<std::string>* before, DWORD timeoutMs = 10000) {
    std::unique_lock<std::mutex> hold(lock_);
    bool found = changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return Find(suffix) >= 0; });
    if (!found) return false;
    int at = Find(suffix);
    if (before) before->assign(records_.begin(), records_.begin() + at);
    records_.erase(records_.begin(), records_.begin() + at + 1);
    return true;
  }
  // The impersonation level the first client granted (-1 until a record arrived, -2 when the
  // server could not impersonate).
  int ClientImpersonationLevel() {
    std::lock_guard<std::mutex> hold(lock_);
    return impersonationLevel_;
  }

 private:
  struct Instance {
    FileHandle pipe;
    KernelHandle event;
    OVERLAPPED overlapped{};
    bool connected = false;
    char buffer[4096];
    std::string message;
  };

  int Find(const std::string& suffix) {
    for (size_t i = 0; i < records_.size(); ++i) {
      const std::string& r = records_[i];
      if (r.size() >= suffix.size() && r.compare(r.size() - suffix.size(), suffix.size(), suffix) == 0) return int(i);
    }
    return -1;
  }

  bool Listen() {
    auto in = std::make_unique<Instance>();
    in->event.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    in->pipe.Reset(::CreateNamedPipeA("\\\\.\\pipe\\ZevTracePipe", PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                      PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
    if (!in->pipe || !in->event) return false;
    in->overlapped.hEvent = in->event.Get();
    if (::ConnectNamedPipe(in->pipe.Get(), &in->overlapped) || ::GetLastError() == ERROR_PIPE_CONNECTED) {
      ::SetEvent(in->event.Get());
    } else if (::GetLastError() != ERROR_IO_PENDING) {
      return false;
    }
    instances_.push_back(std::move(in));
    return true;
  }

  void Deliver(Instance& in) {
    if (!in.message.empty() && in.message.back() == '\0') in.message.pop_back();
    std::lock_guard<std::mutex> hold(lock_);
    if (impersonationLevel_ == -1) {
      impersonationLevel_ = -2;
      if (::ImpersonateNamedPipeClient(in.pipe.Get())) {
        KernelHandle token;
        SECURITY_IMPERSONATION_LEVEL level;
        DWORD size = 0;
        if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.Receive()) &&
            ::GetTokenInformation(token.Get(), TokenImpersonationLevel, &level, sizeof level, &size)) {
          impersonationLevel_ = int(level);
        }
        ::RevertToSelf();
      }
    }
    records_.push_back(in.message);
    in.message.clear();
    changed_.notify_all();
  }

  // Reads until a read is pending; false when the client is gone.
  bool Read(Instance& in) {
    for (;;) {
      ::ResetEvent(in.event.Get());
      DWORD got = 0;
      if (::ReadFile(in.pipe.Get(), in.buffer, sizeof in.buffer, &got, &in.overlapped)) {
        ::GetOverlappedResult(in.pipe.Get(), &in.overlapped, &got, TRUE);
        in.message.append(in.buffer, got);
        Deliver(in);
        continue;
      }
      DWORD error = ::GetLastError();
      if (error == ERROR_MORE_DATA) {
        ::GetOverlappedResult(in.pipe.Get(), &in.overlapped, &got, TRUE);
        in.message.append(in.buffer, got);
        continue;
      }
      return error == ERROR_IO_PENDING;
    }
  }

  void Run() {
    for (;;) {
      std::vector<HANDLE> waits{stop_.Get()};
      for (auto& in : instances_) waits.push_back(in->event.Get());
      DWORD r = ::WaitForMultipleObjects(DWORD(waits.size()), waits.data(), FALSE, INFINITE);
      if (r == WAIT_OBJECT_0 || r == WAIT_FAILED) break;
      size_t index = r - WAIT_OBJECT_0 - 1;
      if (index >= instances_.size()) break;
      Instance& in = *instances_[index];
      DWORD got = 0;
      BOOL ok = ::GetOverlappedResult(in.pipe.Get(), &in.overlapped, &got, FALSE);
      DWORD error = ok ? 0 : ::GetLastError();
      bool keep = true;
      if (!in.connected) {
        in.connected = ok || error == ERROR_PIPE_CONNECTED;
        keep = in.connected;
        Listen();  // always one instance waiting for the next client
        if (keep) keep = Read(in);
      } else {
        if (ok || error == ERROR_MORE_DATA) {
          in.message.append(in.buffer, got);
          if (ok) Deliver(in);
          keep = Read(in);
        } else {
          keep = false;
        }
      }
      if (!keep) instances_.erase(instances_.begin() + index);
    }
    for (auto& in : instances_) ::CancelIo(in->pipe.Get());
    for (auto& in : instances_) {
      DWORD got = 0;
      ::GetOverlappedResult(in->pipe.Get(), &in->overlapped, &got, TRUE);
    }
    instances_.clear();
  }

  KernelHandle stop_;
  bool listening_ = false;
  std::vector<std::unique_ptr<Instance>> instances_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> records_;
  int impersonationLevel_ = -1;
  std::thread thread_;
};

// A planted trace pipe server: it accepts every writer of "\\.\pipe\ZevTracePipe" and never
// reads. Its buffers hold one byte, so a writer's first record already finds no room. Stopping
// it (or destroying it) breaks every connection, which frees a writer that would otherwise wait
// for ever.
class NeverReadingPipeServer {
 public:
  NeverReadingPipeServer() {
    stop_.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop_ || !Listen()) return;
    listening_ = true;
    thread_ = std::thread([this] { Run(); });
  }
  ~NeverReadingPipeServer() { Stop(); }
  NeverReadingPipeServer(const NeverReadingPipeServer&) = delete;
  NeverReadingPipeServer& operator=(const NeverReadingPipeServer&) = delete;

  bool IsListening() const { return listening_; }
  // Writers that connected so far.
  int Connections() {
    std::lock_guard<std::mutex> hold(lock_);
    return connections_;
  }
  void Stop() {
    if (thread_.joinable()) {
      ::SetEvent(stop_.Get());
      thread_.join();
    }
  }

 private:
  bool Listen() {
    listener_.Reset(::CreateNamedPipeA("\\\\.\\pipe\\ZevTracePipe", PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 1, 1, 0, nullptr));
    if (!listener_) return false;
    connect_ = OVERLAPPED{};
    connect_.hEvent = event_.Get();
    ::ResetEvent(event_.Get());
    if (::ConnectNamedPipe(listener_.Get(), &connect_) || ::GetLastError() == ERROR_PIPE_CONNECTED) {
      ::SetEvent(event_.Get());
      return true;
    }
    return ::GetLastError() == ERROR_IO_PENDING;
  }

  void Run() {
    for (;;) {
      HANDLE waits[] = {stop_.Get(), event_.Get()};
      if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) break;
      DWORD ignored = 0;
      if (::GetOverlappedResult(listener_.Get(), &connect_, &ignored, FALSE) ||
          ::GetLastError() == ERROR_PIPE_CONNECTED) {
        std::lock_guard<std::mutex> hold(lock_);
        ++connections_;
        connected_.push_back(std::move(listener_));  // held open, never read
      }
      if (!Listen()) break;
    }
    ::CancelIo(listener_.Get());
    DWORD ignored = 0;
    if (listener_) ::GetOverlappedResult(listener_.Get(), &connect_, &ignored, TRUE);
    listener_.Reset();
    std::lock_guard<std::mutex> hold(lock_);
    connected_.clear();
  }

  KernelHandle stop_;
  KernelHandle event_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  FileHandle listener_;
  OVERLAPPED connect_{};
  bool listening_ = false;
  std::mutex lock_;
  int connections_ = 0;
  std::vector<FileHandle> connected_;
  std::thread thread_;
};

// Restores the machine-wide prefix word to its default when a test ends.
struct PrefixWordGuard {
  ~PrefixWordGuard() { SetTracePrefixFlags(TracePrefixDefault); }
};

}  // namespace test
