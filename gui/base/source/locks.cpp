// Named and timed locks, the performance-counter conversion and the lock thresholds.
#include "locks.h"
#include "lockspin.h"

#include "error.h"
#include "eventrecorder.h"
#include "format.h"
#include "processobject.h"
#include "registry.h"

#include <cstdio>
#include <cstring>
#include <new>

// ---------------------------------------------------------------------------------------------
// Creation rule

DWORD LockSpinCountFor(uint32_t processorCount) noexcept { return processorCount < 2 ? 0 : kLockSpinCount; }

namespace {

constinit ProcessObject<uint32_t> s_processors;

void CountProcessors(void* at) {
  SYSTEM_INFO info{};
  ::GetSystemInfo(&info);
  ::new (at) uint32_t(info.dwNumberOfProcessors ? info.dwNumberOfProcessors : 1);
}

}  // namespace

uint32_t ProcessorCount() noexcept { return s_processors.Get<&CountProcessors>(); }

void InitializeLibraryCriticalSection(CRITICAL_SECTION* section) noexcept {
  DWORD spin = LockSpinCountFor(ProcessorCount());
  if (spin == 0)
    ::InitializeCriticalSection(section);
  else
    ::InitializeCriticalSectionAndSpinCount(section, spin);
}

// ---------------------------------------------------------------------------------------------
// Performance counter

bool ReadPerformanceCounter(uint64_t* ticks) noexcept {
  LARGE_INTEGER now;
  if (!::QueryPerformanceCounter(&now)) {
    *ticks = 0;
    return false;
  }
  *ticks = static_cast<uint64_t>(now.QuadPart);
  return true;
}

uint64_t PerformanceFrequency() noexcept {
  // 0 is never a frequency Windows reports, so it marks "not queried yet"; a failed query is
  // simply asked again next time.
  static std::atomic<uint64_t> s_frequency{0};
  uint64_t frequency = s_frequency.load(std::memory_order_relaxed);
  if (frequency == 0) {
    LARGE_INTEGER value;
    if (::QueryPerformanceFrequency(&value) && value.QuadPart > 0) {
      frequency = static_cast<uint64_t>(value.QuadPart);
      s_frequency.store(frequency, std::memory_order_relaxed);
    }
  }
  return frequency;
}

uint64_t TicksToUnitsAt(uint64_t ticks, uint32_t units, uint64_t frequency) noexcept {
  if (frequency == 0 || units == 0) return 0;
  if (frequency % units == 0) return ticks / (frequency / units);
  if (ticks != 0 && units > UINT64_MAX / ticks) return 0;
  return ticks * units / frequency;
}

uint64_t TicksToUnits(uint64_t ticks, uint32_t units) noexcept {
  return TicksToUnitsAt(ticks, units, PerformanceFrequency());
}

// ---------------------------------------------------------------------------------------------
// Thresholds

namespace {

uint64_t ReadThreshold(const char* setting, uint64_t defaultValue) {
  Str text = GetEnvironmentSetting(Str(setting));
  uint64_t value = 0;
  if (text.IsEmpty() || ParseUInt64(text.c_str(), nullptr, &value) != kParseOk) return defaultValue;
  return value;
}

}  // namespace

LockThresholds ReadLockThresholds() noexcept {
  DWORD saved = ::GetLastError();
  LockThresholds defaults;
  LockThresholds result;
  result.shortSection = ReadThreshold("THRESHOLD_SHORTCRITICALSECTION", defaults.shortSection);
  result.mediumSection = ReadThreshold("THRESHOLD_MEDIUMCRITICALSECTION", defaults.mediumSection);
  result.longSection = ReadThreshold("THRESHOLD_LONGCRITICALSECTION", defaults.longSection);
  result.unknownSection = ReadThreshold("THRESHOLD_UNKNOWNCRITICALSECTION", defaults.unknownSection);
  ::SetLastError(saved);
  return result;
}

namespace {

constinit ProcessObject<LockThresholds> s_thresholds;
void MakeThresholds(void* at) { ::new (at) LockThresholds(ReadLockThresholds()); }

}  // namespace

const LockThresholds& GetLockThresholds() noexcept { return s_thresholds.Get<MakeThresholds>(); }

// ---------------------------------------------------------------------------------------------
// NamedCriticalSection

NamedCriticalSection::NamedCriticalSection(const char* name) noexcept : name_(name ? name : "Unknown") {
  InitializeLibraryCriticalSection(&section_);
}

NamedCriticalSection::~NamedCriticalSection() { ::DeleteCriticalSection(&section_); }

