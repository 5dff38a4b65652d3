// Registry access by path text: parsing, key opening (including the classes-root create rule)
// and the self-contained value operations.
#include "registry.h"

#include "directories.h"
#include "paths.h"
#include "widetext.h"

#include <cstring>
#include <utility>

namespace {

constexpr REGSAM kCreateAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;  // 0x2001F

struct RootName {
  const char* name;
  HKEY key;
};
const RootName kRoots[] = {
    {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKEY_USERS", HKEY_USERS},
    {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    {"HKEY_DYN_DATA", HKEY_DYN_DATA},
};

const char kCompanyKey[] = "Software\\Vennacor";

// Well-known subkeys below HKEY_CLASSES_ROOT whose direct children are registered as a unit
// (a class id, an interface, a MIME type ...). Searched from the last entry to the first, so
// that a longer entry wins over its own prefix.
const char* const kClassesAnchors[] = {
    "AppID",
    "ClsID",
    "Component Categories",
    "Drive",
    "Drive\\shellex",
    "Drive\\shellex\\ContextMenuHandlers",
    "Drive\\shellex\\PropertyShellHandlers",
    "FileType",
    "Folder",
    "Folder\\shellex",
    "Folder\\shellex\\ColumnHandler",
    "Folder\\shellex\\ContextMenuHandlers",
    "Folder\\shellex\\ExtShellFolderViews",
    "Folder\\shellex\\PropertySheetHandlers",
    "Installer\\Components",
    "Installer\\Features",
    "Installer\\Products",
    "Interface",
    "Mime",
    "Mime\\Database",
    "Mime\\Database\\Charset",
    "Mime\\Database\\Codepage",
    "Mime\\Database\\Content Type",
    "Typelib",
};

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(const Str& text, const char* prefix) {
  size_t n = strlen(prefix);
  if (text.Length() < n) return false;
  const char* t = text.c_str();
  for (size_t i = 0; i < n; ++i)
    if (AsciiLower(t[i]) != AsciiLower(prefix[i])) return false;
  return true;
}

Str WithoutTrailingBackslashes(const Str& text) {
  uint32_t n = text.Length();
  while (n > 0 && text[n - 1] == '\\') --n;
  return Left(text, n);
}

Str JoinKey(const Str& a, const Str& b) {
  if (a.IsEmpty()) return b;
  if (b.IsEmpty()) return a;
  Str joined = Concat(a, '\\');
  joined.Append(b);
  return joined;
}

// "." and this machine's own names mean the local registry. Connecting to them would go
// through the remote registry service for nothing (and fails under Wine for ".").
bool IsOwnMachineName(const Str& name) {
  if (name == ".") return true;
  WStr wide;
  if (!ToWide(name, &wide)) return false;
  const COMPUTER_NAME_FORMAT formats[] = {ComputerNameNetBIOS, ComputerNameDnsHostname,
                                          ComputerNameDnsFullyQualified};
  for (COMPUTER_NAME_FORMAT format : formats) {
    wchar_t own[256];
    DWORD n = 256;
    if (::GetComputerNameExW(format, own, &n) && n > 0 &&
        ::CompareStringOrdinal(wide.c_str(), -1, own, static_cast<int>(n), TRUE) == CSTR_EQUAL)
      return true;
  }
  return false;
}

// "Software\Vennacor\<PROGRAM>"; empty when the program's name cannot be read, so that the
// path fails instead of silently addressing the company key itself.
Str ApplicationKey() {
  Str name = BaseNameOf(GetProgramPath());
  if (name.IsEmpty()) return Str();
  ToUpper(name);
  return JoinKey(Str(kCompanyKey), name);
}

LONG CreateKey(HKEY parent, const Str& subkey, RegistryView view, RegKey* key) {
  WStr wide;
  if (!ToWide(subkey, &wide)) return ERROR_NO_UNICODE_TRANSLATION;
  return ::RegCreateKeyExW(parent, wide.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, kCreateAccess | view, nullptr,
                           key->Receive(), nullptr);
}

// HKEY_CLASSES_ROOT is a merged view of the per-user and the per-machine classes; creating
// through it lands wherever Windows decides. Registrations stay in one place instead: a unit
// (such as CLSID\{id}) that the user already registered is extended there, anything else goes
// to the machine's classes, or to the user's when the machine's cannot be written.
LONG CreateClassesKey(const Str& subkey, RegistryView view, RegKey* key) {
  uint32_t length = subkey.Length();
  uint32_t anchorEnd = 0;
  bool matched = false;
  for (size_t i = sizeof kClassesAnchors / sizeof kClassesAnchors[0]; i-- > 0;) {
    const char* anchor = kClassesAnchors[i];
    uint32_t n = static_cast<uint32_t>(strlen(anchor));
    // Only whole components match: "Drivers\x" is not below "Drive".
    if (!StartsWithNoCase(subkey, anchor) || (length > n && subkey[n] != '\\')) continue;
    if (length == n) {
      anchorEnd = n;
    } else {
      int32_t next = subkey.Find('\\', n + 1);
      anchorEnd = next < 0 ? length : static_cast<uint32_t>(next);
    }
    matched = true;
    break;
  }
  if (!matched) {
    int32_t first = subkey.Find('\\');
    anchorEnd = first < 0 ? length : static_cast<uint32_t>(first);
  }
  Str anchor = JoinKey(Str("Software\\Classes"), Left(subkey, anchorEnd));
  Str rest = anchorEnd < length ? Mid(subkey, anchorEnd + 1, length) : Str();

  WStr wideAnchor;
  if (!ToWide(anchor, &wideAnchor)) return ERROR_NO_UNICODE_TRANSLATION;
  RegKey user;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, wideAnchor.c_str(), 0, kCreateAccess | view, user.Receive()) ==
      ERROR_SUCCESS) {
    if (rest.IsEmpty()) {
      *key = std::move(user);
      return ERROR_SUCCESS;
    }
    return CreateKey(user.Get(), rest, view, key);
  }
  Str full = JoinKey(anchor, rest);
  LONG result = CreateKey(HKEY_LOCAL_MACHINE, full, view, key);
  if (result == ERROR_SUCCESS) return result;
  return CreateKey(HKEY_CURRENT_USER, full, view, key);
}

bool Fail(LONG result) {
  ::SetLastError(static_cast<DWORD>(result));
  return false;
}

bool OpenForValue(const Str& path, const Str& subkey, const Str& valueName, RegistryAccess access,
                  RegistryView view, RegistryKey* key, WStr* wideName) {
  return ToWide(valueName, wideName) && OpenRegistryKey(ParseRegistryPath(path, subkey), access, view, key);
}

bool ExpandText(const wchar_t* text, WStr* expanded) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD needed = ::ExpandEnvironmentStringsW(text, nullptr, 0);
    if (needed == 0) return false;
    WStr buffer;
    wchar_t* out = buffer.GetBuffer(needed);
    if (!out) return false;
    DWORD n = ::ExpandEnvironmentStringsW(text, out, needed);
    if (n == 0) return false;
    // The environment may have grown between the two calls.
    if (n <= needed) {
      *expanded = std::move(buffer);
      return true;
    }
  }
  ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return false;
}

