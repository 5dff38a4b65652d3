// Structured performance events. Locks and reports offer events to a recorder that keeps them
// only for providers and levels a consumer has enabled. These programs attach no consumer, so
// every offer is dropped: an offer is one flag test and never blocks.
#pragma once

#include <cstdint>
#include <initializer_list>

struct RecorderEventDeclaration {
  uint16_t id;
  const char* name;
  const char* fields;  // field names separated by ';', in the order values are offered
};

enum RecorderPhase : uint8_t {
  RecorderPhaseNone = 0,
  RecorderPhaseBegin = 1,
  RecorderPhaseEnd = 2,
};

// Provider ids.
constexpr uint32_t kRecorderProviderBaseLibrary = 1;      // "Vennacor Base Library"
constexpr uint32_t kRecorderProviderOperatingSystem = 2;  // "Operating System"

// Event ids of the base library's provider.
constexpr uint16_t kRecorderCriticalSectionWait = 100;
constexpr uint16_t kRecorderThreadStart = 101;
constexpr uint16_t kRecorderError = 102;
constexpr uint16_t kRecorderReportEvent = 103;
constexpr uint16_t kRecorderReportError = 104;
constexpr uint16_t kRecorderReportWarning = 105;
constexpr uint16_t kRecorderReadLockWait = 106;
constexpr uint16_t kRecorderWriteLockWait = 107;

// Registers `provider` under `name` and declares `count` events; declaration stops at the first
// event that fails. Returns the number declared. Each provider is registered once per process.
uint32_t RegisterRecorderProvider(uint32_t provider, const char* name, const RecorderEventDeclaration* events,
                                  uint32_t count);
// Registers the base library's provider and its eight events (idempotent).
void DeclareBaseLibraryEvents();
// The number of events declared for `provider` (0 when it is not registered).
uint32_t RecorderDeclaredEvents(uint32_t provider);

// Whether a consumer wants events of `provider` at `level`.
bool IsRecorderEnabled(uint32_t provider, uint8_t level);

// Offers one event; the values follow the declared field order.
void OfferRecorderEvent(uint32_t provider, uint16_t eventId, uint8_t level, RecorderPhase phase,
                        std::initializer_list<const char*> values);
