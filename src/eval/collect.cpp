// Tag collection reads the index: every interned string that occurs within
// the root's range, in the order the index first met them.

#include "eval/collect.h"

namespace lumo {

std::vector<std::string_view> collect_tag_views(const IndexedGraph& graph) {
  std::vector<std::string_view> tags;
  if (graph.size() == 0) return tags;
  const SubtreeRange& all = graph.range(0);
  tags.reserve(graph.tags.size());
  // When the root's range holds every pre-order number, as it does in any
  // graph the builders accept, a string occurs in it if it occurs at all.
  const bool everything = all.start == 0 && all.end == graph.size();
  for (TagId t = 0; t < graph.tags.size(); ++t) {
    const bool occurs =
        everything ? graph.occ_begin[t + 1] != graph.occ_begin[t] : graph.occurs(t, all);
    if (occurs) tags.push_back(graph.tags.text(t));
  }
  return tags;
}

std::vector<std::string> collect_tags(const IndexedGraph& graph) {
  const std::vector<std::string_view> views = collect_tag_views(graph);
  return std::vector<std::string>(views.begin(), views.end());
}

}  // namespace lumo
