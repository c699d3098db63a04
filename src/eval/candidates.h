// Candidate lists for matching: graph subjects sorted by pre-order number.
//
// A query subject's candidates are the graph subjects carrying its identity
// (or all subjects). Sorted by their pre-order number, the ones inside a
// subtree [start, end) are one binary search and a contiguous run away, and
// leaving out a whole subtree is one more binary search. Every subject of
// an index has a proper range (see IndexedGraph), so every candidate is
// found this way.
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

// The candidates of one identity (or of all subjects), sorted by start.
// The array belongs to the match that made the list.
struct CandidateList {
  std::span<const Cand> cands;
  std::size_t size() const { return cands.size(); }
};

// A walk over the candidates of one list that lie in a range [lo, hi]
// (lo <= start, end <= hi), or over all of them.
struct Scan {
  const CandidateList* list = nullptr;
  Pos lo = 0;
  Pos hi = 0;
  bool anywhere = false;
  std::size_t pos = 0;

  void init(const CandidateList* l, const SubtreeRange* within) {
    list = l;
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
          std::lower_bound(l->cands.begin(), l->cands.end(), lo,
                           [](const Cand& c, Pos v) { return c.start < v; }) -
          l->cands.begin());
    }
  }

  // The current candidate, skipping ones outside the range; null at the end.
  const Cand* peek() const {
    const auto& r = list->cands;
    // Ranges nest, so a range starting inside [lo, hi) ends by hi.
    if (pos < r.size() && (anywhere || r[pos].start < hi)) return &r[pos];
    return nullptr;
  }

  void advance() { ++pos; }

  // Ends the walk.
  void finish() { pos = SIZE_MAX; }

  // Leaves out every remaining candidate inside the subtree of `c` (the
  // current one).
  void skip_subtree(const Cand& c) {
    const auto& r = list->cands;
    pos = static_cast<std::size_t>(
        std::lower_bound(r.begin() + static_cast<std::ptrdiff_t>(pos) + 1, r.end(), c.end,
                         [](const Cand& x, Pos v) { return x.start < v; }) -
        r.begin());
  }
};

}  // namespace lumo
