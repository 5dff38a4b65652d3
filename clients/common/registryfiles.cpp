#include "registryfiles.h"

#include "handles.h"
#include "win.h"

#include <cstring>

namespace {

constexpr char kCompanyRoot[] = "HKEY_COMPANY";
constexpr wchar_t kCompanyPrefix[] = L"Software\\Vennacor";

// Opens `path` below the company root for reading; only that virtual root is needed here.
RegKey OpenCompanyKey(const Str& path) {
  const size_t rootLength = sizeof kCompanyRoot - 1;
  if (strncmp(path.c_str(), kCompanyRoot, rootLength) != 0) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return RegKey();
  }
  const char* rest = path.c_str() + rootLength;
  if (*rest != 0 && *rest != '\\') {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return RegKey();
  }
  WStr subkey(kCompanyPrefix);
  if (*rest) subkey.Append(WStr(rest));
  RegKey key;
  LSTATUS status = ::RegOpenKeyExW(HKEY_CURRENT_USER, subkey.c_str(), 0, KEY_READ, key.Receive());
  if (status != ERROR_SUCCESS) {
    ::SetLastError(static_cast<DWORD>(status));
    return RegKey();
  }
  return key;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

Str ReadCompanyText(const Str& path, const char* valueName) {
  RegKey key = OpenCompanyKey(path);
  if (!key) return Str();
  WStr name(valueName);
  DWORD type = 0, size = 0;
  LSTATUS status = ::RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, nullptr, &size);
  if (status != ERROR_SUCCESS) {
    ::SetLastError(static_cast<DWORD>(status));
    return Str();
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_BINARY) return Str();
  // One character more than the stored size: a value written without its terminator still
  // ends in a zero here.
  uint32_t units = size / 2 + 1;
  WStr text;
  wchar_t* buffer = text.GetBuffer(units);
  if (!buffer) return Str();
  memset(buffer, 0, (size_t(units) + 1) * sizeof(wchar_t));
  DWORD read = size;
  status = ::RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &read);
  if (status != ERROR_SUCCESS) {
    ::SetLastError(static_cast<DWORD>(status));
    return Str();
  }
  if (type == REG_EXPAND_SZ && buffer[0]) {
    DWORD needed = ::ExpandEnvironmentStringsW(buffer, nullptr, 0);
    if (needed == 0) return Str();
    WStr expanded;
    wchar_t* out = expanded.GetBuffer(needed);
    if (!out || ::ExpandEnvironmentStringsW(buffer, out, needed) == 0) return Str();
    return Str::FromUtf16(out);
  }
  return Str::FromUtf16(buffer);
}

uint32_t CompanySubkeyCount(const Str& path) {
  RegKey key = OpenCompanyKey(path);
  DWORD count = 0;
  if (!key || ::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    return 0;
  return count;
}

Str CompanySubkeyNameAt(const Str& path, uint32_t index) {
  RegKey key = OpenCompanyKey(path);
  DWORD longest = 0;
  if (!key || ::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, &longest, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    return Str();
  WStr name;
  DWORD units = longest + 1;
  wchar_t* buffer = name.GetBuffer(units);
  if (!buffer) return Str();
  LSTATUS status = ::RegEnumKeyExW(key.Get(), index, buffer, &units, nullptr, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) {
    ::SetLastError(static_cast<DWORD>(status));
    return Str();
  }
  return Str::FromUtf16(buffer, static_cast<int>(units));
}

Str NormalizeFilePath(const Str& path) {
  const char* text = path.c_str();
  uint32_t length = path.Length();
  if (length == 0 || IsSeparator(text[length - 1])) return Str();
  // The last component must be able to name a file.
  uint32_t start = length;
  while (start > 0 && !IsSeparator(text[start - 1])) --start;
  const char* last = text + start;
  if (strcmp(last, ".") == 0 || strcmp(last, "..") == 0) return Str();
  // Wildcards, quotes and control characters never belong to a file path (after an optional
  // "\\?\" prefix and the drive's colon).
  for (uint32_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || strchr("*?<>|\"", c)) {
      if (c == '?' && i == 2 && strncmp(text, "\\\\?\\", 4) == 0) continue;
      return Str();
    }
    if (c == ':' && i != 1 && !(i == 5 && strncmp(text, "\\\\?\\", 4) == 0)) return Str();
  }
  WStr wide(path);
  wchar_t full[MAX_PATH * 2];
  DWORD n = ::GetFullPathNameW(wide.c_str(), MAX_PATH * 2, full, nullptr);
  if (n == 0 || n >= MAX_PATH * 2) return Str();
  if (n >= 2 && full[1] == L':' && full[0] >= L'a' && full[0] <= L'z') full[0] = static_cast<wchar_t>(full[0] - L'a' + L'A');
  return Str::FromUtf16(full, static_cast<int>(n));
}

Str DirectoryOf(const Str& path) {
  const char* text = path.c_str();
  int32_t cut = -1;
  for (uint32_t i = 0; text[i]; ++i)
    if (IsSeparator(text[i])) cut = static_cast<int32_t>(i);
  return cut < 0 ? Str() : Left(path, static_cast<uint32_t>(cut));
}

Str FileNameOf(const Str& path) {
  const char* text = path.c_str();
  const char* name = text;
  for (const char* p = text; *p; ++p)
    if (IsSeparator(*p)) name = p + 1;
  return Str(name);
}

bool FileExists(const Str& path) {
  DWORD attributes = ::GetFileAttributesW(WStr(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

Str QuotePath(const Str& path) {
  Str quoted("\"");
  quoted.Append(path);
  quoted.Append('"');
  return quoted;
}
