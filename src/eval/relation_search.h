// The search behind queries with relation entries.
#pragma once

#include "eval/feasibility.h"
#include "eval/index.h"
#include "model/query.h"

namespace lumo {

// Whether some placement of the query subjects, each on a graph subject where
// it is feasible, finds every relation entry of the query among the graph's
// relations. The caller has established feasible(0, 0). False as well when
// interrupted (feasibility.poll().stopped()).
bool search_relations(const Query& query, const IndexedGraph& graph, Feasibility& feasibility);

}  // namespace lumo
