#include "ipcmessages.h"

#include <algorithm>
#include <iterator>

namespace {

struct IpcMessageEntry {
  int32_t id;
  const char* name;
};

constexpr IpcMessageEntry kIpcMessages[] = {
#define IPC_MESSAGE_ENTRY(id, name, text) {id, text},
    IPC_MESSAGE_TABLE(IPC_MESSAGE_ENTRY)
#undef IPC_MESSAGE_ENTRY
};
static_assert(std::size(kIpcMessages) == kIpcMessageCount);

constexpr bool IsSortedById() {
  for (size_t i = 1; i < std::size(kIpcMessages); ++i)
    if (kIpcMessages[i - 1].id >= kIpcMessages[i].id) return false;
  return true;
}
// The lookup is a binary search: the table must stay in ascending id order, without duplicates.
static_assert(IsSortedById());

constexpr int32_t kForegroundRequests[] = {
    IpcCxSyncCred, IpcCxDocManageForeground, IpcCxAppLoad, IpcCxNoop, IpcUiStartCX, IpcUiShowErrorText, IpcUiAppLoad,
};

}  // namespace

const char* IpcMessageName(int32_t id) noexcept {
  const IpcMessageEntry* end = std::end(kIpcMessages);
  const IpcMessageEntry* found =
      std::lower_bound(std::begin(kIpcMessages), end, id, [](const IpcMessageEntry& e, int32_t v) { return e.id < v; });
  return found != end && found->id == id ? found->name : "XX-Unknown";
}

bool IsForegroundRequest(int32_t id) noexcept {
  return std::find(std::begin(kForegroundRequests), std::end(kForegroundRequests), id) != std::end(kForegroundRequests);
}

COPYDATASTRUCT IpcCopyData(int32_t id, const Str& text) noexcept {
  COPYDATASTRUCT data;
  // Sign-extended: a negative id reaches a 64-bit receiver as the same negative number.
  data.dwData = static_cast<ULONG_PTR>(static_cast<intptr_t>(id));
  data.cbData = text.Length() + 1;
  data.lpData = const_cast<char*>(text.c_str());
  return data;
}
