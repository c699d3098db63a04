// Why a query does or does not hold in a graph.
//
// explain() decides the match exactly as is_match() does (the same
// feasibility and relation search, in the same order) and then says why:
// for a match, one assignment of query subjects to graph subjects; for no
// match, where it failed. Its extra work stays within what the match itself
// did, plus fixed budgets (see explain.cpp), and it polls the same
// interrupt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/interrupt.h"
#include "base/result.h"
#include "eval/index.h"
#include "model/query.h"

namespace lumo {

enum class ExplainKind : std::uint8_t {
  Match,           // `assignment` gives every query subject a graph subject
  EmptyGraph,      // the graph has no subjects at all
  RootExpression,  // the top-level expression fails on the whole graph
  Unplaced,        // `subject` has no graph subject inside `parent_graph`
  Relations,       // every subject has a place, but the entries are not met
};

// A graph subject that `subject` could have been given, with what it lacks:
// "lacks `t`", "has `t`, which the query excludes", or "does not satisfy
// `e`" for a part of the expression that no single tag decides.
struct CandidateNote {
  SubjectIndex graph_subject = 0;
  std::vector<std::string> reasons;
};

struct Explanation {
  ExplainKind kind = ExplainKind::EmptyGraph;
  // Match: (query subject, graph subject) for every query subject, in the
  // query's order. Unplaced: the placements of `subject`'s ancestors, root
  // first, under which it found no place.
  std::vector<std::pair<SubjectIndex, SubjectIndex>> assignment;
  // Unplaced: the query subject, and the graph subject its parent was given
  // (for a relation subject, which may lie anywhere, the graph root).
  SubjectIndex subject = 0;
  SubjectIndex parent_graph = 0;
  bool anywhere = false;  // `subject` is a relation subject
  // Unplaced: how many graph subjects with its identity lie there.
  // RootExpression and Unplaced: the closest of them, fewest reasons first.
  std::size_t candidates = 0;
  std::vector<CandidateNote> closest;
  // Relations: query relation subjects whose entry no graph relation meets
  // on its own; empty when each entry is met by some relation but no
  // placement meets them all. `relations_checked` is false when the check
  // ran out of its budget before it saw every entry.
  std::vector<SubjectIndex> unmet;
  bool relations_checked = true;
};

// How many candidates a report lists, and how many reasons per candidate.
inline constexpr std::size_t kExplainShown = 3;
inline constexpr std::size_t kExplainReasons = 4;

Result<Explanation, Interrupted> explain(const Query& query, const IndexedGraph& graph,
                                         Interrupt* interrupt);

// The explanation as text: "match" or "no match" on the first line, then
// indented lines that name query subjects by their path of identities
// (`alice > *`) and graph subjects by theirs and their pre-order number
// (`alice > laptop` #2). Paths show their last three steps.
Result<std::string, Interrupted> render_explanation(const Query& query, const IndexedGraph& graph,
                                                    const Explanation& explanation,
                                                    Interrupt* interrupt);

// explain() and render_explanation() in one call.
Result<std::string, Interrupted> explain_text(const Query& query, const IndexedGraph& graph,
                                              Interrupt* interrupt);

}  // namespace lumo
