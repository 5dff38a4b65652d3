// The particle allocator: size classes, refills from the pool, the per-thread cap, thread exit,
// frees from other threads and the "PARTICLEREPLACEMENT" switch.
#include "alloc.h"

#include "childrun.h"
#include "testsupport.h"
#include "threadexit.h"
#include "win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

// Every case runs on a thread of its own, so that it starts with an empty cache.
void OnFreshThread(const std::function<void()>& body) {
  std::thread thread(body);
  thread.join();
}

ParticleClassDiagnostics PoolOf(uint32_t size) {
  ParticleClassDiagnostics diagnostics;
  EXPECT_TRUE(GetParticleClassDiagnostics(size, &diagnostics)) << "class " << size;
  return diagnostics;
}

// ---------------------------------------------------------------------------------------------
// Size classes

TEST(ParticleClasses, RequestSizeChoosesTheClass) {
  struct Case {
    size_t request;
    uint32_t classSize;   // 0: no class, the process heap serves it
    int32_t cachedAfter;  // the class's thread count after one allocation on a fresh thread
  };
  const Case cases[] = {
      {1, 8, 511},  {8, 8, 511},     {9, 16, 255},  {24, 24, 169},
      {1016, 1016, 3}, {1017, 1024, 3}, {1024, 1024, 3},
      {1025, 0, -1}, {0, 0, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParticleClassSize(c.request), c.classSize) << "request " << c.request;
    if (c.request == 24) continue;  // the 24-byte class is kept fresh for the refill test below
    OnFreshThread([&] {
      void* block = AllocParticle(c.request);
      ASSERT_NE(block, nullptr);
      if (c.classSize) {
        EXPECT_EQ(GetParticleThreadCount(c.classSize), c.cachedAfter) << "request " << c.request;
      } else {
        // A block without class is a process-heap block of the requested size (0 asks for 1).
        EXPECT_EQ(::HeapSize(::GetProcessHeap(), 0, block), c.request ? c.request : 1) << "request " << c.request;
        EXPECT_EQ(GetParticleThreadCount(1024), -1) << "no cache is made for a heap request";
      }
      FreeParticle(c.request, block);
    });
  }
}

TEST(ParticleClasses, OneAndEightBytesShareAClass) {
  OnFreshThread([] {
    void* one = AllocParticle(1);
    void* eight = AllocParticle(8);
    EXPECT_EQ(GetParticleThreadCount(8), 510);  // one refill of 512, two handed out
    EXPECT_EQ(GetParticleThreadCount(16), 0);
    // Consecutive particles of one fresh batch lie 8 bytes apart.
    EXPECT_EQ(static_cast<char*>(eight) - static_cast<char*>(one), 8);
    FreeParticle(8, eight);
    FreeParticle(1, one);
    EXPECT_EQ(GetParticleThreadCount(8), 512);
  });
}

// ---------------------------------------------------------------------------------------------
// Refill and drain

TEST(ParticleRefill, First24ByteRefillCarvesA16KBlock) {
  OnFreshThread([] {
    ParticleClassDiagnostics before = PoolOf(24);
    ASSERT_EQ(before.carved, 0u) << "nothing else in this test program may use the 24-byte class";
    void* block = AllocParticle(24);
    ASSERT_NE(block, nullptr);
    ParticleClassDiagnostics after = PoolOf(24);
    EXPECT_EQ(after.blocks, 1u);
    EXPECT_EQ(after.lastBlockBytes, 16368u);  // 682 particles of 24 bytes out of 16 KB
    EXPECT_EQ(after.carved, 682u);
    EXPECT_EQ(after.poolFree, 682u - 170u);   // one batch of 4096 / 24 went to the thread
    EXPECT_EQ(GetParticleThreadCount(24), 169);
    FreeParticle(24, block);
    EXPECT_EQ(GetParticleThreadCount(24), 170);
  });
}

