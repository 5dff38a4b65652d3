// Reference counting: the fatal ends of Link and Unlink.
#include "reference.h"

#include "error.h"

void ReferenceLinkFailed(const void* object, int32_t count) {
  FatalError("Reference::Link: %p: Invalid reference count (%d)", object, static_cast<int>(count));
}

void ReferenceUnlinkFailed(const void* object, int32_t count) {
  FatalError("Reference::Unlink: %p: Invalid reference count (%d)", object, static_cast<int>(count));
}
