// The search behind queries with relation entries.
#pragma once

#include <span>

#include "eval/feasibility.h"
#include "eval/index.h"
#include "model/query.h"

namespace lumo {

// Whether some placement of the query subjects, each on a graph subject where
// it is feasible, finds every relation entry of the query among the graph's
// relations. The caller has established feasible(0, 0). False as well when
// interrupted (feasibility.poll().stopped()).
bool search_relations(const Query& query, const IndexedGraph& graph, Feasibility& feasibility);

// search_relations(), and on success the placement that meets the entries:
// at[q] is set to the graph subject of each query subject q the search
// placed (those the entries name and the parents they lie inside); the
// others are left as they were. `at` has one element per query subject.
// False as well when interrupted.
bool search_relations(const Query& query, const IndexedGraph& graph, Feasibility& feasibility,
                      std::span<SubjectIndex> at);

}  // namespace lumo
