// Event-log sources: the registry registration and the process's cache of source handles.
#include "error.h"
#include "errorinternal.h"
#include "processobject.h"
#include "locks.h"
#include "handles.h"
#include "registry.h"

#include <atomic>
#include <new>

namespace {

const char kEventLogKey[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

// The event types a source may write (error, warning, information) and the number of category
// strings in every program's message table.
constexpr uint32_t kTypesSupported = 7;
constexpr uint32_t kCategoryCount = 7;

struct EventSourceNode {
  Str name;
  EventSourceHandle handle;  // may be null: Windows refused the name
  EventSourceNode* next = nullptr;
};

// Newest first. Nodes are only ever prepended and never freed while the process runs, so the
// list can be read without the lock; it is changed only under the lock "EventSourceCache".
struct EventSourceCache {
  std::atomic<EventSourceNode*> head{nullptr};
  NamedCriticalSection lock{"EventSourceCache"};
};

constinit ProcessObject<EventSourceCache> s_cache;

EventSourceCache& Cache() { return s_cache.Get(); }

HANDLE Find(const EventSourceNode* node, const Str& name, bool* found) {
  for (; node; node = node->next) {
    if (node->name == name) {
      *found = true;
      return node->handle.Get();
    }
  }
  *found = false;
  return nullptr;
}

}  // namespace

void RegisterEventLogSource(const Str& name) {
  Str file = ReportMessageFile();
  // An empty name would write the values into the Application key itself.
  if (file.IsEmpty() || name.IsEmpty()) return;
  DWORD saved = ::GetLastError();
  Str key(kEventLogKey);
  WriteRegistryNumber(key, name, Str("TypesSupported"), kTypesSupported, RegistryNumberDword);
  WriteRegistryNumber(key, name, Str("CategoryCount"), kCategoryCount, RegistryNumberDword);
  WriteRegistryText(key, name, Str("CategoryMessageFile"), file);
  WriteRegistryText(key, name, Str("EventMessageFile"), file);
  ::SetLastError(saved);
}

HANDLE GetEventSourceHandle(const Str& name, bool registerSource) {
  // RegisterEventSourceW would answer the Application log itself for an empty name.
  if (name.IsEmpty()) return nullptr;
  EventSourceCache& cache = Cache();
  bool found = false;
  HANDLE handle = Find(cache.head.load(std::memory_order_acquire), name, &found);
  if (found) return handle;

  NamedLockHold guard(cache.lock, "GetEventSourceHandle");
  // Another thread may have added the name since the first search.
  EventSourceNode* head = cache.head.load(std::memory_order_acquire);
  handle = Find(head, name, &found);
  if (found) return handle;

  if (registerSource) RegisterEventLogSource(name);
  EventSourceNode* node = new (std::nothrow) EventSourceNode;
  if (!node) return nullptr;  // the report counts as done; nothing is left open
  node->name = name;
  node->handle.Reset(::RegisterEventSourceW(nullptr, WStr(name).c_str()));
  node->next = head;
  cache.head.store(node, std::memory_order_release);
  return node->handle.Get();
}
