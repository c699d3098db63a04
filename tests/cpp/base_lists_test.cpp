// The list helpers that the readers, the builder and the matcher share:
// children lists filled from parent links, against a plain reference, on
// random inputs of every small size.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "base/child_lists.h"

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
  fill_child_lists(n, [&](std::size_t i) { return static_cast<T>(parent[i]); },
                   std::span<T>(begin), std::span<T>(kids));
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

}  // namespace
}  // namespace lumo
