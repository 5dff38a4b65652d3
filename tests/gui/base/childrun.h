// Test helper: runs one test of this test program in a child process (see reportcapture.h) with
// extra environment variables, which the child inherits from this process for the duration of
// the call. Settings that a process reads once at start (the allocator switch, the lock
// thresholds) can only be tried this way.
#pragma once

#include "reportcapture.h"

#include <string>
#include <utility>
#include <vector>

namespace test {

inline ChildResult RunTestInChildWith(const wchar_t* filter, const wchar_t* childMarker,
                                      const std::vector<std::pair<std::wstring, std::wstring>>& environment) {
  for (const auto& [name, value] : environment) ::SetEnvironmentVariableW(name.c_str(), value.c_str());
  ChildResult result = RunTestInChild(filter, childMarker);
  for (const auto& [name, value] : environment) ::SetEnvironmentVariableW(name.c_str(), nullptr);
  return result;
}

inline size_t CountOccurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
  return count;
}

inline bool IsChildRun(const char* marker) {
  char value[8];
  return ::GetEnvironmentVariableA(marker, value, sizeof value) > 0;
}

}  // namespace test