// The text of a REG_SZ, REG_EXPAND_SZ or REG_BINARY value. The stored data need not end with a
// terminator, may have an odd size and may change between the size query and the read.
bool QueryText(HKEY key, const WStr& name, bool isDefaultValue, Str* text) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD type = 0, size = 0;
    LONG result = ::RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS) return Fail(result);
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_BINARY) return Fail(ERROR_INVALID_DATATYPE);
    if (isDefaultValue && size < 2) return Fail(ERROR_NOT_FOUND);
    WStr buffer;
    wchar_t* data = buffer.GetBuffer(size / 2 + 1);
    if (!data) return false;
    DWORD got = size;
    result = ::RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &got);
    if (result == ERROR_MORE_DATA) continue;
    if (result != ERROR_SUCCESS) return Fail(result);
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_BINARY) return Fail(ERROR_INVALID_DATATYPE);
    data[got / 2] = 0;
    if (data[0] == 0) {
      *text = Str();
      return true;
    }
    const wchar_t* source = data;
    WStr expanded;
    if (type == REG_EXPAND_SZ) {
      if (!ExpandText(data, &expanded)) return false;
      source = expanded.c_str();
    }
    if (source[0] == 0) {
      *text = Str();
      return true;
    }
    Str converted = Str::FromUtf16(source, -1);
    if (converted.IsEmpty()) return false;  // not well-formed UTF-16; the converter set the error
    *text = std::move(converted);
    return true;
  }
  return Fail(ERROR_MORE_DATA);
}

