#include "eval/collect.h"

namespace lumo {

std::vector<std::string> collect_tags(const IndexedGraph& graph) {
  std::vector<std::string> tags;
  if (graph.subjects.empty()) return tags;
  const PersistentSet& all = graph.subjects[0].subtree_tags;
  tags.reserve(all.size());
  all.for_each([&tags](std::string_view s) { tags.emplace_back(s); });
  return tags;
}

}  // namespace lumo
