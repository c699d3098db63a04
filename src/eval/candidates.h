// Candidate lists for matching: graph subjects sorted by pre-order number.
//
// A query subject's candidates are the graph subjects carrying its identity
// (or all subjects). Sorted by their pre-order number, the ones inside a
// subtree [start, end) are one binary search and a contiguous run away, and
// leaving out a whole subtree is one more binary search. Subjects that the
// index left without a range (none in a graph the builders accept) are kept
// apart and tested one by one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "eval/index.h"

namespace lumo {

using Pos = std::uint32_t;

// One candidate graph subject with its subtree range.
struct Cand {
  Pos start;
  Pos end;
  SubjectIndex g;
};

// The candidates of one identity (or of all subjects): those with a proper
// range sorted by start, and those the index left without a range.
// The arrays belong to the match that made the list.
struct CandidateList {
  std::span<const Cand> ranged;
  std::span<const Cand> rangeless;
  std::size_t size() const { return ranged.size() + rangeless.size(); }
};

// A walk over the candidates of one list that lie in a range [lo, hi]
// (lo <= start, end <= hi), or over all of them.
struct Scan {
  const CandidateList* list = nullptr;
  Pos lo = 0;
  Pos hi = 0;
  bool anywhere = false;
  bool in_rangeless = false;
  std::size_t pos = 0;

  void init(const CandidateList* l, const SubtreeRange* within) {
    list = l;
    in_rangeless = false;
    if (within == nullptr) {
      anywhere = true;
      lo = 0;
      hi = std::numeric_limits<Pos>::max();
      pos = 0;
    } else {
      anywhere = false;
      lo = within->start;
      hi = within->end;
      pos = static_cast<std::size_t>(
          std::lower_bound(l->ranged.begin(), l->ranged.end(), lo,
                           [](const Cand& c, Pos v) { return c.start < v; }) -
          l->ranged.begin());
    }
  }

  // The current candidate, skipping ones outside the range; null at the end.
  const Cand* peek() {
    if (!in_rangeless) {
      const auto& r = list->ranged;
      // Ranges nest, so a proper range starting inside [lo, hi) ends by hi.
      if (pos < r.size() && (anywhere || r[pos].start < hi)) return &r[pos];
      in_rangeless = true;
      pos = 0;
    }
    const auto& r = list->rangeless;
    while (pos < r.size()) {
      const Cand& c = r[pos];
      if (anywhere || (lo <= c.start && c.end <= hi)) return &c;
      ++pos;
    }
    return nullptr;
  }

  void advance() { ++pos; }

  // Ends the walk.
  void finish() {
    pos = SIZE_MAX;
    in_rangeless = true;
  }

  // Leaves out every remaining candidate inside the subtree of `c` (the
  // current one).
  void skip_subtree(const Cand& c) {
    if (in_rangeless || c.end <= c.start) {
      ++pos;
      return;
    }
    const auto& r = list->ranged;
    pos = static_cast<std::size_t>(
        std::lower_bound(r.begin() + static_cast<std::ptrdiff_t>(pos) + 1, r.end(), c.end,
                         [](const Cand& x, Pos v) { return x.start < v; }) -
        r.begin());
  }
};

}  // namespace lumo
