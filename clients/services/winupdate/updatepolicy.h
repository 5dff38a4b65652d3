// The Group Policy values the update pass obeys. The administrative template
// (packaging/policy/Cindravale.admx) writes exactly these names; its test reads them from here.
#pragma once

#include "servicestep.h"

// REG_DWORD: 0 switches updates off; a missing value or any other number leaves them on.
inline constexpr PolicySetting kAutoUpdate = {"HKEY_LOCAL_MACHINE\\Software\\Policies\\Vennacor\\NativeClient\\Cloud",
                                              "AUTOUPDATE"};
// Text: read only by the product variant without a built-in update channel.
inline constexpr PolicySetting kAutoUpdateUrl = {
    "HKEY_LOCAL_MACHINE\\Software\\Policies\\Vennacor\\NativeClient\\Cloud", "AUTOUPDATE_URL"};
