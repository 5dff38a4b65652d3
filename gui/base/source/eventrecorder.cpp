// The event recorder's declarations. No consumer can attach in these programs, so the recorder
// stores nothing: it keeps the declarations (for diagnostics) and drops every offer after one
// relaxed flag test, cheap enough for a lock's contention path.
#include "eventrecorder.h"

#include "win.h"

#include <atomic>
#include <cstring>

namespace {

constexpr uint32_t kMaxProviders = 4;
constexpr uint32_t kMaxEvents = 16;

struct RecorderProvider {
  const char* name;
  uint32_t declared;
  RecorderEventDeclaration events[kMaxEvents];
};

SRWLOCK s_lock = SRWLOCK_INIT;
RecorderProvider s_providers[kMaxProviders];
// Bit n set: a consumer has enabled provider n. Nothing sets it in these programs.
std::atomic<uint32_t> s_enabledProviders{0};

const RecorderEventDeclaration kBaseLibraryEvents[] = {
    {kRecorderCriticalSectionWait, "Critical Section Wait", "lock;locksite;lastlocksite;lastduration_ms"},
    {kRecorderThreadStart, "Thread::Start", "name"},
    {kRecorderError, "Error", "msg"},
    {kRecorderReportEvent, "ReportEvent", "source;eventid;event"},
    {kRecorderReportError, "ReportError", "source;eventid;event"},
    {kRecorderReportWarning, "ReportWarning", "source;eventid;event"},
    {kRecorderReadLockWait, "Read Lock Wait", "lock;locksite"},
    {kRecorderWriteLockWait, "Write Lock Wait", "lock;locksite"},
};

bool DeclarationIsValid(const RecorderEventDeclaration& event) {
  return event.id != 0 && event.name && *event.name && event.fields;
}

}  // namespace

uint32_t RegisterRecorderProvider(uint32_t provider, const char* name, const RecorderEventDeclaration* events,
                                  uint32_t count) {
  if (provider >= kMaxProviders || !name) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  ::AcquireSRWLockExclusive(&s_lock);
  RecorderProvider& entry = s_providers[provider];
  if (!entry.name) {
    entry.name = name;
    for (uint32_t i = 0; i < count && i < kMaxEvents && events && DeclarationIsValid(events[i]); ++i)
      entry.events[entry.declared++] = events[i];
  }
  uint32_t declared = entry.declared;
  ::ReleaseSRWLockExclusive(&s_lock);
  return declared;
}

void DeclareBaseLibraryEvents() {
  RegisterRecorderProvider(kRecorderProviderBaseLibrary, "Vennacor Base Library", kBaseLibraryEvents,
                           sizeof kBaseLibraryEvents / sizeof kBaseLibraryEvents[0]);
}

uint32_t RecorderDeclaredEvents(uint32_t provider) {
  if (provider >= kMaxProviders) return 0;
  ::AcquireSRWLockShared(&s_lock);
  uint32_t declared = s_providers[provider].declared;
  ::ReleaseSRWLockShared(&s_lock);
  return declared;
}

bool IsRecorderEnabled(uint32_t provider, uint8_t /*level*/) {
  return provider < 32 && (s_enabledProviders.load(std::memory_order_relaxed) & (1u << provider)) != 0;
}

void OfferRecorderEvent(uint32_t provider, uint16_t /*eventId*/, uint8_t level, RecorderPhase /*phase*/,
                        std::initializer_list<const char*> /*values*/) {
  if (!IsRecorderEnabled(provider, level)) return;
  // No consumer can be attached in these programs; an enabled provider would store here.
}
