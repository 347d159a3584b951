#include "filter/seen_ids.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Equal IDs stay equal and different IDs stay different, on both sides of the length at which
// an ID is kept by its digest, and a digest key never meets a verbatim one.
TEST(SeenIdsTest, KeysKeepEqualityAcrossTheDigestLength) {
  const std::string at_limit = "<" + std::string(SeenIds::kLongId - 4, 'a') + "@x>";
  const std::string long_id = "<" + std::string(5 << 20, 'a') + "@x>";
  std::string long_other = long_id;
  long_other[long_other.size() / 2] = 'b';
  ASSERT_EQ(at_limit.size(), SeenIds::kLongId);

  EXPECT_EQ(SeenIds::key(at_limit), "=" + at_limit);
  EXPECT_EQ(SeenIds::key(long_id).size(), 33u);
  EXPECT_EQ(SeenIds::key(long_id), SeenIds::key(std::string(long_id)));

  SeenIds seen;
  for (const std::string& id : {at_limit, at_limit + "b", long_id, long_other}) {
    EXPECT_TRUE(seen.insert(SeenIds::key(id))) << id.substr(0, 70);
    EXPECT_FALSE(seen.insert(SeenIds::key(id))) << id.substr(0, 70);
  }
  // A short ID whose bytes spell out a digest key is still a different ID.
  EXPECT_TRUE(seen.insert(SeenIds::key(SeenIds::key(long_id))));
  EXPECT_EQ(seen.size(), 5u);
  seen.clear();
  EXPECT_TRUE(seen.insert(SeenIds::key(long_id)));
}

// The table grows many times over a large mailbox; no key is lost or found twice on the way.
TEST(SeenIdsTest, EveryKeyIsFoundAfterTheTableGrows) {
  SeenIds seen;
  const auto id = [](int i) {
    std::string text = "<";  // appended: the optimiser misreads a concatenation here
    text += std::to_string(i);
    text += '.';
    text += std::to_string(i * 7919);
    text += "@x>";
    return text;
  };
  for (int i = 0; i < 50000; ++i) ASSERT_TRUE(seen.insert(SeenIds::key(id(i)))) << i;
  EXPECT_EQ(seen.size(), 50000u);
  for (int i = 0; i < 50000; ++i) {
    ASSERT_FALSE(seen.insert(SeenIds::key(id(i)))) << i;
    ASSERT_TRUE(seen.contains(SeenIds::key(id(i)))) << i;
  }
  EXPECT_FALSE(seen.contains(SeenIds::key(id(50000))));
  EXPECT_FALSE(seen.contains(SeenIds::key("")));
  EXPECT_TRUE(seen.insert(SeenIds::key("")));
  EXPECT_EQ(seen.size(), 50001u);
}

}  // namespace
