// Reference counting: Link/Unlink, the owning handle, and the fatal count checks.
#include "reference.h"

#include <gtest/gtest.h>

namespace {

struct Counted : Reference {
  explicit Counted(int* destroyed) : destroyed(destroyed) {}
  ~Counted() { ++*destroyed; }
  int* destroyed;
};

TEST(Reference, LinkAndUnlinkReturnTheNewCount) {
  Reference r{1};
  EXPECT_EQ(LinkReference(&r), 2);
  EXPECT_EQ(LinkReference(&r), 3);
  EXPECT_EQ(UnlinkReference(&r), 2);
  EXPECT_EQ(UnlinkReference(&r), 1);
  EXPECT_EQ(UnlinkReference(&r), 0);
  EXPECT_EQ(r.useCount, 0);
}

TEST(Reference, TheCountIsTheFirstWordOfACountedObject) {
  int destroyed = 0;
  Counted* object = NewCounted<Counted>(&destroyed);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(*reinterpret_cast<int32_t*>(object), 1);
  Unlink(object);
  EXPECT_EQ(destroyed, 1);
}

TEST(Reference, UnlinkDestroysAtZeroOnly) {
  int destroyed = 0;
  Counted* object = NewCounted<Counted>(&destroyed);
  Link(object);
  Unlink(object);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(ReferenceCount(object), 1);
  Unlink(object);
  EXPECT_EQ(destroyed, 1);
}

TEST(Reference, NullIsIgnored) {
  Counted* none = nullptr;
  EXPECT_EQ(Link(none), nullptr);
  Unlink(none);
}

TEST(CountedPtr, CopiesLinkAndDestructionUnlinks) {
  int destroyed = 0;
  {
    auto a = CountedPtr<Counted>::Adopt(NewCounted<Counted>(&destroyed));
    EXPECT_EQ(ReferenceCount(a.Get()), 1);
    {
      CountedPtr<Counted> b = a;
      EXPECT_EQ(ReferenceCount(a.Get()), 2);
      CountedPtr<Counted> c(std::move(b));
      EXPECT_FALSE(b);
      EXPECT_EQ(ReferenceCount(a.Get()), 2);
    }
    EXPECT_EQ(ReferenceCount(a.Get()), 1);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(CountedPtr, SelfAssignmentKeepsTheObject) {
  int destroyed = 0;
  auto a = CountedPtr<Counted>::Adopt(NewCounted<Counted>(&destroyed));
  CountedPtr<Counted>& alias = a;
  a = alias;
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(ReferenceCount(a.Get()), 1);
  a = std::move(alias);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(ReferenceCount(a.Get()), 1);
}

TEST(CountedPtr, OverwritingUnlinksTheOldTarget) {
  int destroyedA = 0, destroyedB = 0;
  auto a = CountedPtr<Counted>::Adopt(NewCounted<Counted>(&destroyedA));
  auto b = CountedPtr<Counted>::Adopt(NewCounted<Counted>(&destroyedB));
  a = b;
  EXPECT_EQ(destroyedA, 1);
  EXPECT_EQ(ReferenceCount(b.Get()), 2);
  a.Reset();
  EXPECT_EQ(ReferenceCount(b.Get()), 1);
  EXPECT_EQ(destroyedB, 0);
}

// FatalError writes the message to standard error and ends the process with exit code 3.
// GoogleTest runs each statement in a child process (it re-runs this test program).
struct FatalCase {
  const char* name;
  int32_t count;
  bool link;
  const char* pattern;
};

class ReferenceDeathTest : public testing::TestWithParam<FatalCase> {};

TEST_P(ReferenceDeathTest, InvalidCountEndsTheProcess) {
  const FatalCase& c = GetParam();
  EXPECT_EXIT(
      {
        Reference r{c.count};
        if (c.link)
          LinkReference(&r);
        else
          UnlinkReference(&r);
      },
      testing::ExitedWithCode(3), c.pattern);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, ReferenceDeathTest,
    testing::Values(FatalCase{"LinkOnZero", 0, true, "Reference::Link: \\w+: Invalid reference count \\(1\\)"},
                    FatalCase{"LinkOnNegative", -5, true, "Reference::Link: \\w+: Invalid reference count \\(-4\\)"},
                    FatalCase{"LinkPastMaximum", INT32_MAX, true,
                              "Reference::Link: \\w+: Invalid reference count \\(-2147483648\\)"},
                    FatalCase{"UnlinkOnZero", 0, false, "Reference::Unlink: \\w+: Invalid reference count \\(-1\\)"},
                    FatalCase{"UnlinkOnNegative", -3, false,
                              "Reference::Unlink: \\w+: Invalid reference count \\(-4\\)"}),
    [](const testing::TestParamInfo<FatalCase>& info) { return std::string(info.param.name); });

TEST(ReferenceDeathTest, TheMessageNamesTheObjectAddress) {
  // A static object has the same address in the child process that GoogleTest starts.
  static Reference s_zero{0};
  char expected[96];
  // FatalError formats with the library's formatter, whose %p form is "0x" and 16 upper-case digits.
  snprintf(expected, sizeof expected, "Reference::Link: 0x%016llX: Invalid",
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&s_zero)));
  EXPECT_EXIT(LinkReference(&s_zero), testing::ExitedWithCode(3), expected);
}

}  // namespace
