// Security for the named events that client processes of any account must be able to open and
// signal: one DACL entry granting Everyone full access.
#pragma once

#include "handles.h"
#include "win.h"

// Owns the SID, the ACL and the descriptor that `attributes` points at. Stays where it is made:
// `attributes` points into the record itself.
struct EveryoneAccess {
  AllocatedSid everyone;
  LocalMemory acl;
  SECURITY_DESCRIPTOR descriptor = {};
  SECURITY_ATTRIBUTES attributes = {};  // not inheritable

  EveryoneAccess() = default;
  EveryoneAccess(const EveryoneAccess&) = delete;
  EveryoneAccess& operator=(const EveryoneAccess&) = delete;
};

// Builds the descriptor: Everyone (S-1-1-0), access 0x1FFFFF, SET_ACCESS, no inheritance.
// False with the Windows error in the last-error value.
bool InitEveryoneAccess(EveryoneAccess& access);
