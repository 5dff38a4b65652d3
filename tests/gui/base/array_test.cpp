// Counted arrays of 32-bit and 64-bit elements.
#include "array.h"

#include "childrun.h"
// The size arithmetic is private to the library; the test reaches its header directly.
#include "../../../gui/base/source/strsize.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

struct Item : Reference {
  explicit Item(int* destroyed) : destroyed(destroyed) {}
  ~Item() { ++*destroyed; }
  int* destroyed;
};
using ItemArray = CountedPtrArray<Item>;

TEST(ArrayLayout, HeaderOffsetsAndBlockSizes) {
  struct Case {
    size_t elementSize;
    uint32_t capacity;
    size_t offset;
    size_t block;
  };
  const Case cases[] = {
      {4, 1, 12, 20},  {4, 10, 12, 56},  // capacity * 4 + 16
      {8, 1, 16, 32},  {8, 10, 16, 104}, // capacity * 8 + 24, one filler word before the elements
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ArrayDataOffset(c.elementSize), c.offset);
    EXPECT_EQ(ArrayBlockSize(c.capacity, c.elementSize), c.block);
  }
  Array64 wide = Array64::Allocate(3, 3);
  ASSERT_NE(wide.Header(), nullptr);
  EXPECT_EQ(reinterpret_cast<const char*>(wide.Data()) - reinterpret_cast<const char*>(wide.Header()), 16);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(wide.Data()) % 8, 0u);
  Array32 narrow = Array32::Allocate(3, 3);
  EXPECT_EQ(reinterpret_cast<const char*>(narrow.Data()) - reinterpret_cast<const char*>(narrow.Header()), 12);
}

TEST(Array, AllocateZeroesEverySlot) {
  Array64 a = Array64::Allocate(6, 2);
  ASSERT_EQ(a.Capacity(), 6u);
  EXPECT_EQ(a.Length(), 2u);
  EXPECT_EQ(a.UseCount(), 1);
  for (uint32_t i = 0; i < a.Capacity(); ++i) EXPECT_EQ(a.Data()[i], 0u) << i;
  EXPECT_EQ(Array32::Allocate(0, 0).Header(), nullptr);  // capacity 0: the null (empty) array
  Array32 empty;
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_EQ(empty.Data(), nullptr);
}

TEST(Array, SetGrowsByOneAtTheLengthOnly) {
  Array32 a;
  EXPECT_TRUE(a.Set(0, 7));
  EXPECT_EQ(a.Length(), 1u);
  EXPECT_EQ(a.Capacity(), GrowthCapacity(1, false));  // normal policy
  EXPECT_TRUE(a.Set(1, 8));
  EXPECT_TRUE(a.Set(0, 9));  // an existing slot: no growth
  EXPECT_EQ(a.Length(), 2u);
  EXPECT_FALSE(a.Set(5, 1));  // past the end: refused
  EXPECT_EQ(a.Length(), 2u);
  EXPECT_EQ(a[0], 9u);
  EXPECT_EQ(a[1], 8u);
}

TEST(Array, PushKeepsTheBlockWhileTheCapacitySuffices) {
  Array32 a;
  a.Push(0);
  const void* block = a.BufferIdentity();
  const uint32_t capacity = a.Capacity();
  for (uint32_t i = 1; i < capacity; ++i) a.Push(i);
  EXPECT_EQ(a.BufferIdentity(), block);
  a.Push(capacity);  // one more: a new block by the growth policy
  EXPECT_NE(a.BufferIdentity(), block);
  EXPECT_EQ(a.Capacity(), GrowthCapacity(capacity + 1, false));
  for (uint32_t i = 0; i <= capacity; ++i) ASSERT_EQ(a[i], i);
}

TEST(Array, WritingASharedBlockCopiesItFirst) {
  Array64 a;
  a.Push(1);
  a.Push(2);
  Array64 b = a;
  EXPECT_EQ(a.UseCount(), 2);
  b.Set(0, 10);
  EXPECT_EQ(a[0], 1u);
  EXPECT_EQ(b[0], 10u);
  EXPECT_EQ(b[1], 2u);
  EXPECT_NE(a.BufferIdentity(), b.BufferIdentity());
  EXPECT_EQ(a.UseCount(), 1);
}

