// Test helpers for the held drop and update folders.
#pragma once

#include "packagefiles.h"
#include "str.h"

namespace test {

// Empties `folder` through its handle, so that files a path cannot name (NUL.pending) go too.
inline void EmptyHeldFolder(const Str& folder) {
  HeldFolder held;
  PathList names;
  if (!held.Open(folder) || !held.ListFileNames(&names)) return;
  for (uint32_t i = 0; i < names.Length(); ++i) held.DeleteEntry(names[i]);
}

}  // namespace test
