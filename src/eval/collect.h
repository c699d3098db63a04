// Tag collection: every distinct tag and identity of a graph.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "eval/index.h"

namespace lumo {

std::vector<std::string> collect_tags(const IndexedGraph& graph);

// The same as views of the graph's own strings, valid while it lives.
std::vector<std::string_view> collect_tag_views(const IndexedGraph& graph);

// How many strings collect_tags() returns.
std::size_t count_collected(const IndexedGraph& graph);

// Hands the strings collect_tags() returns to `take`, in order, as views of
// the graph's own; `take` returns false to stop. Returns whether every
// string was taken.
template <class Take>
bool for_each_collected(const IndexedGraph& graph, Take&& take) {
  if (graph.size() == 0) return true;
  const SubtreeRange& all = graph.range(0);
  // When the root's range holds every pre-order number, as it does in any
  // graph the builders accept, a string occurs in it if it occurs at all.
  const bool everything = all.start == 0 && all.end == graph.size();
  for (TagId t = 0; t < graph.tags.size(); ++t) {
    const bool occurs =
        everything ? graph.occ_begin[t + 1] != graph.occ_begin[t] : graph.occurs(t, all);
    if (occurs && !take(graph.tags.text(t))) return false;
  }
  return true;
}

}  // namespace lumo