TEST(Array, ResizeCopiesTheCommonPart) {
  struct Case {
    uint32_t capacity, length;
    bool keep;
    std::vector<uint32_t> expected;
  };
  const Case cases[] = {
      {10, 5, true, {1, 2, 3, 0, 0}},
      {2, 2, true, {1, 2}},
      {4, 9, true, {1, 2, 3, 0}},  // the length is cut to the capacity
      {5, 3, false, {0, 0, 0}},    // discard the old content
  };
  for (const Case& c : cases) {
    Array32 a;
    a.Push(1);
    a.Push(2);
    a.Push(3);
    ASSERT_TRUE(a.Resize(c.capacity, c.length, c.keep));
    EXPECT_EQ(a.Capacity(), c.capacity);
    ASSERT_EQ(a.Length(), c.expected.size());
    for (uint32_t i = 0; i < a.Length(); ++i) EXPECT_EQ(a[i], c.expected[i]) << i;
  }
  Array32 a;
  a.Push(1);
  ASSERT_TRUE(a.Resize(0, 0));
  EXPECT_EQ(a.Header(), nullptr);
}

TEST(CountedElements, AreLinkedInAndUnlinkedOut) {
  int destroyed = 0;
  Item* first = NewCounted<Item>(&destroyed);
  Item* second = NewCounted<Item>(&destroyed);
  {
    ItemArray a;
    a.Push(first);
    EXPECT_EQ(ReferenceCount(first), 2);
    a.Push(second);
    {
      ItemArray b = a;  // shares the block: no element counts change
      EXPECT_EQ(ReferenceCount(first), 2);
      b.Set(1, first);  // copies the block (Links both), then replaces second (Unlinks it)
      EXPECT_EQ(ReferenceCount(first), 4);
      EXPECT_EQ(ReferenceCount(second), 2);
    }
    EXPECT_EQ(ReferenceCount(first), 2);
    EXPECT_EQ(ReferenceCount(second), 2);
    ASSERT_TRUE(a.Resize(4, 1));  // second is dropped with the old block
    EXPECT_EQ(ReferenceCount(first), 2);
    EXPECT_EQ(ReferenceCount(second), 1);
    a.Set(0, nullptr);
    EXPECT_EQ(ReferenceCount(first), 1);
    a.Set(0, second);
  }
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(ReferenceCount(second), 1);
  Unlink(first);
  Unlink(second);
  EXPECT_EQ(destroyed, 2);
}

TEST(CountedElements, ReleasingTheLastHandleUnlinksEveryElement) {
  int destroyed = 0;
  {
    ItemArray a;
    for (int i = 0; i < 50; ++i) {
      Item* item = NewCounted<Item>(&destroyed);
      a.Push(item);
      Unlink(item);  // the array holds the only reference now
    }
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 50);
}

// Growth past 0xFFFFFFFF elements: event 801, then FatalError("UInt32 overflow"). The block is a
// fake that claims the maximum length; the check comes before anything touches it.
struct alignas(8) FakeArray {
  ArrayHeader header;
  uint32_t filler;
  uint64_t element;
};

TEST(ArrayGrowth, DISABLED_OverflowChild) {
  if (!test::IsChildRun("CINDRAVALE_ARRAY_CHILD")) GTEST_SKIP() << "runs only as the child of OverflowIsFatal";
  static FakeArray s_fake{{{2}, 0xFFFFFFFFu, 0xFFFFFFFFu}, 0, 0};
  Array64 a = Array64::Attach(&s_fake.header);
  a.Push(1);
}

// The overflow is reported first; then the fatal error ends the process with exit code 3.
TEST(ArrayGrowth, OverflowIsFatalAfterEvent801) {
  test::ExpectChildReports({L"ArrayGrowth.DISABLED_OverflowChild", L"CINDRAVALE_ARRAY_CHILD", 3,
                            {{"QELGUI-00801", "Array overflow detected",
                              {{"qelgui.length1", "4294967295"}, {"qelgui.length2", "1"}}},
                             {"QELGUI-00900", "UInt32 overflow", {}}}});
}

TEST(ArrayGrowthDeathTest, OverflowMessage) {
  static FakeArray s_fake{{{2}, 0xFFFFFFFFu, 0xFFFFFFFFu}, 0, 0};
  EXPECT_EXIT(
      {
        Array64 a = Array64::Attach(&s_fake.header);
        a.Set(0xFFFFFFFFu, 1);
      },
      testing::ExitedWithCode(3), "UInt32 overflow");
}

}  // namespace
