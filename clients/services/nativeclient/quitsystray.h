// Making the client's tray process and every registered CX process go away: ask the tray to
// quit, then watch the windows vanish within one shared budget of 25 seconds.
#pragma once

#include "str.h"

#include <cstdint>

#include <vector>

struct CxRegistration {
  Str domainHref;
  Str userId;
};

// The registered accounts, read fresh: one key per domain below HKEY_COMPANY\VennacorCloudCX
// with "DomainHref", one key per user below it with "UserId", walked by the subkey count the
// registry reports. Keys without these values, and keys whose names cannot be read, are skipped.
std::vector<CxRegistration> ReadCxRegistrations();

// True when the tray process and every registered CX process are gone (or were never there);
// false when the time limit was reached first. Nothing is ever terminated by force. `spentMs` is
// the part of the 25 seconds that the caller has used already.
bool QuitSystray(uint32_t spentMs = 0);
