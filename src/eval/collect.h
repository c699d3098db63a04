// Tag collection: every distinct tag and identity of a graph.
#pragma once

#include <string>
#include <vector>

#include "eval/index.h"

namespace lumo {

std::vector<std::string> collect_tags(const IndexedGraph& graph);

}  // namespace lumo
