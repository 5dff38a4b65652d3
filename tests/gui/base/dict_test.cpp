// Dictionaries of Values: buckets, insertion order, replacement and copy-on-write.
#include "dict.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DictionaryBucket, SignedBytesThirtyOneMultiplierModThirteen) {
  struct Case {
    std::string key;
    uint32_t bucket;
  };
  const Case cases[] = {
      {"", 0},
      {"a", 6},
      {"ab", 11},
      {"message", 1},
      {"processid", 2},
      // Bytes above 0x7F count as negative numbers: read unsigned these would give 0 and 11.
      {"\xC3\xA9", 7},
      {"\xE2\x82\xAC", 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DictionaryBucket(c.key.data(), uint32_t(c.key.size())), c.bucket) << c.key;
}

TEST(ValueArrayGrowth, Capacities) {
  struct Case {
    uint64_t n, k;
    uint32_t capacity;
  };
  const Case cases[] = {
      {1, 1, 11},          {19, 1, 29},           // small: n + 10
      {20, 6, 20},         {100, 30, 100},        // a large addition: exactly n
      {20, 1, 30},         {99999, 1, 149998},    // n + n/2
      {100000, 1, 150000}, {0xFFFFFFF0u, 1, 0xFFFFFFFFu},  // n + 50000, capped at 32 bits
  };
  for (const Case& c : cases) EXPECT_EQ(ValueArrayCapacity(c.n, c.k), c.capacity) << c.n << "+" << c.k;
}

std::string Keys(const Dictionary& d) {
  std::string keys;
  for (uint32_t i = 0; i < d.Count(); ++i) {
    if (i) keys += ",";
    keys += d.KeyAt(i).c_str();
  }
  return keys;
}

TEST(Dictionary, KeepsInsertionOrderAndReplacesInPlace) {
  Dictionary d;
  EXPECT_EQ(d.Count(), 0u);
  ASSERT_TRUE(d.Set("b", Value(1)));
  ASSERT_TRUE(d.Set("a", Value(2)));
  ASSERT_TRUE(d.Set("c", Value("three")));
  EXPECT_EQ(Keys(d), "b,a,c");
  ASSERT_TRUE(d.Set("b", Value(10)));
  EXPECT_EQ(Keys(d), "b,a,c");
  EXPECT_EQ(d.Count(), 3u);
  EXPECT_EQ(d.Get("b").AsInteger(), 10);
  EXPECT_EQ(d.Find(Str("a")), 1);
  EXPECT_STREQ(d.Get("c").AsText().c_str(), "three");
  EXPECT_TRUE(d.Get("missing").IsEmpty());
  EXPECT_EQ(d.Find(Str("missing")), -1);
}

TEST(Dictionary, KeysCompareByteForByte) {
  Dictionary d;
  d.Set("Key", Value(1));
  d.Set("key", Value(2));
  d.Set("key ", Value(3));
  d.Set(Str("k\0y", 3), Value(4));
  d.Set(Str("k\0z", 3), Value(5));
  EXPECT_EQ(d.Count(), 5u);
  EXPECT_EQ(d.Get("Key").AsInteger(), 1);
  EXPECT_EQ(d.Get("key").AsInteger(), 2);
  EXPECT_EQ(d.Get(Str("k\0z", 3)).AsInteger(), 5);
}

TEST(Dictionary, EmptyKeyIsAnEntry) {
  Dictionary d;
  d.Set("", Value(7));
  d.Set(Str(), Value(8));  // the same (empty) key
  EXPECT_EQ(d.Count(), 1u);
  EXPECT_EQ(d.Get("").AsInteger(), 8);
}

TEST(Dictionary, ManyKeysShareThirteenBuckets) {
  Dictionary d;
  const int n = 500;
  for (int i = 0; i < n; ++i) ASSERT_TRUE(d.Set(Str(("k" + std::to_string(i)).c_str()), Value(i * 3)));
  ASSERT_EQ(d.Count(), uint32_t(n));
  for (int i = 0; i < n; ++i) {
    std::string key = "k" + std::to_string(i);
    EXPECT_EQ(d.Get(key.c_str()).AsInteger(), i * 3) << key;
    EXPECT_EQ(d.Find(Str(key.c_str())), i);
    EXPECT_STREQ(d.KeyAt(uint32_t(i)).c_str(), key.c_str());
  }
}

