// The running program's file path and name.
#include "programfile.h"

#include "lazystatic.h"
#include "paths.h"
#include "widetext.h"

namespace {

struct ModuleNameText : Str {
  ModuleNameText() : Str(BaseNameOf(ProgramFilePath())) {}
};
constinit LazyStatic<ModuleNameText, false> s_modulename("Str s_modulename");

}  // namespace

Str ProgramFilePath() {
  // GetModuleFileNameW answers the buffer's size when it had to cut the path.
  return FillWide(MAX_PATH + 1, true,
                  [](wchar_t* buffer, DWORD size) { return ::GetModuleFileNameW(nullptr, buffer, size); });
}

const Str& ProgramName() { return *s_modulename.Get(); }
