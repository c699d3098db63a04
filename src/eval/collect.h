// Tag collection: every distinct tag and identity of a graph.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "eval/index.h"

namespace lumo {

std::vector<std::string> collect_tags(const IndexedGraph& graph);

// The same as views of the graph's own strings, valid while it lives.
std::vector<std::string_view> collect_tag_views(const IndexedGraph& graph);

}  // namespace lumo
