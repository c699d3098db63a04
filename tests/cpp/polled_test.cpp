// The polled array algorithms (base/polled.h) against the standard ones:
// the same results at every size, on both sides of each short path's limit,
// and a stop seen on the long paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <random>
#include <utility>
#include <vector>

#include "base/interrupt.h"
#include "base/polled.h"

namespace lumo {
namespace {

// Sizes around the limits: the inline insertion sort (kTurnsPerUnit), a
// block, a sorted run (2048) and several runs.
const std::size_t kSizes[] = {0,   1,   2,    3,    7,    15,   16,  17, 31,
                               64,  255, 256,  257,  2047, 2048, 2049, 5000};

// Pairs whose keys repeat (few distinct keys), the second member telling
// equal keys apart: a sort by key alone shows where equal elements went.
std::vector<std::pair<std::uint32_t, std::uint32_t>> keyed(std::size_t n, std::uint32_t keys,
                                                         unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> v(n);
  for (std::size_t i = 0; i < n; ++i)
    v[i] = {static_cast<std::uint32_t>(rng() % keys), static_cast<std::uint32_t>(i)};
  return v;
}

const auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };

class Hook final : public Interrupt {
 public:
  bool should_stop() override { return stop; }
  bool stop = false;
};

class PolledBySize : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PolledBySize, SortGivesTheStandardOrder) {
  const std::size_t n = GetParam();
  for (unsigned seed = 0; seed < 8; ++seed) {
    auto v = keyed(n, seed % 2 ? 5 : 1000000, seed);
    // (Seeds 6 and 7: the input descending.)
    if (seed >= 6) std::sort(v.rbegin(), v.rend());
    auto expected = v;
    std::sort(expected.begin(), expected.end(), by_key);
    InterruptPoll poll(nullptr);
    ASSERT_TRUE(polled_sort(poll, v, by_key));
    if (n <= 2048) {
      // Up to a run, the order is std::sort's, equal keys included.
      EXPECT_EQ(v, expected) << "n=" << n << " seed=" << seed;
    } else {
      // Longer: sorted by key, and the same elements.
      EXPECT_TRUE(std::is_sorted(v.begin(), v.end(), by_key));
      auto a = v, b = expected;
      std::sort(a.begin(), a.end());
      std::sort(b.begin(), b.end());
      EXPECT_EQ(a, b);
    }
  }
}

TEST_P(PolledBySize, StableSortKeepsEqualElementsInOrder) {
  const std::size_t n = GetParam();
  auto v = keyed(n, 7, 11);
  auto expected = v;
  std::stable_sort(expected.begin(), expected.end(), by_key);
  InterruptPoll poll(nullptr);
  ASSERT_TRUE(polled_stable_sort(poll, v.data(), v.size(), by_key));
  EXPECT_EQ(v, expected);
}

TEST_P(PolledBySize, UniqueIntersectionAndKeepIfMatchTheStandardOnes) {
  const std::size_t n = GetParam();
  std::mt19937 rng(static_cast<unsigned>(n));
  std::vector<std::uint64_t> a(n), b(n / 2 + 3);
  for (auto& x : a) x = rng() % (n + 1);
  for (auto& x : b) x = rng() % (n + 1);
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  InterruptPoll poll(nullptr);

  auto u = a;
  ASSERT_TRUE(polled_unique(poll, u));
  auto expected_u = a;
  expected_u.erase(std::unique(expected_u.begin(), expected_u.end()), expected_u.end());
  EXPECT_EQ(u, expected_u);

  std::vector<std::uint64_t> both, expected_both;
  ASSERT_TRUE(polled_intersection(poll, a, b, both));
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(),
                        std::back_inserter(expected_both));
  EXPECT_EQ(both, expected_both);

  auto kept = a;
  ASSERT_TRUE(polled_keep_if(poll, kept, [](std::uint64_t x) { return x % 3 != 0; }));
  auto expected_kept = a;
  std::erase_if(expected_kept, [](std::uint64_t x) { return x % 3 == 0; });
  EXPECT_EQ(kept, expected_kept);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PolledBySize, ::testing::ValuesIn(kSizes));

// A hook that says stop ends each long path early with false; a short sort
// reports the stop as well, without asking.
TEST(Polled, StopEndsTheLongPaths) {
  Hook hook;
  hook.stop = true;
  {
    InterruptPoll poll(&hook);
    auto v = keyed(20000, 1000, 3);
    EXPECT_FALSE(polled_sort(poll, v, by_key));
  }
  {
    InterruptPoll poll(&hook);
    auto v = keyed(20000, 1000, 4);
    EXPECT_FALSE(polled_stable_sort(poll, v.data(), v.size(), by_key));
  }
  {
    InterruptPoll poll(&hook);
    std::vector<std::uint64_t> a(20000), b(20000), out;
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = b[i] = i;
    EXPECT_FALSE(polled_intersection(poll, a, b, out));
    EXPECT_LT(out.size(), a.size());
  }
  {
    InterruptPoll poll(&hook);
    EXPECT_TRUE(poll.tick(InterruptPoll::kStride));  // asks, and is told to stop
    auto v = keyed(5, 3, 5);
    EXPECT_FALSE(polled_sort(poll, v, by_key));
  }
}

}  // namespace
}  // namespace lumo
