// Private to the base library: copying of the short runs that texts are built from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Copies `count` bytes between buffers that do not overlap. Short runs are copied here in
// words: a call of the runtime's memcpy costs more than such a copy (under Wine several times
// more, whatever the size). Long runs still take the call.
inline void CopyShort(char* to, const char* from, size_t count) {
  if (count > 64) {
    memcpy(to, from, count);
    return;
  }
  for (; count >= 8; count -= 8, to += 8, from += 8) {
    uint64_t word;
    memcpy(&word, from, 8);
    memcpy(to, &word, 8);
  }
  for (; count; --count) *to++ = *from++;
}