TEST(ParticleRefill, BlocksGrowEverySecondBlock) {
  // The 1000-byte class: 16 particles per 16 KB block, 4 per refill. Carving goes on in the pool
  // while a thread holds its particles, so each allocation beyond the free ones carves.
  OnFreshThread([] {
    std::vector<void*> held;
    std::vector<uint32_t> blockBytes;
    uint32_t blocks = PoolOf(1000).blocks;
    ASSERT_EQ(blocks, 0u) << "nothing else in this test program may use the 1000-byte class";
    while (blockBytes.size() < 6) {
      held.push_back(AllocParticle(1000));
      ParticleClassDiagnostics now = PoolOf(1000);
      if (now.blocks != blocks) {
        blocks = now.blocks;
        blockBytes.push_back(now.lastBlockBytes);
      }
    }
    const std::vector<uint32_t> expected = {16000, 16000, 32000, 32000, 65000, 65000};
    EXPECT_EQ(blockBytes, expected);
    for (void* block : held) FreeParticle(1000, block);
  });
}

TEST(ParticleDrain, FreeingPastTheCapDrainsBackToOneBatch) {
  constexpr size_t kCount = 65537;
  std::vector<void*> blocks(kCount);
  int32_t allocatorCount = 0;
  std::thread allocator([&] {
    for (void*& block : blocks) block = AllocParticle(8);
    allocatorCount = GetParticleThreadCount(8);
    // The particles leave with this thread's other cached ones at its exit; the freeing thread
    // below gets only the ones it frees itself.
  });
  allocator.join();
  OnFreshThread([&] {
    // Frees from another thread: the particles join this thread's list.
    const uint64_t poolBefore = PoolOf(8).poolFree;
    for (size_t i = 0; i + 1 < kCount; ++i) FreeParticle(8, blocks[i]);
    EXPECT_EQ(GetParticleThreadCount(8), 65536) << "at the cap nothing is drained yet";
    EXPECT_EQ(PoolOf(8).poolFree, poolBefore);
    FreeParticle(8, blocks[kCount - 1]);
    EXPECT_EQ(GetParticleThreadCount(8), 512);
    EXPECT_EQ(PoolOf(8).poolFree, poolBefore + (kCount - 512));
  });
  // 65537 particles came in 129 batches of 512 (4096 / 8): the rest of the last one stays cached.
  EXPECT_EQ(allocatorCount, 129 * 512 - 65537);
}

TEST(ParticleDrain, ThreadExitReturnsTheCacheToThePool) {
  uint64_t poolDuring = 0;
  OnFreshThread([&] {
    FreeParticle(40, AllocParticle(40));
    EXPECT_EQ(GetParticleThreadCount(40), 102);  // 4096 / 40
    poolDuring = PoolOf(40).poolFree;
  });
  EXPECT_EQ(PoolOf(40).poolFree, poolDuring + 102);
}

TEST(ParticleDrain, ChainIsSplicedIntoTheThreadList) {
  OnFreshThread([] {
    struct Node {
      Node* next;
      char payload[24];
    };
    Node* first = nullptr;
    for (int i = 0; i < 10; ++i) {
      Node* node = static_cast<Node*>(AllocParticle(sizeof(Node)));
      node->next = first;
      first = node;
    }
    const int32_t before = GetParticleThreadCount(32);
    FreeParticleChain(sizeof(Node), offsetof(Node, next), first);
    EXPECT_EQ(GetParticleThreadCount(32), before + 10);
    // The particles came back intact: ten allocations hand out ten distinct blocks again.
    std::vector<void*> again;
    for (int i = 0; i < 10; ++i) again.push_back(AllocParticle(sizeof(Node)));
    EXPECT_EQ(GetParticleThreadCount(32), before);
    for (void* block : again) FreeParticle(sizeof(Node), block);
  });
}

// ---------------------------------------------------------------------------------------------
// Thread exit

