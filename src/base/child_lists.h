// Children lists of a tree given by parent links, in compressed form.
//
// Trees here are numbered so that the root is 0 and every other node has a
// parent link. Walks and searches need each node's children instead, and an
// array of vectors would cost an allocation per node; so all children go in
// one array, a node's as one run, found through an array of run starts: a
// counting sort by parent. The reader fills these for the resolver and the
// matcher for the query's subjects; both keep the arrays in memory of their
// own, so the fill takes them ready-sized.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

#include "base/interrupt.h"

namespace lumo {

// Fills the children of nodes 0 .. n - 1, each node's in index order: node
// i's children are kids[begin[i] .. begin[i + 1]). `parent_of(i)`, for i in
// 1 .. n - 1, is i's parent. `begin` has n + 1 entries and `kids` n - 1 (none
// when n is 0); their old contents do not matter. Each pass ticks `poll`
// (kPolled: see InterruptPoll::for_each); false when it said stop, the
// lists then unfinished.
template <bool kPolled = true, class ParentOf, class B, class K>
bool fill_child_lists(std::size_t n, ParentOf&& parent_of, std::span<B> begin, std::span<K> kids,
                      InterruptPoll& poll) {
  std::fill(begin.begin(), begin.end(), B{0});
  // begin[p] serves as p's cursor while filling, which leaves it at the
  // start of p + 1; shifting by one restores the starts.
  if (!poll.for_each<kPolled>(1, n, [&](std::size_t i) { ++begin[parent_of(i) + 1]; }) ||
      !poll.for_each<kPolled>(n, [&](std::size_t i) { begin[i + 1] += begin[i]; }) ||
      !poll.for_each<kPolled>(
          1, n, [&](std::size_t i) { kids[begin[parent_of(i)]++] = static_cast<K>(i); }) ||
      !poll.for_each<kPolled>(n, [&](std::size_t k) { begin[n - k] = begin[n - k - 1]; })) {
    return false;
  }
  begin[0] = 0;
  return true;
}

}  // namespace lumo
