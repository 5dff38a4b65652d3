// The path grammar and the name helpers. Paths are UTF-8 Str values that accept "\" and "/"
// as separators and are written with "\". Nothing here touches the file system except the
// current directory, which relative paths are resolved against.
#pragma once

#include "str.h"

// The absolute form of `path`, or the empty path when `path` is invalid:
//  - roots: "X:" (drive letter upper-cased), "\\server\share" (also as "\\?\UNC\server\share"),
//    an optional "\\?\" before a drive is dropped; a path that starts with one separator is
//    taken from the root of the current drive, a path without root (or "X:name") from the
//    current directory (of that drive);
//  - runs of separators count as one, "." is dropped, ".." removes the component before it;
//  - a component may not contain characters below 0x20 or any of ?*<>|":\/, must be well-formed
//    UTF-8 and may have at most 256 characters; server and share names in addition may not be
//    empty or only dots;
//  - a component may not end in a dot or a blank, nor be a DOS device name (CON, PRN, AUX, NUL,
//    CONIN$, CONOUT$, COM0-COM9, LPT0-LPT9 and COM/LPT with a superscript 1, 2 or 3), in any
//    letter case, also with an extension or with blanks before the first dot ("nul.txt",
//    "COM1 .log"): Windows would strip the dots and blanks, or open the device;
//  - with `fileOnly`, a path that ends with a separator, "." or ".." (or is only a root) is
//    invalid: it cannot name a file.
// A drive root keeps its separator ("C:\"); every other result has none at the end.
Str NormalizePath(const Str& path, bool fileOnly);

// path + "\" + name, normalised (fileOnly clear). True replaces `path`; false (an empty path
// or name, or an invalid result) leaves it unchanged with ERROR_INVALID_NAME.
bool AppendPathComponent(Str& path, const Str& name);

// directory + "\" + name normalised with fileOnly set; empty for an empty directory or name or
// an invalid result (wildcards are invalid: listings join their pattern with PlainJoin).
Str JoinFilePath(const Str& directory, const Str& name);

// True when `name` is one path component that the grammar accepts (as above): a name that a file
// can be created and found under exactly as it stands. False with ERROR_INVALID_NAME.
bool IsValidFileName(const Str& name);

// directory + "\" + name without any check (for wildcard patterns).
Str PlainJoin(const Str& directory, const Str& name);

// The text with a "\" added unless it already ends with "\" or "/".
Str AddTrailingSeparator(const Str& text);

// The text after the last "\" or "/" (the whole text without separators).
Str FileNameOf(const Str& path);

// FileNameOf cut before its last "."; a name whose only dot is its first character, or that has
// no dot, stays whole.
Str BaseNameOf(const Str& path);

// The path without its last component: "C:\a\b" -> "C:\a", "C:\a" -> "C:\", "\\srv\share\a" ->
// "\\srv\share", "name" -> "". A root has no parent: the result is then not shorter than the
// path, which callers use to stop walking up.
Str DirectoryOf(const Str& path);

// When `path` begins with `directory` plus a trailing separator (letter case ignored under the
// thread locale), the rest of `path` after it; otherwise (also for an empty directory) empty.
Str PathBelow(const Str& path, const Str& directory);

// The text between two double quotes, not escaped.
Str QuotePath(const Str& text);
