// Registry access by one text path: "[\\machine\]ROOT[\subkey]".
//
// ROOT is one of the seven Windows root names ("HKEY_LOCAL_MACHINE", ...; exact letter case) or
// one of the library's virtual roots below HKEY_CURRENT_USER:
//   "HKEY_COMPANY"      Software\Vennacor
//   "HKEY_ENVIRONMENT"  Software\Vennacor\Environment
//   "HKEY_APPLICATION"  Software\Vennacor\<program file's base name in upper case>
// Each value operation opens its key, does one query or write and closes the key again. Reads
// answer their default and writes false on failure; the Windows error stays in the thread's
// last-error value. Nothing keeps state between calls; every function may run on any thread.
#pragma once

#include "handles.h"
#include "str.h"
#include "win.h"

#include <cstdint>

// The parsed form of a path text.
struct RegistryPath {
  Str machine;  // empty for the local machine (also for "." and this machine's own name)
  Str root;     // one of the seven Windows root names; empty when the path names none
  Str subkey;   // without leading or trailing backslash; virtual roots are resolved into it
};

enum RegistryAccess : uint8_t {
  RegistryRead = 0,    // KEY_READ, RegOpenKeyExW
  RegistryCreate = 1,  // KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY, RegCreateKeyExW
};

enum RegistryView : uint32_t {
  RegistryViewDefault = 0,
  RegistryView64 = KEY_WOW64_64KEY,
  RegistryView32 = KEY_WOW64_32KEY,
};

// How a number is stored: REG_DWORD, or decimal text in a REG_SZ value.
enum RegistryNumberForm : uint8_t {
  RegistryNumberDword = 0,
  RegistryNumberText = 1,
};

// Parses `path`; when `subkey` is not empty it is appended to the path's subkey with one
// backslash (an empty `path` makes `subkey` the path text instead). An unknown root leaves
// `root` empty, and every operation on such a path fails with ERROR_INVALID_PARAMETER.
RegistryPath ParseRegistryPath(const Str& path, const Str& subkey = Str());

// The predefined key of a Windows root name; null for anything else.
HKEY RegistryRootKey(const Str& rootName);

// An open key: either a key the operation opened (owned, closed by the owner) or one of the
// predefined root keys, which are never closed.
struct RegistryKey {
  RegKey owned;
  HKEY handle = nullptr;

  HKEY Get() const noexcept { return handle; }
  bool IsValid() const noexcept { return handle != nullptr; }
  // Whether the caller's owner closes the key (false for a local predefined root).
  bool MustClose() const noexcept { return owned.IsValid(); }
};

// Opens (or in create mode creates) the key of `path`. With an empty subkey the root key
// itself is the result. Create mode below HKEY_CLASSES_ROOT writes to the per-user or the
// per-machine classes (see registry.cpp). False with the Windows error on failure.
bool OpenRegistryKey(const RegistryPath& path, RegistryAccess access, RegistryView view, RegistryKey* key);
bool OpenRegistryKey(const Str& path, RegistryAccess access, RegistryView view, RegistryKey* key);

// True when the value can be queried (any type). The default value (empty `valueName`) counts
// as missing when it holds a text shorter than one character or an empty value of another type.
bool RegistryValueExists(const Str& path, const Str& valueName, RegistryView view = RegistryViewDefault);

// A REG_SZ, REG_EXPAND_SZ (expanded) or REG_BINARY value read as UTF-16 text, in UTF-8. A
// missing key or value, another type, or text that is not well-formed UTF-16 gives
// `defaultText`; so does an empty default value (ERROR_NOT_FOUND).
Str ReadRegistryText(const Str& path, const Str& subkey, const Str& valueName, const Str& defaultText,
                     RegistryView view = RegistryViewDefault);

// Dword form: a REG_DWORD of 4 bytes, else `defaultNumber`. Text form: the text value parsed as
// an unsigned 32-bit decimal number (surrounding blanks allowed), else `defaultNumber`.
uint32_t ReadRegistryNumber(const Str& path, const Str& subkey, const Str& valueName, uint32_t defaultNumber,
                            RegistryNumberForm form, RegistryView view = RegistryViewDefault);

// Writes a REG_SZ value (with its terminating zero), creating keys as needed.
bool WriteRegistryText(const Str& path, const Str& subkey, const Str& valueName, const Str& text,
                       RegistryView view = RegistryViewDefault);
// Writes a REG_DWORD, or in text form the decimal text as REG_SZ.
bool WriteRegistryNumber(const Str& path, const Str& subkey, const Str& valueName, uint32_t number,
                         RegistryNumberForm form, RegistryView view = RegistryViewDefault);

// The name of the subkey at `index` of the key `path`; empty when there is none.
Str SubkeyNameAt(const Str& path, uint32_t index, RegistryView view = RegistryViewDefault);

// The environment variable `name`; when it is unset or empty, the default value of the key
// "HKEY_ENVIRONMENT\<name>" read as text; empty when neither exists.
Str GetEnvironmentSetting(const Str& name);
