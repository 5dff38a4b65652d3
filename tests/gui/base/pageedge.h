// Test helper (header only): bytes placed so that they end exactly where a readable page ends
// and an inaccessible one begins. Code that reads one byte past what it was given faults there,
// so the fast paths that read whole blocks can show that they never cross into memory the text
// does not reach.
#pragma once

#include "win.h"

#include <cstddef>
#include <cstring>

namespace test {

class PageEdge {
 public:
  PageEdge() {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    page_ = info.dwPageSize;
    base_ = static_cast<char*>(::VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    if (base_ && !::VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old)) {
      ::VirtualFree(base_, 0, MEM_RELEASE);
      base_ = nullptr;
    }
  }
  ~PageEdge() {
    if (base_) ::VirtualFree(base_, 0, MEM_RELEASE);
  }
  PageEdge(const PageEdge&) = delete;
  PageEdge& operator=(const PageEdge&) = delete;

  bool Ready() const { return base_ != nullptr; }
  // Copies `count` bytes so that the last of them is the page's last byte; returns the first.
  char* Place(const void* bytes, size_t count) {
    char* at = base_ + page_ - count;
    memcpy(at, bytes, count);
    return at;
  }
  // The same for UTF-16 units.
  wchar_t* PlaceUnits(const wchar_t* units, size_t count) {
    return reinterpret_cast<wchar_t*>(Place(units, count * sizeof(wchar_t)));
  }

 private:
  char* base_ = nullptr;
  size_t page_ = 0;
};

}  // namespace test