TEST(ParticleThreadExit, FreeAfterTheExitHandlerIsDropped) {
  OnFreshThread([] {
    void* small = AllocParticle(48);
    void* large = AllocParticle(4000);
    ASSERT_NE(small, nullptr);
    ASSERT_NE(large, nullptr);
    const int32_t cached = GetParticleThreadCount(48);
    const uint64_t poolBefore = PoolOf(48).poolFree;

    // What the thread-exit slot does when the thread ends, run early.
    RunThreadExitCallbacks(::GetCurrentThreadId());
    EXPECT_EQ(GetParticleThreadCount(48), -1) << "the cache is released";
    EXPECT_EQ(PoolOf(48).poolFree, poolBefore + cached) << "its particles went back to the pool";

    FreeParticle(48, small);
    EXPECT_EQ(PoolOf(48).poolFree, poolBefore + cached) << "a late free returns nothing to any list";
    EXPECT_EQ(GetParticleThreadCount(48), -1) << "and makes no new cache";
    FreeParticle(4000, large);  // a heap block still goes back to the heap

    // Allocations still work (from the shared fallback cache) and never make a new cache.
    void* late = AllocParticle(48);
    EXPECT_NE(late, nullptr);
    EXPECT_EQ(GetParticleThreadCount(48), -1);
    FreeParticle(48, late);
  });
}

