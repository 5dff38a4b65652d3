// Named and timed locks, the threshold report, the threshold settings, tick conversion, lazy
// statics and thread-exit callbacks.
#include "eventrecorder.h"
#include "lazystatic.h"
#include "locks.h"
#include "threadexit.h"

#include "childrun.h"
#include "testsupport.h"
#include "win.h"
// The spin rule is private to the library; the test reaches its header directly.
#include "../../../gui/base/source/lockspin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// A clock the test moves by hand, in ticks of the real performance-counter frequency.

std::atomic<uint64_t> g_fakeTicks{1000000};

bool FakeCounter(uint64_t* ticks) {
  *ticks = g_fakeTicks.load();
  return true;
}

bool FailingCounter(uint64_t* ticks) {
  *ticks = 0;
  return false;
}

// The fewest ticks that TicksToUnits turns into `ms` milliseconds.
uint64_t TicksFor(uint64_t ms) {
  const uint64_t frequency = PerformanceFrequency();
  return (ms * frequency + 999) / 1000;
}

void Advance(uint64_t ms) { g_fakeTicks += TicksFor(ms); }

// ---------------------------------------------------------------------------------------------
// Tick conversion and the creation rule

TEST(TicksToUnits, ConvertsAtTheGivenFrequency) {
  struct Case {
    uint64_t ticks;
    uint32_t units;
    uint64_t frequency;
    uint64_t expected;
  };
  const Case cases[] = {
      {25000000, 1000, 10000000, 2500},                 // a multiple of the unit: exact division
      {25, 1000000, 10000000, 2},
      {3579545, 1000, 3579545, 1000},                   // not a multiple: ticks * units / f
      {3579544, 1000, 3579545, 999},
      {UINT64_MAX / 100, 1000, 3579545, 0},             // the product would overflow: 0
      {1000, 0, 10000000, 0},                           // no unit
      {1000, 1000, 0, 0},                               // no frequency
      {0, 1000, 3579545, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TicksToUnitsAt(c.ticks, c.units, c.frequency), c.expected)
        << c.ticks << " ticks, " << c.units << " units, " << c.frequency << " Hz";
  EXPECT_GT(PerformanceFrequency(), 0u);
  EXPECT_EQ(TicksToUnits(PerformanceFrequency() * 3, 1000), 3000u);
}

TEST(LockCreation, SpinsOnlyWithTwoOrMoreProcessors) {
  struct Case {
    uint32_t processors;
    DWORD spin;
  };
  const Case cases[] = {{0, 0}, {1, 0}, {2, 4000}, {64, 4000}};
  for (const Case& c : cases) EXPECT_EQ(LockSpinCountFor(c.processors), c.spin) << c.processors << " processors";
  // Wine stores the spin count in the section as Windows does.
  NamedCriticalSection lock("SpinProbe");
  EXPECT_EQ(lock.SpinCount(), LockSpinCountFor(ProcessorCount()));
}

TEST(LockCreation, LibraryLocksAndRecorderDeclarationsExistAfterStart) {
  EXPECT_STREQ(LazyStaticInternalLock().Name(), "LazyStaticInternal");
  EXPECT_STREQ(TimedLockListLock().Name(), "Unknown");
  EXPECT_STREQ(LazyStaticLock().Name().c_str(), "LazyStatic");
  EXPECT_EQ(RecorderDeclaredEvents(kRecorderProviderBaseLibrary), 8u);
  const uint32_t before = CountTimedLocks();
  {
    TimedCriticalSection lock(Str("Counted"));
    EXPECT_EQ(CountTimedLocks(), before + 1);
  }
  EXPECT_EQ(CountTimedLocks(), before);
}

// ---------------------------------------------------------------------------------------------
// Timed lock: holds, re-entry and statistics (in this process; the reports are checked below)

TEST(TimedLock, ReentryKeepsTheOuterHoldTime) {
  TimedCriticalSection lock(Str("ReentryLock"), true, FakeCounter);
  const uint64_t start = g_fakeTicks;
  lock.Enter(Str("Outer"));
  Advance(100);
  lock.Enter(Str("Inner"));
  EXPECT_EQ(lock.RecursionCount(), 2);
  Advance(300);
  lock.Leave();
  EXPECT_EQ(lock.RecursionCount(), 1);
  EXPECT_EQ(lock.Totals().holds, 0u) << "an inner leave ends no hold";
  Advance(1);
  lock.Leave();
  EXPECT_EQ(lock.RecursionCount(), 0);
  EXPECT_EQ(lock.LastHoldMs(), 401u);
  EXPECT_STREQ(lock.LastSite().c_str(), "Outer");
  LockSiteStatistics outer;
  ASSERT_TRUE(lock.SiteStatistics(Str("Outer"), &outer));
  EXPECT_EQ(outer.holds, 1u);
  EXPECT_EQ(outer.holdTicks, g_fakeTicks - start);
  LockSiteStatistics inner;
  EXPECT_FALSE(lock.SiteStatistics(Str("Inner"), &inner)) << "a re-entry does not count as a site's hold";
  EXPECT_EQ(lock.Totals().holds, 1u);
}

TEST(TimedLock, LeaveByAThreadThatDoesNotOwnItIsRefused) {
  TimedCriticalSection lock(Str("OwnerLock"), true, FakeCounter);
  lock.Enter(Str("Main"));
  DWORD error = 0;
  std::thread other([&] {
    lock.Leave();
    error = ::GetLastError();
  });
  other.join();
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_OWNER));
  EXPECT_TRUE(lock.IsOwnedByCurrentThread());
  lock.Leave();
  EXPECT_FALSE(lock.IsOwnedByCurrentThread());
}

