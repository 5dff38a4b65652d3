// How the library's locks initialise their critical sections: private to the lock sources and
// their tests.
#pragma once

#include "win.h"

#include <cstdint>

// Creation rule of every lock: spin 4000 times before blocking on a machine with two or more
// processors; no spinning on a one-processor machine, where the holder cannot run meanwhile.

constexpr DWORD kLockSpinCount = 4000;
DWORD LockSpinCountFor(uint32_t processorCount) noexcept;
// The processor count of GetSystemInfo, read once.
uint32_t ProcessorCount() noexcept;
// Initialises `section` by the rule above.
void InitializeLibraryCriticalSection(CRITICAL_SECTION* section) noexcept;