TEST(ParticleThreadExit, ManyThreadsAllocateAndFreeAcrossEachOther) {
  // Blocks made on one thread and freed on others while all of them allocate; every block must
  // keep its content while it is held (a broken list would hand one particle out twice).
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<std::vector<uint64_t*>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        auto* block = static_cast<uint64_t*>(AllocParticle(56));
        for (int w = 0; w < 7; ++w) block[w] = (uint64_t(t) << 32) | uint32_t(i);
        made[t].push_back(block);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  threads.clear();
  int damaged = 0;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kRounds; ++i)
      for (int w = 0; w < 7; ++w) damaged += made[t][i][w] != ((uint64_t(t) << 32) | uint32_t(i));
  EXPECT_EQ(damaged, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::vector<uint64_t*>& theirs = made[(t + 1) % kThreads];
      for (uint64_t* block : theirs) FreeParticle(56, block);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

// ---------------------------------------------------------------------------------------------
// The "PARTICLEREPLACEMENT" switch

TEST(ParticleSwitch, WordsThatSwitchTheAllocatorOff) {
  struct Case {
    const char* value;
    bool disables;
  };
  const Case cases[] = {
      {"1", true},     {"on", true},     {"ON", true},    {"yes", true},  {"yEs", true},   {"YES", true},
      {"true", true},  {"True", true},   {"0", false},    {"no", false},  {"off", false},  {"false", false},
      {"", false},     {" ", false},     {" yes", false}, {"yes ", false}, {"yess", false}, {"other", false},
      {"11", false},   {nullptr, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ParticleReplacementDisables(c.value), c.disables) << "\"" << (c.value ? c.value : "(null)") << "\"";
}

// Runs only as a child of the test below; checks the state the child's environment asks for.
TEST(ParticleSwitchChild, DISABLED_StateMatchesTheEnvironment) {
  if (!test::IsChildRun("ALLOC_TEST_CHILD")) GTEST_SKIP() << "runs only as a child process";
  char expect[16] = {};
  ::GetEnvironmentVariableA("ALLOC_TEST_EXPECT", expect, sizeof expect);
  const bool wantEnabled = strcmp(expect, "enabled") == 0;
  const char* reason = nullptr;
  EXPECT_EQ(IsParticleAllocatorEnabled(&reason), wantEnabled);
  void* block = AllocParticle(24);
  ASSERT_NE(block, nullptr);
  if (wantEnabled) {
    EXPECT_EQ(GetParticleThreadCount(24), 169);
  } else {
    EXPECT_STREQ(reason, "environment");
    EXPECT_EQ(ParticleClassSize(24), 0u);
    EXPECT_EQ(::HeapSize(::GetProcessHeap(), 0, block), 24u) << "served by the process heap";
    EXPECT_EQ(GetParticleThreadCount(24), 0);
  }
  FreeParticle(24, block);
}

TEST(ParticleSwitch, EnvironmentDecidesAtStartAndTheStartupTraceSaysWhy) {
  struct Case {
    const wchar_t* value;
    bool enabled;
  };
  const Case cases[] = {{L"yes", false}, {L"YeS", false}, {L"0", true}, {L"maybe", true}};
  for (const Case& c : cases) {
    test::ChildResult child = test::RunTestInChild(
        L"ParticleSwitchChild.*", L"ALLOC_TEST_CHILD",
        {{L"PARTICLEREPLACEMENT", c.value}, {L"ALLOC_TEST_EXPECT", c.enabled ? L"enabled" : L"disabled"}});
    const std::string value = test::Narrow(c.value);
    ASSERT_TRUE(child.started);
    EXPECT_EQ(child.exitCode, 0u) << "PARTICLEREPLACEMENT=" << value << "\n" << child.debugOutput;
    EXPECT_EQ(test::CountOccurrences(child.debugOutput, "Particle Management disabled (environment)"),
              c.enabled ? 0u : 1u)
        << "PARTICLEREPLACEMENT=" << value << "\n" << child.debugOutput;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// A thread list keeps its last particle, so that a drain hands the pool the cut-off chain without
// walking it. However the list was filled after running empty (a single free, a spliced chain,
// a refill from the pool), the drains at the cap and at thread exit must leave the pool whole:
// every particle back, each once.

namespace {

constexpr size_t kTailClass = 1016;  // refills 4, keeps up to 516; nothing else here uses it

}  // namespace

TEST(ParticleTail, DrainsAfterEveryWayOfFillingAnEmptyListKeepThePoolWhole) {
  const ParticleClassDiagnostics before = PoolOf(kTailClass);
  OnFreshThread([] {
    std::vector<void*> held;
    for (int way = 0; way < 3; ++way) {
      // Empty the list: its last particle is now stale.
      FreeParticle(kTailClass, AllocParticle(kTailClass));
      while (GetParticleThreadCount(kTailClass) > 0) held.push_back(AllocParticle(kTailClass));
      if (way == 0) {
        FreeParticle(kTailClass, held.back());
        held.pop_back();
      } else if (way == 1) {
        void* chain = nullptr;
        for (int i = 0; i < 3; ++i) {
          void* block = held.back();
          held.pop_back();
          *static_cast<void**>(block) = chain;
          chain = block;
        }
        FreeParticleChain(kTailClass, 0, chain);
      } else {
        held.push_back(AllocParticle(kTailClass));  // a refill into the empty list
      }
      // Enough to pass the cap: the list is drained back to one batch.
      while (held.size() < 600) held.push_back(AllocParticle(kTailClass));
      for (void* block : held) FreeParticle(kTailClass, block);
      held.clear();
      EXPECT_LE(GetParticleThreadCount(kTailClass), 516) << "way " << way;
    }
  });
  // The thread's exit drained the rest: the pool holds every particle it carved, less the ones
  // it held outside before.
  const ParticleClassDiagnostics after = PoolOf(kTailClass);
  EXPECT_EQ(after.carved - after.poolFree, before.carved - before.poolFree);
  // And its list is whole: taking all of it carves nothing and gives distinct particles.
  OnFreshThread([&] {
    const uint64_t take = after.poolFree - after.poolFree % 4;
    std::vector<void*> blocks;
    for (uint64_t i = 0; i < take; ++i) blocks.push_back(AllocParticle(kTailClass));
    EXPECT_EQ(PoolOf(kTailClass).carved, after.carved);
    std::vector<void*> sorted = blocks;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "a particle came out twice";
    for (void* block : blocks) FreeParticle(kTailClass, block);
  });
}
