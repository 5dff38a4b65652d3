// Private to the base library: copying and filling of the short runs that texts are built from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Copies `count` bytes between buffers that do not overlap. Short runs are copied here in
// words, the last word overlapping the one before it, so that exactly `count` bytes are
// written: a call of the runtime's memcpy costs more than such a copy (under Wine several times
// more, whatever the size). Long runs still take the call.
inline void CopyShort(char* to, const char* from, size_t count) {
  if (count >= 8) {
    if (count > 64) {
      memcpy(to, from, count);
      return;
    }
    uint64_t word;
    for (size_t i = 0; i + 8 < count; i += 8) {
      memcpy(&word, from + i, 8);
      memcpy(to + i, &word, 8);
    }
    memcpy(&word, from + count - 8, 8);
    memcpy(to + count - 8, &word, 8);
    return;
  }
  if (count >= 4) {
    uint32_t first, last;
    memcpy(&first, from, 4);
    memcpy(&last, from + count - 4, 4);
    memcpy(to, &first, 4);
    memcpy(to + count - 4, &last, 4);
    return;
  }
  if (count > 0) {
    // 1 to 3 bytes: the first, the middle and the last (some of them the same byte).
    const char a = from[0], b = from[count / 2], c = from[count - 1];
    to[0] = a;
    to[count / 2] = b;
    to[count - 1] = c;
  }
}

// Writes `count` copies of `c`, exactly, the same way.
inline void FillShort(char* to, char c, size_t count) {
  if (count >= 8) {
    if (count > 64) {
      memset(to, c, count);
      return;
    }
    const uint64_t word = 0x0101010101010101ull * static_cast<unsigned char>(c);
    for (size_t i = 0; i + 8 < count; i += 8) memcpy(to + i, &word, 8);
    memcpy(to + count - 8, &word, 8);
    return;
  }
  if (count >= 4) {
    const uint32_t word = 0x01010101u * static_cast<unsigned char>(c);
    memcpy(to, &word, 4);
    memcpy(to + count - 4, &word, 4);
    return;
  }
  if (count > 0) {
    to[0] = c;
    to[count / 2] = c;
    to[count - 1] = c;
  }
}