TEST(TimedLock, WithoutACounterNoHoldIsMeasured) {
  TimedCriticalSection lock(Str("NoCounter"), true, FailingCounter);
  lock.Enter(Str("Site"));
  lock.Leave();
  EXPECT_EQ(lock.LastHoldMs(), 0u);
  EXPECT_EQ(lock.Totals().holds, 0u);
}

TEST(TimedLock, SitesAreCountedApart) {
  TimedCriticalSection lock(Str("SiteLock"), true, FakeCounter);
  for (int i = 0; i < 3; ++i) {
    TimedLockHold hold(lock, Str("B-site"));
  }
  {
    TimedLockHold hold(lock, Str("A-site"));
  }
  {
    TimedLockHold hold(lock, Str());  // no site: counted at the lock only
  }
  LockSiteStatistics a, b;
  ASSERT_TRUE(lock.SiteStatistics(Str("A-site"), &a));
  ASSERT_TRUE(lock.SiteStatistics(Str("B-site"), &b));
  EXPECT_EQ(a.holds, 1u);
  EXPECT_EQ(b.holds, 3u);
  EXPECT_EQ(lock.Totals().holds, 5u);
}

TEST(TimedLock, ContendingThreadsAllGetTheLock) {
  // Real contention: the holders' counts must add up exactly, and the lock counts every hold.
  TimedCriticalSection lock(Str("Contended"));
  int64_t shared = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        TimedLockHold hold(lock, Str("Loop"));
        ++shared;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(shared, 20000);
  EXPECT_EQ(lock.Totals().holds, 20000u);
  LockSiteStatistics loop;
  ASSERT_TRUE(lock.SiteStatistics(Str("Loop"), &loop));
  EXPECT_EQ(loop.waits, lock.Totals().waits);
}

// ---------------------------------------------------------------------------------------------
// The threshold report, seen from a child process's debugger output (every report is echoed to
// the trace channel). The children run only under the parent test below.

// One hold of the lock "ThresholdLock" on the fake clock: entered at `site` (null: no site),
// held `outerMs`, then, when `innerMs` is not 0, entered again and held `innerMs` more before
// the inner leave, and `afterMs` more before the outermost leave.
struct HoldScenario {
  const char* name;
  bool statistics;
  const char* site;
  uint64_t outerMs;
  uint64_t innerMs;
  uint64_t afterMs;
};
const HoldScenario kHolds[] = {
    {"Hold300", true, "HoldSite", 300, 0, 0},
    {"Hold301", true, "HoldSite", 301, 0, 0},
    // 400 ms after the outer enter at the inner leave, but only the outermost leave reports.
    {"NestedHold401", true, "HoldSite", 100, 300, 1},
    {"Hold301WithoutSite", true, nullptr, 301, 0, 0},
    {"Hold301WithoutStatistics", false, "HoldSite", 301, 0, 0},
};
const wchar_t kHoldVariable[] = L"LOCKS_TEST_HOLD";

