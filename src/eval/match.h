// Matching a query against an indexed tag graph.
#pragma once

#include "eval/index.h"
#include "model/query.h"

namespace lumo {

bool is_match(const Query& query, const IndexedGraph& graph);

}  // namespace lumo
