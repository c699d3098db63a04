// Tag collection: every distinct tag and identity of a graph.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "eval/index.h"

namespace lumo {

// Every distinct tag and identity of the graph, in the order the index first
// met them, as views of the graph's own strings, valid while it lives.
std::vector<std::string_view> collect_tag_views(const IndexedGraph& graph);

// How many strings collect_tag_views() returns. With `poll`, ticked as it
// goes; once it says stop the count is short and the caller drops it.
std::size_t count_collected(const IndexedGraph& graph);
std::size_t count_collected(const IndexedGraph& graph, InterruptPoll& poll);

// Hands the strings collect_tag_views() returns to `take`, in order, as views of
// the graph's own; `take` returns false to stop. Returns whether every
// string was taken: false as well once `poll` says stop.
template <class Take>
bool for_each_collected(const IndexedGraph& graph, Take&& take, InterruptPoll& poll) {
  if (graph.size() == 0) return true;
  // The root's range holds every subject, so a string is the root's if any
  // subject holds it; the table also interns names, which none holds.
  bool taken = true;
  return poll.for_each(graph.tags.size(), [&](std::size_t k) {
    const auto t = static_cast<TagId>(k);
    const bool occurs = graph.occ_begin[t + 1] != graph.occ_begin[t];
    return taken = !occurs || take(graph.tags.text(t));
  }) && taken;
}

template <class Take>
bool for_each_collected(const IndexedGraph& graph, Take&& take) {
  InterruptPoll poll(nullptr);
  return for_each_collected(graph, take, poll);
}

}  // namespace lumo
