// The list helpers that the readers, the builder and the matcher share:
// children lists filled from parent links, and the duplicate check with its
// pairwise short case. Each against a plain reference, on random inputs of
// every small size, and through the callers where their sets differ.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/child_lists.h"
#include "base/duplicates.h"
#include "model/build_error.h"
#include "model/tag_graph.h"
#include "reader/reader.h"

namespace lumo {
namespace {

// ---- children lists ---------------------------------------------------------

// Children of each node, in index order, the plain way.
std::vector<std::vector<std::size_t>> reference_children(const std::vector<std::size_t>& parent) {
  std::vector<std::vector<std::size_t>> kids(parent.size());
  for (std::size_t i = 1; i < parent.size(); ++i) kids[parent[i]].push_back(i);
  return kids;
}

// Fills the compressed lists with index type T, starting from arrays full
// of garbage, and compares them with the reference.
template <class T>
void check_fill(const std::vector<std::size_t>& parent) {
  const std::size_t n = parent.size();
  std::vector<T> begin(n + 1, T(77)), kids(n > 0 ? n - 1 : 0, T(99));
  InterruptPoll poll(nullptr);
  ASSERT_TRUE(fill_child_lists(n, [&](std::size_t i) { return static_cast<T>(parent[i]); },
                               std::span<T>(begin), std::span<T>(kids), poll));
  const auto want = reference_children(parent);
  ASSERT_EQ(begin[0], T(0));
  ASSERT_EQ(begin[n], static_cast<T>(kids.size()));
  for (std::size_t p = 0; p < n; ++p) {
    ASSERT_LE(begin[p], begin[p + 1]) << p;
    const std::vector<std::size_t> got(kids.begin() + begin[p], kids.begin() + begin[p + 1]);
    EXPECT_EQ(got, want[p]) << "children of " << p << " among " << n;
  }
}

TEST(ChildLists, AgreeWithPlainListsForEveryShape) {
  std::mt19937 rng(11);
  for (std::size_t n = 0; n < 40; ++n) {
    for (int round = 0; round < 20; ++round) {
      // Parents written before their children, as in pre-order, or any node
      // at all: the fill is a counting sort and needs neither order.
      std::vector<std::size_t> parent(n, 0);
      for (std::size_t i = 1; i < n; ++i) parent[i] = round % 2 ? rng() % i : rng() % n;
      check_fill<std::uint32_t>(parent);
      check_fill<std::size_t>(parent);
    }
  }
  // A chain and a star.
  std::vector<std::size_t> chain(50), star(50, 0);
  for (std::size_t i = 1; i < chain.size(); ++i) chain[i] = i - 1;
  check_fill<std::uint32_t>(chain);
  check_fill<std::uint32_t>(star);
}

// ---- duplicates -------------------------------------------------------------

// A set that counts how often the check falls back on it.
struct CountingSet {
  std::set<int> seen;
  int resets = 0;
  void reset(std::size_t) {
    seen.clear();
    ++resets;
  }
  bool insert(int x) { return seen.insert(x).second; }
};

bool reference_has_duplicate(const std::vector<int>& list) {
  return std::set<int>(list.begin(), list.end()).size() != list.size();
}

TEST(Duplicates, AgreeWithASetAndUseItOnlyPastThePairwiseLimit) {
  std::mt19937 rng(3);
  CountingSet set;
  InterruptPoll poll(nullptr);
  for (std::size_t n = 0; n <= 3 * kPairwiseMax; ++n) {
    for (int round = 0; round < 200; ++round) {
      // Alphabets from a little over n (repeats rare) down to 2 (repeats
      // certain from n = 3 on).
      const std::size_t letters = round % 4 == 0 ? 2 : n + 1 + round % 7;
      std::vector<int> list(n);
      for (int& x : list) x = static_cast<int>(rng() % letters);
      const int resets = set.resets;
      EXPECT_EQ(has_duplicate(std::span<const int>(list), set, poll), reference_has_duplicate(list))
          << "length " << n << " round " << round;
      EXPECT_EQ(set.resets - resets, n > kPairwiseMax ? 1 : 0) << "length " << n;
    }
  }
}

TEST(Duplicates, OnlyTheEndsRepeat) {
  CountingSet set;
  InterruptPoll poll(nullptr);
  for (std::size_t n = 2; n <= 2 * kPairwiseMax + 1; ++n) {
    std::vector<int> list(n);
    for (std::size_t i = 0; i < n; ++i) list[i] = static_cast<int>(i);
    EXPECT_FALSE(has_duplicate(std::span<const int>(list), set, poll)) << n;
    list.back() = list.front();
    EXPECT_TRUE(has_duplicate(std::span<const int>(list), set, poll)) << n;
  }
}

// The readers' own sets (string ids marked with stamps in the direct
// reader, a hash set of strings in the builder) through texts: lists at the
// pairwise limit and past it, a repeat at either end or none, as identities
// and as tags. Both ways must refuse the same texts.
struct DuplicateCase {
  std::size_t length;
  bool repeat;
  bool identities;
};

class DuplicateLists : public ::testing::TestWithParam<DuplicateCase> {};

std::string list_text(std::size_t length, bool repeat, const std::string& prefix) {
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    if (i > 0) out += ", ";
    out += prefix + std::to_string(repeat && i + 1 == length ? 0 : i);
  }
  return out;
}

TEST_P(DuplicateLists, BothWaysRefuseTheSameTexts) {
  const DuplicateCase c = GetParam();
  const std::string list = list_text(c.length, c.repeat, "t");
  // A second subject with a long list of the same strings, and one after
  // it: marks of one list must not carry over to the next.
  const std::string other = list_text(2 * kPairwiseMax, false, "t");
  const std::string entry = c.identities ? "*(" + list + ")" : "x : " + list;
  const std::string text = "{ a : " + other + "\n " + entry + "\n b(" + other + ") }";
  SCOPED_TRACE(text);
  EXPECT_EQ(read_graph_index(text, true).ok(), !c.repeat);
  EXPECT_TRUE(read_graph_index(text, false).ok());
  auto built = compile_tag_graph(text, true);
  ASSERT_EQ(built.ok(), !c.repeat);
  if (!built)
    EXPECT_EQ(built.error().kind, c.identities ? BuildErrorKind::DuplicateIdentities
                                               : BuildErrorKind::DuplicateTags);
  auto loaded = load_tag_graph(text, true);
  ASSERT_EQ(loaded.ok(), !c.repeat);
  if (!loaded) EXPECT_EQ(loaded.error().kind, built.error().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, DuplicateLists,
    ::testing::Values(DuplicateCase{kPairwiseMax, true, false},
                      DuplicateCase{kPairwiseMax, false, false},
                      DuplicateCase{kPairwiseMax + 1, true, false},
                      DuplicateCase{kPairwiseMax + 1, false, false},
                      DuplicateCase{3 * kPairwiseMax, true, false},
                      DuplicateCase{3 * kPairwiseMax, false, false},
                      DuplicateCase{kPairwiseMax, true, true},
                      DuplicateCase{kPairwiseMax + 1, true, true},
                      DuplicateCase{kPairwiseMax + 1, false, true},
                      DuplicateCase{3 * kPairwiseMax, true, true}),
    [](const ::testing::TestParamInfo<DuplicateCase>& info) {
      const DuplicateCase& c = info.param;
      return std::string(c.identities ? "Identities" : "Tags") + std::to_string(c.length) +
             (c.repeat ? "Repeat" : "Distinct");
    });

}  // namespace
}  // namespace lumo
