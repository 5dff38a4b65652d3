// Counted arrays of 32-bit and 64-bit elements: the non-template part.
#include "array.h"

#include "error.h"
#include "str.h"
#include "strsize.h"
#include "win.h"

#include <cstring>

ArrayHeader* ArrayAllocate(uint32_t capacity, uint32_t length, size_t elementSize) noexcept {
  if (capacity == 0) return nullptr;
  const size_t size = ArrayBlockSize(capacity, elementSize);
  void* block = AllocParticle(size);
  if (!block) {
    // Unlike the string events, this report leaves the caller's last-error value alone.
    const DWORD error = ::GetLastError();
    ReportLibraryEvent(800, "Array allocation failed",
                       {{"size_bytes", int64_t(capacity)}, {"length", int64_t(length)}});
    ::SetLastError(error);
    return nullptr;
  }
  std::memset(block, 0, size);
  ArrayHeader* h = static_cast<ArrayHeader*>(block);
  h->ref.useCount = 1;
  h->capacity = capacity;
  h->length = length;
  return h;
}

void ArrayFree(ArrayHeader* header, size_t elementSize) noexcept {
  if (header) FreeParticle(ArrayBlockSize(header->capacity, elementSize), header);
}

uint32_t ArrayGrowCapacity(uint32_t length) noexcept { return GrowthCapacity(uint64_t(length) + 1, false); }

void ArrayOverflowFatal(uint32_t length, uint32_t added) {
  ReportLibraryEvent(801, "Array overflow detected", {{"length1", int64_t(length)}, {"length2", int64_t(added)}});
  FatalError("UInt32 overflow");
}

void ArrayAllocationFatal() { FatalError("Could not allocate array"); }
