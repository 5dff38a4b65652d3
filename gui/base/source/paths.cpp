// The path grammar (NormalizePath and the joins built on it) and the name helpers.
#include "paths.h"

#include "widetext.h"

#include <cstring>

namespace {

constexpr uint32_t kMaxComponentCharacters = 256;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }
bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool Invalid() {
  ::SetLastError(ERROR_INVALID_NAME);
  return false;
}

// Length of the well-formed UTF-8 sequence at s[0..n), or 0. Overlong forms and encoded
// surrogates are refused here although the library's decoder accepts them: an overlong "/"
// or "." would pass the component check and then turn into a real separator or dot in the
// UTF-16 path that Windows sees.
uint32_t SequenceLength(const unsigned char* s, uint32_t n) {
  unsigned char b = s[0];
  if (b < 0x80) return 1;
  uint32_t length;
  unsigned char low = 0x80, high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (n < length) return 0;
  if (s[1] < low || s[1] > high) return 0;
  for (uint32_t i = 2; i < length; ++i)
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  return length;
}

// A file, folder, server or share name: not empty, no control characters, none of
// ?*<>|":\/, well-formed UTF-8, at most 256 characters.
bool IsValidName(const char* text, uint32_t length) {
  if (length == 0) return false;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  uint32_t characters = 0;
  for (uint32_t i = 0; i < length;) {
    unsigned char c = s[i];
    if (c < 0x20 || (c < 0x80 && strchr("?*<>|\":\\/", c))) return false;
    uint32_t n = SequenceLength(s + i, length - i);
    if (n == 0) return false;
    i += n;
    if (++characters > kMaxComponentCharacters) return false;
  }
  return true;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringAsciiCase(const char* text, uint32_t length, const char* word) {
  uint32_t i = 0;
  for (; i < length && word[i]; ++i)
    if (AsciiLower(text[i]) != word[i]) return false;
  return i == length && word[i] == 0;
}

// Windows opens a device, not a file, for a path whose last component's part before the first
// dot, trailing blanks removed, is a DOS device name: "NUL", "nul.txt", "COM1 .log", "LPT¹".
// A service that writes such a name would write into the device, and could never delete the
// file by its path. Superscript digits one to three count as the digits they look like. The
// grammar refuses such names in every component: a folder of that name could not be created.
bool IsDeviceName(const char* text, uint32_t length) {
  uint32_t base = 0;
  while (base < length && text[base] != '.') ++base;
  while (base > 0 && text[base - 1] == ' ') --base;
  static const char* const kDevices[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  for (const char* device : kDevices)
    if (EqualsIgnoringAsciiCase(text, base, device)) return true;
  if (base < 4 || !(EqualsIgnoringAsciiCase(text, 3, "com") || EqualsIgnoringAsciiCase(text, 3, "lpt"))) return false;
  const unsigned char* digit = reinterpret_cast<const unsigned char*>(text) + 3;
  if (base == 4) return digit[0] >= '0' && digit[0] <= '9';
  // U+00B9, U+00B2, U+00B3 in UTF-8.
  return base == 5 && digit[0] == 0xC2 && (digit[1] == 0xB9 || digit[1] == 0xB2 || digit[1] == 0xB3);
}

// A file or folder name: a valid name that Windows takes as it stands. A name that ends in a dot
// or a blank loses them on the way to the file system ("a." opens "a"), and a device name opens
// the device.
bool IsValidComponent(const char* text, uint32_t length) {
  if (!IsValidName(text, length)) return false;
  char last = text[length - 1];
  return last != '.' && last != ' ' && !IsDeviceName(text, length);
}

bool IsOnlyDots(const char* text, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i)
    if (text[i] != '.') return false;
  return true;
}

// A path being built: its root ("C:" or "\\server\share") and its components joined by "\".
struct Resolved {
  Str root;
  Str body;
};

// Adds the components of text[i..n) to `into`. False when a component is invalid.
bool AddComponents(const char* text, uint32_t i, uint32_t n, Resolved* into) {
  while (i < n) {
    while (i < n && IsSeparator(text[i])) ++i;
    uint32_t start = i;
    while (i < n && !IsSeparator(text[i])) ++i;
    uint32_t length = i - start;
    if (length == 0) break;
    const char* component = text + start;
    if (length == 1 && component[0] == '.') continue;
    if (length == 2 && component[0] == '.' && component[1] == '.') {
      // ".." at the root stays at the root, as Windows resolves it.
      int32_t last = into->body.FindLast('\\');
      into->body = last < 0 ? Str() : Left(into->body, static_cast<uint32_t>(last));
      continue;
    }
    if (!IsValidComponent(component, length)) return Invalid();
    if (!into->body.IsEmpty()) into->body.Append('\\');
    into->body.Append(component, length);
  }
  return true;
}

// Reads "\\server\share" from text[i..n) (i just after the two separators).
bool ReadNetworkRoot(const char* text, uint32_t* i, uint32_t n, Resolved* into) {
  uint32_t serverStart = *i;
  uint32_t j = serverStart;
  while (j < n && !IsSeparator(text[j])) ++j;
  uint32_t serverLength = j - serverStart;
  if (j >= n) return Invalid();
  uint32_t shareStart = j + 1;
  uint32_t k = shareStart;
  while (k < n && !IsSeparator(text[k])) ++k;
  uint32_t shareLength = k - shareStart;
  const char* server = text + serverStart;
  const char* share = text + shareStart;
  if (!IsValidName(server, serverLength) || IsOnlyDots(server, serverLength) || !IsValidName(share, shareLength) ||
      IsOnlyDots(share, shareLength))
    return Invalid();
  into->root = Str("\\\\");
  into->root.Append(server, serverLength);
  into->root.Append('\\');
  into->root.Append(share, shareLength);
  *i = k;
  return true;
}

// The root and components of an absolute path (a drive or network root is required).
bool ResolveAbsolute(const Str& path, Resolved* into) {
  const char* text = path.c_str();
  uint32_t n = path.Length();
  uint32_t i = 0;
  if (n >= 2 && IsAsciiLetter(text[0]) && text[1] == ':') {
    char drive[3] = {AsciiUpper(text[0]), ':', 0};
    into->root = Str(drive);
    i = 2;
  } else if (n >= 2 && IsSeparator(text[0]) && IsSeparator(text[1])) {
    i = 2;
    if (!ReadNetworkRoot(text, &i, n, into)) return false;
  } else {
    return Invalid();
  }
  return AddComponents(text, i, n, into);
}

// The current directory; of the given drive when `drive` is not 0.
bool ResolveCurrentDirectory(char drive, Resolved* into) {
  Str current;
  if (drive) {
    // GetFullPathNameW of "X:" alone answers the current directory of drive X.
    wchar_t name[3] = {static_cast<wchar_t>(drive), L':', 0};
    current = FillWide(MAX_PATH + 1, false,
                       [&](wchar_t* buffer, DWORD size) { return ::GetFullPathNameW(name, size, buffer, nullptr); });
  } else {
    current = FillWide(MAX_PATH + 1, false,
                       [](wchar_t* buffer, DWORD size) { return ::GetCurrentDirectoryW(size, buffer); });
  }
  if (current.IsEmpty()) return false;
  return ResolveAbsolute(current, into);
}

}  // namespace

