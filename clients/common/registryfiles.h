// The few registry reads and path operations the partner invoker and the shutdown of the client
// processes need, behind one seam each. They follow the base library's registry access and
// path grammar; once the library carries RegistryPath, ReadRegistryText, SubkeyNameAt and the
// path operations, each body becomes one call into it.
#pragma once

#include "str.h"

#include <cstdint>

// Text value `valueName` of the key `path`; "HKEY_COMPANY\..." reads below
// HKEY_CURRENT_USER\Software\Vennacor. REG_SZ, REG_EXPAND_SZ (expanded) and REG_BINARY read as UTF-16 text; a missing
// key or value, or any other type, gives the empty text.
Str ReadCompanyText(const Str& path, const char* valueName);
// The number of subkeys of `path` (0 when the key cannot be opened for reading).
uint32_t CompanySubkeyCount(const Str& path);
// The name of subkey `index` of `path`; empty on any failure.
Str CompanySubkeyNameAt(const Str& path, uint32_t index);

// The absolute form of a path that names a file ("\" and "/" accepted, "." and ".." resolved);
// empty when the path is invalid or ends in a separator, "." or "..".
Str NormalizeFilePath(const Str& path);
// The path without its last component / the last component.
Str DirectoryOf(const Str& path);
Str FileNameOf(const Str& path);
// GetFileAttributesW succeeds and the directory attribute is clear.
bool FileExists(const Str& path);
// The text between two double quotes (no escaping).
Str QuotePath(const Str& path);