// An unsigned 32-bit decimal number, blanks around it allowed; no sign, no overflow.
bool ParseNumber(const Str& text, uint32_t* number) {
  Str trimmed = Trim(text);
  uint32_t n = trimmed.Length();
  if (n == 0) return false;
  uint64_t value = 0;
  for (uint32_t i = 0; i < n; ++i) {
    char c = trimmed[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > 0xFFFFFFFFull) return false;
  }
  *number = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

HKEY RegistryRootKey(const Str& rootName) {
  for (const RootName& root : kRoots)
    if (rootName == root.name) return root.key;
  return nullptr;
}

RegistryPath ParseRegistryPath(const Str& path, const Str& subkey) {
  const Str& text = path.IsEmpty() ? subkey : path;
  Str extra = path.IsEmpty() ? Str() : WithoutTrailingBackslashes(subkey);
  RegistryPath result;
  uint32_t length = text.Length();
  uint32_t position = 0;
  if (length >= 2 && text[0] == '\\' && text[1] == '\\') {
    int32_t end = text.Find('\\', 2);
    if (end <= 2) return result;  // no root after the machine name, or an empty machine name
    result.machine = Mid(text, 2, static_cast<uint32_t>(end) - 2);
    if (IsOwnMachineName(result.machine)) result.machine = Str();
    position = static_cast<uint32_t>(end) + 1;
  }
  int32_t slash = text.Find('\\', position);
  uint32_t rootEnd = slash < 0 ? length : static_cast<uint32_t>(slash);
  Str rootName = Mid(text, position, rootEnd - position);
  Str rest = rootEnd < length ? WithoutTrailingBackslashes(Mid(text, rootEnd + 1, length)) : Str();
  rest = JoinKey(rest, extra);

  Str prefix;
  if (rootName == "HKEY_COMPANY") {
    prefix = Str(kCompanyKey);
  } else if (rootName == "HKEY_ENVIRONMENT") {
    prefix = Str("Software\\Vennacor\\Environment");
  } else if (rootName == "HKEY_APPLICATION") {
    prefix = ApplicationKey();
    if (prefix.IsEmpty()) return result;
  } else {
    if (RegistryRootKey(rootName)) result.root = rootName;
    result.subkey = rest;
    return result;
  }
  result.root = Str("HKEY_CURRENT_USER");
  result.subkey = JoinKey(prefix, rest);
  return result;
}

bool OpenRegistryKey(const RegistryPath& path, RegistryAccess access, RegistryView view, RegistryKey* key) {
  key->owned.Reset();
  key->handle = nullptr;
  HKEY root = RegistryRootKey(path.root);
  if (!root) return Fail(ERROR_INVALID_PARAMETER);
  // A connected remote root is closed when this function ends; the subkey opened below it
  // stays valid on its own.
  RegKey remote;
  if (!path.machine.IsEmpty()) {
    WStr machine;
    if (!ToWide(Concat(Str("\\\\"), path.machine), &machine)) return false;
    LONG result = ::RegConnectRegistryW(machine.c_str(), root, remote.Receive());
    if (result != ERROR_SUCCESS) return Fail(result);
    root = remote.Get();
  }
  if (path.subkey.IsEmpty()) {
    if (remote.IsValid()) {
      key->owned = std::move(remote);
      key->handle = key->owned.Get();
    } else {
      key->handle = root;
    }
    return true;
  }
  LONG result;
  if (access == RegistryRead) {
    WStr subkey;
    if (!ToWide(path.subkey, &subkey)) return false;
    result = ::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | view, key->owned.Receive());
  } else if (root == HKEY_CLASSES_ROOT) {
    result = CreateClassesKey(path.subkey, view, &key->owned);
  } else {
    result = CreateKey(root, path.subkey, view, &key->owned);
  }
  if (result != ERROR_SUCCESS) {
    key->owned.Reset();
    return Fail(result);
  }
  key->handle = key->owned.Get();
  return true;
}

bool OpenRegistryKey(const Str& path, RegistryAccess access, RegistryView view, RegistryKey* key) {
  return OpenRegistryKey(ParseRegistryPath(path), access, view, key);
}

bool RegistryValueExists(const Str& path, const Str& valueName, RegistryView view) {
  RegistryKey key;
  WStr name;
  if (!OpenForValue(path, Str(), valueName, RegistryRead, view, &key, &name)) return false;
  DWORD type = 0, size = 0;
  LONG result = ::RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, nullptr, &size);
  if (result != ERROR_SUCCESS) return Fail(result);
  if (valueName.IsEmpty()) {
    bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    if (text ? size < 2 : size == 0) return Fail(ERROR_NOT_FOUND);
  }
  return true;
}