Str NormalizePath(const Str& path, bool fileOnly) {
  const char* text = path.c_str();
  uint32_t n = path.Length();
  if (n == 0) {
    Invalid();
    return Str();
  }
  Resolved resolved;
  uint32_t i = 0;
  bool ok;
  if (n >= 4 && memcmp(text, "\\\\?\\", 4) == 0) {
    // A long-path prefix says "take the rest literally": it must be followed by a drive root
    // or UNC\server\share; anything else (volume names, device paths) is not a file path here.
    i = 4;
    if (n - i >= 4 && _strnicmp(text + i, "UNC\\", 4) == 0) {
      i += 4;
      ok = ReadNetworkRoot(text, &i, n, &resolved) && AddComponents(text, i, n, &resolved);
    } else if (n - i >= 3 && IsAsciiLetter(text[i]) && text[i + 1] == ':' && IsSeparator(text[i + 2])) {
      char drive[3] = {AsciiUpper(text[i]), ':', 0};
      resolved.root = Str(drive);
      ok = AddComponents(text, i + 2, n, &resolved);
    } else {
      ok = Invalid();
    }
  } else if (n >= 2 && IsAsciiLetter(text[0]) && text[1] == ':') {
    if (n >= 3 && IsSeparator(text[2])) {
      char drive[3] = {AsciiUpper(text[0]), ':', 0};
      resolved.root = Str(drive);
      ok = AddComponents(text, 2, n, &resolved);
    } else {
      ok = ResolveCurrentDirectory(AsciiUpper(text[0]), &resolved) && AddComponents(text, 2, n, &resolved);
    }
  } else if (n >= 2 && IsSeparator(text[0]) && IsSeparator(text[1])) {
    i = 2;
    ok = ReadNetworkRoot(text, &i, n, &resolved) && AddComponents(text, i, n, &resolved);
  } else if (IsSeparator(text[0])) {
    ok = ResolveCurrentDirectory(0, &resolved);
    resolved.body = Str();
    ok = ok && AddComponents(text, 0, n, &resolved);
  } else {
    ok = ResolveCurrentDirectory(0, &resolved) && AddComponents(text, 0, n, &resolved);
  }
  if (!ok) return Str();

  if (fileOnly) {
    bool endsWithDots = (n >= 1 && text[n - 1] == '.' && (n == 1 || IsSeparator(text[n - 2]) || text[n - 2] == ':')) ||
                        (n >= 2 && text[n - 2] == '.' && text[n - 1] == '.' &&
                         (n == 2 || IsSeparator(text[n - 3]) || text[n - 3] == ':'));
    if (IsSeparator(text[n - 1]) || endsWithDots || resolved.body.IsEmpty()) {
      Invalid();
      return Str();
    }
  }
  Str result = resolved.root;
  if (resolved.body.IsEmpty()) {
    if (resolved.root[1] == ':') result.Append('\\');
    return result;
  }
  result.Append('\\');
  result.Append(resolved.body);
  return result;
}

