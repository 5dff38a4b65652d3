// Well-known directories by number.
#pragma once

#include "str.h"

#include <cstdint>

// 0 temporary files, 1 Windows, 2 system, 3 program, 4 user profile, 5..12 desktop, start menu,
// programs and startup (per user, then common), 13 all-users profile, 14 documents,
// 15 favorites, 16 templates, 17..19 common documents, favorites, templates, 20 roaming and
// 21 local application data, 22 common application data, 23 program files, 24 common files,
// 25 common files (x86), 26 current directory, 27 downloads (the temporary directory when the
// downloads folder is missing).
enum DirectoryId : uint32_t {
  DirectoryTemp = 0,
  DirectoryWindows = 1,
  DirectorySystem = 2,
  DirectoryProgram = 3,
  DirectoryUserProfile = 4,
  DirectoryDesktop = 5,
  DirectoryStartMenu = 6,
  DirectoryPrograms = 7,
  DirectoryStartup = 8,
  DirectoryCommonDesktop = 9,
  DirectoryCommonStartMenu = 10,
  DirectoryCommonPrograms = 11,
  DirectoryCommonStartup = 12,
  DirectoryAllUsersProfile = 13,
  DirectoryDocuments = 14,
  DirectoryFavorites = 15,
  DirectoryTemplates = 16,
  DirectoryCommonDocuments = 17,
  DirectoryCommonFavorites = 18,
  DirectoryCommonTemplates = 19,
  DirectoryAppData = 20,
  DirectoryLocalAppData = 21,
  DirectoryCommonAppData = 22,
  DirectoryProgramFiles = 23,
  DirectoryProgramFilesCommon = 24,
  DirectoryProgramFilesCommonX86 = 25,
  DirectoryCurrent = 26,
  DirectoryDownloads = 27,
};

// The directory of `id` as Windows gives it (ids 0, 4 and 13 normalised, so without a trailing
// separator); empty for an id above 27 or a directory that Windows cannot supply. The temporary
// directory is computed once per process.
Str GetDirectory(uint32_t id);

// The full path of the running program's file; empty when it cannot be read.
Str GetProgramPath();