void NamedCriticalSection::Enter(const char* site) noexcept {
  if (::TryEnterCriticalSection(&section_)) return;
  OfferRecorderEvent(kRecorderProviderBaseLibrary, kRecorderCriticalSectionWait, 0, RecorderPhaseBegin,
                     {name_, site});
  ::EnterCriticalSection(&section_);
  OfferRecorderEvent(kRecorderProviderBaseLibrary, kRecorderCriticalSectionWait, 0, RecorderPhaseEnd,
                     {name_, site});
}

void NamedCriticalSection::Leave() noexcept { ::LeaveCriticalSection(&section_); }

namespace {

constinit ProcessObject<NamedCriticalSection> s_unknownLock;
void MakeUnknownLock(void* at) { ::new (at) NamedCriticalSection("Unknown"); }

TimedCriticalSection* s_timedLocks = nullptr;  // guarded by "Unknown"

}  // namespace

NamedCriticalSection& TimedLockListLock() noexcept { return s_unknownLock.Get<MakeUnknownLock>(); }

// ---------------------------------------------------------------------------------------------
// TimedCriticalSection

struct TimedCriticalSection::SiteNode {
  LockSiteStatistics stats;
  std::atomic<SiteNode*> next{nullptr};
};

TimedCriticalSection::TimedCriticalSection(const Str& name, bool statistics, PerformanceCounterSource counter) noexcept
    : name_(name), statistics_(statistics), counter_(counter ? counter : ReadPerformanceCounter) {
  InitializeLibraryCriticalSection(&section_);
  NamedLockHold hold(TimedLockListLock(), "TimedCriticalSection");
  nextLock_ = s_timedLocks;
  if (nextLock_) nextLock_->prevLock_ = this;
  s_timedLocks = this;
}

TimedCriticalSection::~TimedCriticalSection() {
  {
    NamedLockHold hold(TimedLockListLock(), "~TimedCriticalSection");
    if (prevLock_)
      prevLock_->nextLock_ = nextLock_;
    else if (s_timedLocks == this)
      s_timedLocks = nextLock_;
    if (nextLock_) nextLock_->prevLock_ = prevLock_;
  }
  SiteNode* node = sites_.load(std::memory_order_acquire);
  while (node) {
    SiteNode* next = node->next.load(std::memory_order_relaxed);
    node->~SiteNode();
    ::HeapFree(::GetProcessHeap(), 0, node);
    node = next;
  }
  ::DeleteCriticalSection(&section_);
}

TimedCriticalSection::SiteNode* TimedCriticalSection::FindSite(const char* site) const noexcept {
  for (SiteNode* node = sites_.load(std::memory_order_acquire); node;
       node = node->next.load(std::memory_order_acquire)) {
    int order = strcmp(node->stats.site.c_str(), site);
    if (order == 0) return node;
    if (order > 0) break;
  }
  return nullptr;
}

TimedCriticalSection::SiteNode* TimedCriticalSection::FindOrAddSite(const Str& site) noexcept {
  // Readers walk the list without a lock: a node is complete before the store that links it in
  // (release), and no node leaves the list before the lock itself is destroyed.
  if (SiteNode* found = FindSite(site.c_str())) return found;
  NamedLockHold hold(TimedLockListLock(), "TimedCriticalSection::Enter");
  std::atomic<SiteNode*>* link = &sites_;
  for (SiteNode* node = link->load(std::memory_order_acquire); node; node = link->load(std::memory_order_acquire)) {
    int order = strcmp(node->stats.site.c_str(), site.c_str());
    if (order == 0) return node;
    if (order > 0) break;
    link = &node->next;
  }
  void* block = ::HeapAlloc(::GetProcessHeap(), 0, sizeof(SiteNode));
  if (!block) return nullptr;  // the hold goes on without a site ("Unknown" in a report)
  SiteNode* node = ::new (block) SiteNode;
  node->stats.site = site;
  node->next.store(link->load(std::memory_order_relaxed), std::memory_order_relaxed);
  link->store(node, std::memory_order_release);
  return node;
}

bool TimedCriticalSection::IsOwnedByCurrentThread() const noexcept {
  return owner_.load(std::memory_order_relaxed) == ::GetCurrentThreadId();
}