bool AppendPathComponent(Str& path, const Str& name) {
  if (path.IsEmpty() || name.IsEmpty()) return Invalid();
  Str joined = NormalizePath(PlainJoin(path, name), false);
  if (joined.IsEmpty()) return false;
  path = joined;
  return true;
}

Str JoinFilePath(const Str& directory, const Str& name) {
  if (directory.IsEmpty() || name.IsEmpty()) {
    Invalid();
    return Str();
  }
  return NormalizePath(PlainJoin(directory, name), true);
}

bool IsValidFileName(const Str& name) {
  const char* text = name.c_str();
  uint32_t length = name.Length();
  for (uint32_t i = 0; i < length; ++i)
    if (IsSeparator(text[i])) return Invalid();
  if (!IsValidComponent(text, length)) return Invalid();
  return true;
}

Str PlainJoin(const Str& directory, const Str& name) {
  Str joined = Concat(directory, '\\');
  joined.Append(name);
  return joined;
}

Str AddTrailingSeparator(const Str& text) {
  uint32_t n = text.Length();
  if (n > 0 && IsSeparator(text[n - 1])) return text;
  return Concat(text, '\\');
}

Str FileNameOf(const Str& path) {
  const char* text = path.c_str();
  uint32_t n = path.Length();
  uint32_t start = n;
  while (start > 0 && !IsSeparator(text[start - 1])) --start;
  return start == 0 ? path : Mid(path, start, n - start);
}

Str BaseNameOf(const Str& path) {
  Str name = FileNameOf(path);
  int32_t dot = name.FindLast('.');
  if (dot <= 0) return name;
  return Left(name, static_cast<uint32_t>(dot));
}

Str DirectoryOf(const Str& path) {
  const char* text = path.c_str();
  uint32_t n = path.Length();
  uint32_t last = n;
  while (last > 0 && !IsSeparator(text[last - 1])) --last;
  if (last == 0) return Str();
  uint32_t cut = last - 1;
  while (cut > 0 && IsSeparator(text[cut - 1])) --cut;
  // Keep the separator that makes a root a root: "\x" -> "\", "C:\x" -> "C:\".
  if (cut == 0) cut = 1;
  else if (cut == 2 && text[1] == ':') cut = 3;
  return Left(path, cut);
}

Str PathBelow(const Str& path, const Str& directory) {
  if (directory.IsEmpty()) return Str();
  WStr widePath(path);
  WStr wideDirectory(AddTrailingSeparator(directory));
  uint32_t prefix = wideDirectory.Length();
  uint32_t length = widePath.Length();
  if (length <= prefix) return Str();
  if (::CompareStringW(::GetThreadLocale(), NORM_IGNORECASE, widePath.c_str(), static_cast<int>(prefix),
                       wideDirectory.c_str(), static_cast<int>(prefix)) != CSTR_EQUAL)
    return Str();
  return Str::FromUtf16(widePath.c_str() + prefix, static_cast<int>(length - prefix));
}

Str QuotePath(const Str& text) {
  Str quoted("\"");
  quoted.Append(text);
  quoted.Append('"');
  return quoted;
}
