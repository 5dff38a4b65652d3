// Locks of the base library. Every lock has a name shown in diagnostics and every acquisition
// names the code site that takes it. The timed lock also measures each hold and reports holds
// longer than the process's threshold (event 500 "Lock duration exceeded threshold").
#pragma once

#include "str.h"
#include "win.h"

#include <atomic>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Performance counter

// QueryPerformanceCounter; false (and 0) when the counter cannot be read.
bool ReadPerformanceCounter(uint64_t* ticks) noexcept;
// The counter's frequency in ticks per second, queried once per process; 0 when unknown.
uint64_t PerformanceFrequency() noexcept;
// `ticks` expressed in `units` per second at the cached frequency (1000: milliseconds).
uint64_t TicksToUnits(uint64_t ticks, uint32_t units) noexcept;
// The same at a given frequency: 0 when frequency or units is 0; exact division when the frequency
// is a multiple of units; otherwise ticks * units / frequency, or 0 when that product overflows.
uint64_t TicksToUnitsAt(uint64_t ticks, uint32_t units, uint64_t frequency) noexcept;

// ---------------------------------------------------------------------------------------------
// Thresholds (milliseconds), each from the setting of the same name ("THRESHOLD_..."), read once.

struct LockThresholds {
  uint64_t shortSection = 300;     // THRESHOLD_SHORTCRITICALSECTION: every hold of a timed lock
  uint64_t mediumSection = 3000;   // THRESHOLD_MEDIUMCRITICALSECTION
  uint64_t longSection = 30000;    // THRESHOLD_LONGCRITICALSECTION
  uint64_t unknownSection = 30000; // THRESHOLD_UNKNOWNCRITICALSECTION
};
// The process's thresholds, read on the first call (the library's initialisation makes that
// call); later changes of the settings are not seen. 0 turns a check off.
const LockThresholds& GetLockThresholds() noexcept;
// Reads the four settings now (GetEnvironmentSetting: environment first, then the registry
// below "HKEY_ENVIRONMENT"). A missing, empty or non-numeric text keeps the default.
LockThresholds ReadLockThresholds() noexcept;

// ---------------------------------------------------------------------------------------------
// NamedCriticalSection: a critical section with a fixed name (static text).

class NamedCriticalSection {
 public:
  explicit NamedCriticalSection(const char* name) noexcept;
  ~NamedCriticalSection();
  NamedCriticalSection(const NamedCriticalSection&) = delete;
  NamedCriticalSection& operator=(const NamedCriticalSection&) = delete;

  // Takes the lock; a contended entry is offered to the event recorder (event 100, begin and
  // end) under `site`.
  void Enter(const char* site) noexcept;
  void Leave() noexcept;
  const char* Name() const noexcept { return name_; }
  DWORD SpinCount() const noexcept { return static_cast<DWORD>(section_.SpinCount & 0x00FFFFFF); }

 private:
  CRITICAL_SECTION section_;
  const char* name_;
};

// Holds a NamedCriticalSection for one scope.
class NamedLockHold {
 public:
  NamedLockHold(NamedCriticalSection& lock, const char* site) noexcept : lock_(lock) { lock_.Enter(site); }
  ~NamedLockHold() { lock_.Leave(); }
  NamedLockHold(const NamedLockHold&) = delete;
  NamedLockHold& operator=(const NamedLockHold&) = delete;

 private:
  NamedCriticalSection& lock_;
};

// The lock "Unknown": the list of all timed locks and their site statistics.
NamedCriticalSection& TimedLockListLock() noexcept;

// ---------------------------------------------------------------------------------------------
// TimedCriticalSection: re-entrant, with wait and hold statistics per lock and per site.

// Statistics of one site at one lock (a copy when read through SiteStatistics).
struct LockSiteStatistics {
  Str site;
  uint64_t waits = 0;
  uint64_t waitTicks = 0;
  uint64_t holds = 0;
  uint64_t holdTicks = 0;
};

// Where a lock reads the time; ReadPerformanceCounter unless a lock is given another.
using PerformanceCounterSource = bool (*)(uint64_t* ticks);

class TimedCriticalSection {
 public:
  // `statistics`: gather statistics and apply THRESHOLD_SHORTCRITICALSECTION to every hold.
  // `counter`: the time source (null: the performance counter), in ticks of PerformanceFrequency().
  explicit TimedCriticalSection(const Str& name, bool statistics = true,
                                PerformanceCounterSource counter = nullptr) noexcept;
  ~TimedCriticalSection();
  TimedCriticalSection(const TimedCriticalSection&) = delete;
  TimedCriticalSection& operator=(const TimedCriticalSection&) = delete;

  // Re-entrant for the owner thread: an inner enter neither waits nor restarts the hold time.
  void Enter(const Str& site) noexcept;
  // Only the outermost leave measures the hold; a hold above the threshold is reported after the
  // lock is released. Leaving a lock the thread does not own does nothing (ERROR_NOT_OWNER).
  void Leave() noexcept;

  const Str& Name() const noexcept { return name_; }
  // Snapshots for diagnostics, meaningful while no other thread uses the lock.
  LockSiteStatistics Totals() const noexcept;
  bool SiteStatistics(const Str& site, LockSiteStatistics* copy) const noexcept;
  uint64_t LastHoldMs() const noexcept { return lastHoldMs_; }
  const Str& LastSite() const noexcept { return siteName_; }
  int32_t RecursionCount() const noexcept { return recursion_; }
  bool IsOwnedByCurrentThread() const noexcept;

 private:
  friend uint32_t CountTimedLocks() noexcept;
  struct SiteNode;
  SiteNode* FindSite(const char* site) const noexcept;
  SiteNode* FindOrAddSite(const Str& site) noexcept;

  Str name_;
  uint64_t waits_ = 0;
  uint64_t waitTicks_ = 0;
  uint64_t holds_ = 0;
  uint64_t holdTicks_ = 0;
  std::atomic<uint32_t> owner_{0};
  int32_t recursion_ = 0;
  uint64_t acquisition_ = 0;
  uint64_t threshold_ = 0;
  Str siteName_;
  uint64_t lastHoldMs_ = 0;
  SiteNode* currentSite_ = nullptr;
  std::atomic<SiteNode*> sites_{nullptr};  // sorted by site name; nodes live as long as the lock
  bool statistics_;
  PerformanceCounterSource counter_;
  CRITICAL_SECTION section_;
  TimedCriticalSection* prevLock_ = nullptr;  // the process-wide list of timed locks
  TimedCriticalSection* nextLock_ = nullptr;
};

// Holds a TimedCriticalSection for one scope.
class TimedLockHold {
 public:
  TimedLockHold(TimedCriticalSection& lock, const Str& site) noexcept : lock_(lock) { lock_.Enter(site); }
  ~TimedLockHold() { lock_.Leave(); }
  TimedLockHold(const TimedLockHold&) = delete;
  TimedLockHold& operator=(const TimedLockHold&) = delete;

 private:
  TimedCriticalSection& lock_;
};

// The process-wide timed lock "LazyStatic" (statistics on).
TimedCriticalSection& LazyStaticLock() noexcept;
// The number of timed locks alive in the process.
uint32_t CountTimedLocks() noexcept;

// The lock "LazyStaticInternal": creation of lazy statics built after start-up.
NamedCriticalSection& LazyStaticInternalLock() noexcept;