TEST(Dictionary, CopyOnWriteLeavesTheOtherHandleAlone) {
  Dictionary a;
  a.Set("x", Value(1));
  a.Set("y", Value("old"));
  Dictionary b = a;
  EXPECT_EQ(a.BufferIdentity(), b.BufferIdentity());

  struct Step {
    const char* key;
    int64_t value;
  };
  // A replacement, then a new key: each must stay invisible to `a`.
  const Step steps[] = {{"x", 100}, {"z", 3}};
  for (const Step& s : steps) ASSERT_TRUE(b.Set(s.key, Value(s.value)));
  EXPECT_NE(a.BufferIdentity(), b.BufferIdentity());
  EXPECT_EQ(Keys(a), "x,y");
  EXPECT_EQ(a.Get("x").AsInteger(), 1);
  EXPECT_TRUE(a.Get("z").IsEmpty());
  EXPECT_EQ(Keys(b), "x,y,z");
  EXPECT_EQ(b.Get("x").AsInteger(), 100);
  EXPECT_STREQ(b.Get("y").AsText().c_str(), "old");

  // And the other way round: writing the original does not reach the copy.
  a.Set("y", Value("new"));
  EXPECT_STREQ(b.Get("y").AsText().c_str(), "old");
}

TEST(Dictionary, SharedThroughValuesIsCopiedBeforeAWrite) {
  Dictionary d;
  d.Set("n", Value(1));
  Value first(d);
  Value second = first;
  Dictionary edit = second.AsDictionary();
  d.Clear();  // only the Values hold the record now, plus `edit`
  edit.Set("n", Value(2));
  edit.Set("m", Value(3));
  EXPECT_EQ(first.AsDictionary().Get("n").AsInteger(), 1);
  EXPECT_EQ(second.AsDictionary().Count(), 1u);
  EXPECT_EQ(edit.Count(), 2u);
}

TEST(Dictionary, KeyBufferIsNotChangedThroughTheCallersHandle) {
  Str key("abc");
  Dictionary d;
  d.Set(key, Value(1));
  key.Append("def");  // the buffer is shared with the dictionary, so this copies
  EXPECT_STREQ(d.KeyAt(0).c_str(), "abc");
  EXPECT_EQ(d.Get("abc").AsInteger(), 1);
  EXPECT_TRUE(d.Get("abcdef").IsEmpty());
}

TEST(Dictionary, HoldsItsValuesAlive) {
  Str text("payload");
  Dictionary d;
  d.Set("t", Value(text));
  EXPECT_EQ(text.UseCount(), 2);
  d.Set("t", Value(5));  // replacement releases the old value
  EXPECT_EQ(text.UseCount(), 1);
  d.Set("t", Value(text));
  {
    Dictionary copy = d;
    copy.Set("u", Value(text));  // the copy shares the old value array's elements
    EXPECT_EQ(text.UseCount(), 4);
  }
  EXPECT_EQ(text.UseCount(), 2);
  d = Dictionary();
  EXPECT_EQ(text.UseCount(), 1);
}

TEST(Dictionary, StoredIntoItselfHoldsItsEarlierState) {
  // Copy-on-write means no record can ever contain itself, so walking a tree always ends.
  Dictionary d;
  d.Set("n", Value(1));
  d.Set("self", Value(d));
  d.Set("self", Value(d));
  Dictionary level1 = d.Get("self").AsDictionary();
  Dictionary level2 = level1.Get("self").AsDictionary();
  EXPECT_NE(level1.Record(), d.Record());
  EXPECT_EQ(level1.Count(), 2u);
  EXPECT_EQ(level2.Count(), 1u);
  EXPECT_TRUE(level2.Get("self").IsEmpty());

  ValueArray a;
  a.Append(Value(1));
  a.Append(Value(a));
  EXPECT_EQ(a.Length(), 2u);
  EXPECT_EQ(a.Get(1).AsArray().Length(), 1u);
}

TEST(Dictionary, NestedDictionaryValues) {
  Dictionary inner;
  inner.Set("lockname", Value("Str s_modulename"));
  Dictionary outer;
  outer.Set("qelgui", Value(inner));
  Value v(outer);
  EXPECT_EQ(v.Count(), 1u);
  EXPECT_STREQ(v.AsDictionary().Get("qelgui").AsDictionary().Get("lockname").AsText().c_str(), "Str s_modulename");
}

}  // namespace
