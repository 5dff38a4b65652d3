// The two states of the drop folder that the update service reports to the event log: a folder
// that is a reparse point (not worked on), and a folder whose owner is neither LocalSystem, the
// Administrators group nor the service's own account (still worked on: the client may have made
// it, and refusing it would stop every update, but its owner can change its protection and
// redirect it). Each is reported once when it begins, not on every pass.
#pragma once

#include "str.h"
#include "win.h"

// True for LocalSystem, BUILTIN\Administrators and the account this process runs as.
bool IsTrustedFolderOwner(PSID owner);

// Called once per pass with what the pass found: whether the folder is a reparse point, and its
// owner (null when the platform reports none). Writes one warning naming the folder and the
// reason when a state begins: the folder becomes a reparse point, or it gets an untrusted owner
// other than the one last reported. A state that ends is forgotten, so that it is reported again
// when it comes back. Runs on the service thread only.
void NoteDropFolderState(const Str& folder, bool isReparsePoint, PSID owner);
