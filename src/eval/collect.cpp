// Tag collection reads the index: every interned string that occurs within
// the root's range, in the order the index first met them.

#include "eval/collect.h"

namespace lumo {

std::size_t count_collected(const IndexedGraph& graph, InterruptPoll& poll) {
  std::size_t n = 0;
  for_each_collected(
      graph,
      [&](std::string_view) {
        ++n;
        return true;
      },
      poll);
  return n;
}

std::size_t count_collected(const IndexedGraph& graph) {
  InterruptPoll poll(nullptr);
  return count_collected(graph, poll);
}

namespace {

template <class Strings>
Strings collect_into(const IndexedGraph& graph) {
  Strings tags;
  tags.reserve(count_collected(graph));
  for_each_collected(graph, [&](std::string_view s) {
    tags.emplace_back(s);
    return true;
  });
  return tags;
}

}  // namespace

std::vector<std::string_view> collect_tag_views(const IndexedGraph& graph) {
  return collect_into<std::vector<std::string_view>>(graph);
}

}  // namespace lumo
