// The search behind queries with relation entries.
#pragma once

#include <utility>
#include <vector>

#include "eval/feasibility.h"
#include "eval/index.h"
#include "model/query.h"

namespace lumo {

// (query subject, graph subject) pairs of a placement.
using Placement = std::vector<std::pair<SubjectIndex, SubjectIndex>>;

// Whether some placement of the query subjects, each on a graph subject where
// it is feasible, finds every relation entry of the query among the graph's
// relations. The caller has established feasible(0, 0). False as well when
// interrupted (feasibility.poll().stopped()). With `found`, a placement that
// meets the entries is written there: the subjects the search placed (the
// ones the entries name and the parents they lie inside), in no set order.
bool search_relations(const Query& query, const IndexedGraph& graph, Feasibility& feasibility,
                      Placement* found = nullptr);

}  // namespace lumo
