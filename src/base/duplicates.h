// Whether a list repeats an element.
//
// Both graph readers check every subject's tags and identities for repeats
// when validating. Almost every such list is short, and comparing its
// elements pairwise is cheaper than any set: it touches nothing beyond the
// list. Past kPairwiseMax elements the quadratic count of comparisons takes
// over, and the list goes through a set the caller keeps from list to list,
// so that the set's memory is allocated once per read rather than per list:
// the direct reader marks string ids with stamps, the builder inserts
// strings into a hash set. Only the set differs, so it is a parameter.
#pragma once

#include <cstddef>
#include <span>

#include "base/compiler.h"
#include "base/interrupt.h"

namespace lumo {

// Longest list compared pairwise.
inline constexpr std::size_t kPairwiseMax = 8;

namespace duplicates_detail {

// The set's part, kept out of line so that the pairwise case, nearly
// always taken, inlines into the callers' per-subject checks (with this
// loop in it too, GCC called the whole check instead); a long list pays
// one call.
template <class T, class Seen>
LUMO_NOINLINE bool has_duplicate_in_set(std::span<const T> list, Seen& seen, InterruptPoll& poll) {
  seen.reset(list.size());
  bool repeated = false;
  poll.for_each(list.size(), [&](std::size_t k) { return !(repeated = !seen.insert(list[k])); });
  return repeated;
}

}  // namespace duplicates_detail

// Whether `list` holds two equal elements. `seen` is used only for a list
// longer than kPairwiseMax: seen.reset(n) readies it for a list of n
// elements (forgetting earlier ones), seen.insert(x) records x and returns
// false when x was recorded since the reset. The set's loop ticks `poll`;
// once it says stop the answer is no, and the caller checks poll.stopped().
template <class T, class Seen>
bool has_duplicate(std::span<const T> list, Seen& seen, InterruptPoll& poll) {
  const std::size_t n = list.size();
  if (n < 2) return false;
  if (n <= kPairwiseMax) {
    for (std::size_t i = 1; i < n; ++i)
      for (std::size_t j = 0; j < i; ++j)
        if (list[i] == list[j]) return true;
    return false;
  }
  return duplicates_detail::has_duplicate_in_set(list, seen, poll);
}

}  // namespace lumo