// Plays the scenario that the parent named in LOCKS_TEST_HOLD.
TEST(TimedLockChild, DISABLED_Hold) {
  if (!test::IsChildRun("LOCKS_TEST_CHILD")) GTEST_SKIP() << "runs only as a child process";
  char name[64] = {};
  ::GetEnvironmentVariableA("LOCKS_TEST_HOLD", name, sizeof name);
  const HoldScenario* hold = nullptr;
  for (const HoldScenario& h : kHolds)
    if (strcmp(h.name, name) == 0) hold = &h;
  ASSERT_NE(hold, nullptr) << "no hold named \"" << name << "\"";
  TimedCriticalSection lock(Str("ThresholdLock"), hold->statistics, FakeCounter);
  lock.Enter(hold->site ? Str(hold->site) : Str());
  Advance(hold->outerMs);
  if (hold->innerMs) {
    lock.Enter(Str("InnerSite"));
    Advance(hold->innerMs);
    lock.Leave();
  }
  Advance(hold->afterMs);
  lock.Leave();
  EXPECT_EQ(lock.LastHoldMs(), hold->outerMs + hold->innerMs + hold->afterMs);
}

TEST(TimedLock, ReportsHoldsLongerThanTheThreshold) {
  struct Case {
    const wchar_t* child;
    const wchar_t* threshold;  // THRESHOLD_SHORTCRITICALSECTION; null: unset
    int reports;
    const char* fields;        // the report's field lines, when there is one
  };
  const char* const kFull =
      "qelgui.lockname: ThresholdLock\r\n  qelgui.locksite: HoldSite\r\n  qelgui.calltime_ms: 301\r\n"
      "  qelgui.threshold_ms: 300\r\n";
  const Case cases[] = {
      {L"Hold300", nullptr, 0, nullptr},
      {L"Hold301", nullptr, 1, kFull},
      {L"NestedHold401", nullptr, 1, "qelgui.calltime_ms: 401\r\n  qelgui.threshold_ms: 300\r\n"},
      {L"Hold301WithoutSite", nullptr, 1, "qelgui.locksite: Unknown\r\n"},
      {L"Hold301WithoutStatistics", nullptr, 0, nullptr},
      {L"Hold301", L"0", 0, nullptr},        // 0 turns the check off
      {L"Hold301", L"abc", 1, kFull},        // not a number: the default stays
      {L"Hold301", L"301", 0, nullptr},
      {L"Hold301", L"300", 1, kFull},
      {L"Hold300", L"299", 1, "qelgui.calltime_ms: 300\r\n  qelgui.threshold_ms: 299\r\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::pair<std::wstring, std::wstring>> environment;
    if (c.threshold) environment.emplace_back(L"THRESHOLD_SHORTCRITICALSECTION", c.threshold);
    environment.emplace_back(kHoldVariable, c.child);
    test::ChildResult child = test::RunTestInChild(L"TimedLockChild.DISABLED_Hold", L"LOCKS_TEST_CHILD", environment);
    const std::string label =
        test::Narrow(c.child) + " threshold " + (c.threshold ? test::Narrow(c.threshold) : "unset");
    ASSERT_TRUE(child.started) << label;
    EXPECT_EQ(child.exitCode, 0u) << label;
    EXPECT_EQ(test::CountOccurrences(child.debugOutput, "QELGUI-00500: Lock duration exceeded threshold"),
              static_cast<size_t>(c.reports))
        << label << "\n" << child.debugOutput;
    if (c.fields) {
      EXPECT_NE(child.debugOutput.find(c.fields), std::string::npos) << label << "\n" << child.debugOutput;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Threshold settings

TEST(LockThresholdSettings, MissingOrBadTextKeepsTheDefault) {
  struct Case {
    const char* text;  // null: unset
    uint64_t expected;
  };
  const Case cases[] = {
      {nullptr, 300}, {"", 300},      {"0", 0},     {"450", 450},   {" 42 ", 42},
      {"abc", 300},   {"12abc", 300}, {"-5", 300},  {"1.5", 300},   {"99999999999999999999999", 300},
      {"18446744073709551615", UINT64_MAX},
  };
  for (const Case& c : cases) {
    ::SetEnvironmentVariableA("THRESHOLD_SHORTCRITICALSECTION", c.text);
    LockThresholds thresholds = ReadLockThresholds();
    EXPECT_EQ(thresholds.shortSection, c.expected) << "\"" << (c.text ? c.text : "(unset)") << "\"";
    EXPECT_EQ(thresholds.mediumSection, 3000u);
    EXPECT_EQ(thresholds.longSection, 30000u);
    EXPECT_EQ(thresholds.unknownSection, 30000u);
  }
  ::SetEnvironmentVariableA("THRESHOLD_SHORTCRITICALSECTION", nullptr);

  ::SetEnvironmentVariableA("THRESHOLD_MEDIUMCRITICALSECTION", "1");
  ::SetEnvironmentVariableA("THRESHOLD_LONGCRITICALSECTION", "x");
  ::SetEnvironmentVariableA("THRESHOLD_UNKNOWNCRITICALSECTION", "0");
  LockThresholds others = ReadLockThresholds();
  EXPECT_EQ(others.mediumSection, 1u);
  EXPECT_EQ(others.longSection, 30000u);
  EXPECT_EQ(others.unknownSection, 0u);
  ::SetEnvironmentVariableA("THRESHOLD_MEDIUMCRITICALSECTION", nullptr);
  ::SetEnvironmentVariableA("THRESHOLD_LONGCRITICALSECTION", nullptr);
  ::SetEnvironmentVariableA("THRESHOLD_UNKNOWNCRITICALSECTION", nullptr);

  // The process's own values were read once at start and do not follow the environment.
  ::SetEnvironmentVariableA("THRESHOLD_SHORTCRITICALSECTION", "7");
  EXPECT_EQ(GetLockThresholds().shortSection, 300u);
  ::SetEnvironmentVariableA("THRESHOLD_SHORTCRITICALSECTION", nullptr);
}

// ---------------------------------------------------------------------------------------------
// Lazy statics

std::atomic<int> g_constructions{0};
std::atomic<int> g_destructions{0};

struct Expensive {
  Expensive() {
    ++g_constructions;
    ::Sleep(20);  // widens the window in which other threads find the pointer still null
  }
  ~Expensive() { ++g_destructions; }
  int value = 42;
};

constinit LazyStatic<Expensive> s_raced("Expensive s_raced");
constinit LazyStatic<Expensive> s_untouched("Expensive s_untouched");

TEST(LazyStatic, RacingThreadsBuildTheObjectOnce) {
  EXPECT_EQ(s_raced.State(), kLazyStaticNew);
  EXPECT_TRUE(s_raced.IsUsable());
  constexpr int kThreads = 8;
  KernelHandle start(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<Expensive*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      ::WaitForSingleObject(start.Get(), INFINITE);
      seen[t] = s_raced.Get();
    });
  ::SetEvent(start.Get());
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(g_constructions.load(), 1);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_NE(seen[t], nullptr);
    EXPECT_EQ(seen[t], seen[0]);
  }
  EXPECT_EQ(seen[0]->value, 42);
  EXPECT_EQ(s_raced.State(), kLazyStaticConstructed);
  EXPECT_EQ(s_untouched.State(), kLazyStaticNew) << "a lazy static is built only on its own first use";
}

// Child: the lazy statics are destroyed at exit, newest first, before code registered for exit
// ahead of them runs; that code sees state 4 and a null object. A kept one is still there.
constinit LazyStatic<Expensive, false> s_kept("Expensive s_kept");
constinit LazyStatic<Expensive> s_exitFirst("Expensive s_exitFirst");
constinit LazyStatic<Expensive> s_exitSecond("Expensive s_exitSecond");
int g_secondSawFirstAlive = -1;

struct ProbeSecond {
  ~ProbeSecond() { g_secondSawFirstAlive = s_exitFirst.State() == kLazyStaticConstructed ? 1 : 0; }
};
constinit LazyStatic<ProbeSecond> s_probe("ProbeSecond s_probe");

void CheckAfterLazyStatics() {
  const bool ok = s_exitFirst.State() == kLazyStaticDestroyed && s_exitSecond.State() == kLazyStaticDestroyed &&
                  s_probe.State() == kLazyStaticDestroyed && !s_exitFirst.IsUsable() &&
                  s_exitFirst.Get() == nullptr && g_destructions.load() == 2 && g_secondSawFirstAlive == 1 &&
                  s_kept.State() == kLazyStaticConstructed && s_kept.Get() != nullptr && s_kept.Get()->value == 42;
  fflush(stdout);
  _exit(ok ? 42 : 43);
}

TEST(LazyStaticChild, DISABLED_DestroyedAtExitNewestFirst) {
  if (!test::IsChildRun("LOCKS_TEST_CHILD")) GTEST_SKIP() << "runs only as a child process";
  std::atexit(CheckAfterLazyStatics);
  ASSERT_NE(s_kept.Get(), nullptr);
  ASSERT_NE(s_exitFirst.Get(), nullptr);
  ASSERT_NE(s_exitSecond.Get(), nullptr);
  ASSERT_NE(s_probe.Get(), nullptr);  // newest: destroyed first, while s_exitFirst still lives
}

TEST(LazyStatic, LifeStateBecomesDestroyedAtProcessExit) {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  test::ProcessResult run = test::RunProcess(
      L"\"" + std::wstring(self) + L"\" --gtest_also_run_disabled_tests --gtest_filter=LazyStaticChild.*", 60000,
      {L"LOCKS_TEST_CHILD=1"});
  ASSERT_TRUE(run.started);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 42u) << run.out << run.err;
}

// ---------------------------------------------------------------------------------------------
// Thread-exit callbacks

struct CallLog {
  std::atomic<int> count{0};
  int order[16] = {};
};

template <int Id>
void Record(void* context) {
  CallLog* log = static_cast<CallLog*>(context);
  log->order[log->count++] = Id;
}

void RegistersAnotherOnExit(void* context) {
  Record<7>(context);
  RegisterThreadExitCallback(Record<8>, context, -5);
}

TEST(ThreadExit, CallbacksRunAtThreadExitHighestPriorityFirst) {
  CallLog log;
  std::thread thread([&] {
    ASSERT_TRUE(RegisterThreadExitCallback(Record<1>, &log, kThreadExitPriorityAllocator));
    ASSERT_TRUE(RegisterThreadExitCallback(Record<2>, &log, kThreadExitPrioritySmallRecord));
    ASSERT_TRUE(RegisterThreadExitCallback(Record<3>, &log, kThreadExitPriorityTimeZone));
    ASSERT_TRUE(RegisterThreadExitCallback(Record<4>, &log, 5));
    ASSERT_TRUE(RegisterThreadExitCallback(Record<5>, &log, kThreadExitPriorityTrace));
    ASSERT_TRUE(RegisterThreadExitCallback(Record<6>, &log, 0));  // same as 0x7FFFFFFF: after it
    ASSERT_TRUE(RegisterThreadExitCallback(RegistersAnotherOnExit, &log, -1));
    EXPECT_EQ(log.count.load(), 0);
  });
  thread.join();
  // 5; 0x7FFFFFFF counted as 0, then 0 in registration order; -1 (which adds one at -5); -5;
  // -1000; -1004; -1006.
  const std::vector<int> expected = {4, 2, 6, 7, 8, 3, 5, 1};
  EXPECT_EQ(std::vector<int>(log.order, log.order + log.count.load()), expected);
}

TEST(ThreadExit, RunningOneCallbackEarlyRemovesIt) {
  CallLog log;
  std::thread thread([&] {
    const uint32_t self = ::GetCurrentThreadId();
    const uint32_t before = CountThreadExitCallbacks(self);
    ASSERT_TRUE(RegisterThreadExitCallback(Record<1>, &log, 0));
    ASSERT_TRUE(RegisterThreadExitCallback(Record<2>, &log, 0));
    EXPECT_EQ(CountThreadExitCallbacks(self), before + 2);
    EXPECT_TRUE(RunThreadExitCallback(self, Record<1>));
    EXPECT_EQ(log.count.load(), 1);
    EXPECT_EQ(CountThreadExitCallbacks(self), before + 1);
    EXPECT_FALSE(RunThreadExitCallback(self, Record<1>));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  });
  thread.join();
  const std::vector<int> expected = {1, 2};
  EXPECT_EQ(std::vector<int>(log.order, log.order + log.count.load()), expected);
}

}  // namespace
