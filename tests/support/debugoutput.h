// Collects what other processes write with OutputDebugString, through the system's
// DBWIN_BUFFER protocol (the way a debug-output viewer does). While a listener exists, every
// process on the machine that writes debugger output queues for it (Wine waits up to 10 s per
// line for a listener that does not answer), so tests that listen run alone: "RUN_SERIAL TRUE".
#pragma once

#include "handles.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test {

class DebugOutputListener {
 public:
  DebugOutputListener();
  ~DebugOutputListener();
  DebugOutputListener(const DebugOutputListener&) = delete;
  DebugOutputListener& operator=(const DebugOutputListener&) = delete;

  bool IsListening() const { return listening_; }
  // Every text written so far by process `pid` (0: by any process), concatenated, with the
  // trace channel's line prefixes taken off.
  std::string TextOf(DWORD pid = 0);
  // The same, exactly as written.
  std::string RawTextOf(DWORD pid = 0);
  // Waits until a text of process `pid` contains `needle`.
  bool WaitFor(const std::string& needle, DWORD pid, DWORD timeoutMs);

 private:
  void Run();

  KernelHandle bufferReady_, dataReady_, mapping_;
  MappedView view_;
  std::atomic<bool> stop_{false};
  bool listening_ = false;
  std::mutex lock_;
  std::vector<std::pair<DWORD, std::string>> texts_;
  std::thread thread_;
};

}  // namespace test
