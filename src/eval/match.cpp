// Matching a query against an indexed tag graph.
//
// A query holds in a graph when every query subject can be given a graph
// subject that carries its identity, satisfies its expression and lies inside
// the graph subject given to the subject it was written in (relation subjects
// may lie anywhere), and the query's relation entries are found among the
// graph's relations.
//
// Feasibility (feasibility.h) answers the question without the relation
// entries, memoised per (query subject, graph subject); a query without
// entries holds exactly when the root is feasible on the graph's root. With
// entries, the constraint search of relation_search.h places the subjects
// the entries involve on feasible graph subjects.

#include "eval/match.h"

#include "eval/feasibility.h"
#include "eval/relation_search.h"

namespace lumo {

namespace {

bool run_match(const Query& query, const IndexedGraph& graph, InterruptPoll& poll) {
  if (query.subjects.empty() || graph.size() == 0) return false;
  Feasibility feasibility(query, graph, poll);
  if (!feasibility.feasible(0, 0)) return false;
  if (query.relations.empty()) return true;
  return search_relations(query, graph, feasibility);
}

}  // namespace

Result<bool, Interrupted> is_match(const Query& query, const IndexedGraph& graph,
                                   Interrupt* interrupt) {
  InterruptPoll poll(interrupt);
  const bool matched = run_match(query, graph, poll);
  if (poll.stopped()) return make_err(Interrupted{});
  return matched;
}

}  // namespace lumo
