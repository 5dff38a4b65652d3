// Size arithmetic of the string buffers and the growth policy of strings and arrays: private to
// the library (the string, array and JSON sources) and its tests.
#pragma once

#include <cstddef>
#include <cstdint>

// The capacity a Str buffer gets for a requested capacity n >= 1 (n <= 0xFFFFFFFF):
// total = (n + 23) & ~7; above 1024 total = (total | 15) + 1; capacity = total - 13
// (n itself when that exceeds 32 bits). n = 1 gives 11, n = 11 gives 19.
uint32_t StrCapacityFor(uint32_t n) noexcept;
// The same for WStr (n in units): total = (2n + 23) & ~7, the same rule above 1024,
// capacity = (total - 14) / 2 (n itself when that exceeds 32 bits).
uint32_t WStrCapacityFor(uint32_t n) noexcept;
// Block sizes, as passed to AllocParticle and FreeParticle.
inline size_t StrBlockSize(uint32_t capacity) noexcept { return size_t(capacity) + 16; }
inline size_t WStrBlockSize(uint32_t capacity) noexcept { return size_t(capacity) * 2 + 16; }

// Growth policies: the capacity a growing string or array gets for a required length n.
//   normal: n < 512 -> n + 32; < 8192 -> n + n/16; <= 0xFFFFFDFF -> n + 512; above -> 0xFFFFFFFF
//   fast:   n <= 512 -> 1024; <= 0x4000000 -> 2n; <= 0xFBFFFFFF -> n + 0x4000000; above -> 0xFFFFFFFF
uint32_t GrowthCapacity(uint64_t n, bool fast) noexcept;