void TimedCriticalSection::Enter(const Str& site) noexcept {
  const uint32_t self = ::GetCurrentThreadId();
  if (owner_.load(std::memory_order_relaxed) == self) {
    ++recursion_;
    return;
  }
  SiteNode* siteNode = nullptr;
  if (statistics_ && !site.IsEmpty()) siteNode = FindOrAddSite(site);

  if (::TryEnterCriticalSection(&section_)) {
    uint64_t now = 0;
    acquisition_ = counter_(&now) ? now : 0;
  } else {
    uint64_t t0 = 0;
    const bool haveStart = counter_(&t0);
    OfferRecorderEvent(kRecorderProviderBaseLibrary, kRecorderCriticalSectionWait, 0, RecorderPhaseBegin,
                       {name_.c_str(), site.c_str()});
    ::EnterCriticalSection(&section_);
    if (IsRecorderEnabled(kRecorderProviderBaseLibrary, 0)) {
      char lastHold[24];
      snprintf(lastHold, sizeof lastHold, "%llu", static_cast<unsigned long long>(lastHoldMs_));
      OfferRecorderEvent(kRecorderProviderBaseLibrary, kRecorderCriticalSectionWait, 0, RecorderPhaseEnd,
                         {name_.c_str(), site.c_str(), siteName_.c_str(), lastHold});
    }
    uint64_t t1 = 0;
    const bool haveEnd = counter_(&t1);
    acquisition_ = haveEnd ? t1 : 0;
    if (haveStart && haveEnd) {
      const uint64_t waited = t1 >= t0 ? t1 - t0 : 0;
      ++waits_;
      waitTicks_ += waited;
      if (siteNode) {
        ++siteNode->stats.waits;
        siteNode->stats.waitTicks += waited;
      }
    }
  }
  currentSite_ = siteNode;
  threshold_ = statistics_ ? GetLockThresholds().shortSection : 0;
  owner_.store(self, std::memory_order_relaxed);
  siteName_ = site;
  lastHoldMs_ = 0;
  recursion_ = 1;
}

void TimedCriticalSection::Leave() noexcept {
  // LeaveCriticalSection on a section the thread does not own corrupts it for every later user.
  if (!IsOwnedByCurrentThread()) {
    ::SetLastError(ERROR_NOT_OWNER);
    return;
  }
  if (--recursion_ > 0) return;

  uint64_t held = 0;
  bool report = false;
  const uint64_t threshold = threshold_;
  Str reportSite;
  uint64_t now = 0;
  if (acquisition_ != 0 && counter_(&now)) {
    const uint64_t ticks = now >= acquisition_ ? now - acquisition_ : 0;
    held = TicksToUnits(ticks, 1000);
    if (threshold != 0 && threshold < held) {
      report = true;
      reportSite = currentSite_ ? currentSite_->stats.site : Str("Unknown");
    }
    threshold_ = 0;
    if (statistics_) {
      ++holds_;
      holdTicks_ += ticks;
      if (currentSite_) {
        ++currentSite_->stats.holds;
        currentSite_->stats.holdTicks += ticks;
      }
    }
  }
  acquisition_ = 0;
  lastHoldMs_ = held;
  currentSite_ = nullptr;
  owner_.store(0, std::memory_order_relaxed);
  recursion_ = 0;
  ::LeaveCriticalSection(&section_);

  // Reported outside the lock: the report path may itself take library locks.
  if (report) {
    ReportLibraryEvent(500, "Lock duration exceeded threshold",
                       {{"lockname", name_},
                        {"locksite", reportSite},
                        {"calltime_ms", static_cast<int64_t>(held)},
                        {"threshold_ms", static_cast<int64_t>(threshold)}},
                       SeverityInfo, CategoryPerformance);
  }
}

LockSiteStatistics TimedCriticalSection::Totals() const noexcept {
  LockSiteStatistics totals;
  totals.site = name_;
  totals.waits = waits_;
  totals.waitTicks = waitTicks_;
  totals.holds = holds_;
  totals.holdTicks = holdTicks_;
  return totals;
}

bool TimedCriticalSection::SiteStatistics(const Str& site, LockSiteStatistics* copy) const noexcept {
  SiteNode* node = FindSite(site.c_str());
  if (!node) {
    ::SetLastError(ERROR_NOT_FOUND);
    return false;
  }
  *copy = node->stats;
  return true;
}

namespace {

constinit ProcessObject<TimedCriticalSection> s_lazyStaticLock;
void MakeLazyStaticLock(void* at) { ::new (at) TimedCriticalSection(Str("LazyStatic"), true); }

}  // namespace

TimedCriticalSection& LazyStaticLock() noexcept { return s_lazyStaticLock.Get<MakeLazyStaticLock>(); }

uint32_t CountTimedLocks() noexcept {
  NamedLockHold hold(TimedLockListLock(), "CountTimedLocks");
  uint32_t count = 0;
  for (TimedCriticalSection* lock = s_timedLocks; lock; lock = lock->nextLock_) ++count;
  return count;
}