Str ReadRegistryText(const Str& path, const Str& subkey, const Str& valueName, const Str& defaultText,
                     RegistryView view) {
  RegistryKey key;
  WStr name;
  if (!OpenForValue(path, subkey, valueName, RegistryRead, view, &key, &name)) return defaultText;
  Str text;
  if (!QueryText(key.Get(), name, valueName.IsEmpty(), &text)) return defaultText;
  return text;
}

uint32_t ReadRegistryNumber(const Str& path, const Str& subkey, const Str& valueName, uint32_t defaultNumber,
                            RegistryNumberForm form, RegistryView view) {
  if (form == RegistryNumberText) {
    Str text = ReadRegistryText(path, subkey, valueName, Str(), view);
    if (text.IsEmpty()) return defaultNumber;
    uint32_t number = 0;
    if (!ParseNumber(text, &number)) {
      ::SetLastError(ERROR_INVALID_DATA);
      return defaultNumber;
    }
    return number;
  }
  RegistryKey key;
  WStr name;
  if (!OpenForValue(path, subkey, valueName, RegistryRead, view, &key, &name)) return defaultNumber;
  DWORD type = 0, value = 0, size = sizeof value;
  LONG result = ::RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  if (result != ERROR_SUCCESS) {
    Fail(result);
    return defaultNumber;
  }
  if (type != REG_DWORD || size != sizeof value) {
    Fail(ERROR_INVALID_DATATYPE);
    return defaultNumber;
  }
  return value;
}

bool WriteRegistryText(const Str& path, const Str& subkey, const Str& valueName, const Str& text,
                       RegistryView view) {
  WStr wide;
  if (!ToWide(text, &wide)) return false;
  RegistryKey key;
  WStr name;
  if (!OpenForValue(path, subkey, valueName, RegistryCreate, view, &key, &name)) return false;
  DWORD bytes = (wide.Length() + 1) * sizeof(wchar_t);
  LONG result = ::RegSetValueExW(key.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                                 bytes);
  if (result != ERROR_SUCCESS) return Fail(result);
  return true;
}

bool WriteRegistryNumber(const Str& path, const Str& subkey, const Str& valueName, uint32_t number,
                         RegistryNumberForm form, RegistryView view) {
  if (form == RegistryNumberText) {
    char digits[16];
    snprintf(digits, sizeof digits, "%lu", static_cast<unsigned long>(number));
    return WriteRegistryText(path, subkey, valueName, Str(digits), view);
  }
  RegistryKey key;
  WStr name;
  if (!OpenForValue(path, subkey, valueName, RegistryCreate, view, &key, &name)) return false;
  DWORD value = number;
  LONG result =
      ::RegSetValueExW(key.Get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  if (result != ERROR_SUCCESS) return Fail(result);
  return true;
}

Str SubkeyNameAt(const Str& path, uint32_t index, RegistryView view) {
  RegistryKey key;
  if (!OpenRegistryKey(path, RegistryRead, view, &key)) return Str();
  DWORD longest = 0;
  LONG result = ::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, &longest, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr);
  if (result != ERROR_SUCCESS) {
    Fail(result);
    return Str();
  }
  // Another process may add a longer name between the two calls.
  DWORD size = longest + 1;
  for (int attempt = 0; attempt < 4; ++attempt) {
    WStr buffer;
    wchar_t* name = buffer.GetBuffer(size);
    if (!name) return Str();
    DWORD n = size;
    result = ::RegEnumKeyExW(key.Get(), index, name, &n, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_SUCCESS) return n ? Str::FromUtf16(name, static_cast<int>(n)) : Str();
    if (result != ERROR_MORE_DATA) break;
    size = size * 2 > 256 ? size * 2 : 256;
  }
  Fail(result);
  return Str();
}

Str GetEnvironmentSetting(const Str& name) {
  if (name.IsEmpty()) return Str();
  WStr wide;
  if (!ToWide(name, &wide)) return Str();
  Str value = FillWide(256, false, [&](wchar_t* buffer, DWORD size) {
    return ::GetEnvironmentVariableW(wide.c_str(), buffer, size);
  });
  if (!value.IsEmpty()) return value;
  return ReadRegistryText(Concat(Str("HKEY_ENVIRONMENT\\"), name), Str(), Str(), Str());
}
