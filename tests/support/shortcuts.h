// Shorter forms of core calls, for tests, benchmarks and the fuzz target.
//
// The core offers each step in the one form its bindings need: polling an
// interrupt hook, handing SQL values to a sink, collecting tags as views of
// the graph's own strings. Checks and measurements want plainer forms (no
// hook, owned strings, the values in a list), and these are built here from
// the core's calls, so that nothing in the core exists only for them.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "eval/index.h"
#include "model/query.h"
#include "model/tag_graph.h"
#include "output/sql.h"

namespace lumo {

// Whether the subtree of subject `g` holds `tag` (as a tag or identity).
bool subtree_holds(const IndexedGraph& graph, SubjectIndex g, std::string_view tag);

// The subjects carrying identity `id`, ascending, one per occurrence.
std::span<const std::uint32_t> with_identity(const IndexedGraph& graph, std::string_view id);

// The index of a graph, built with no interrupt hook.
IndexedGraph build_index(TagGraph graph);
const IndexedGraph& ensure_index(GraphState& state);

// Matching with no interrupt hook.
bool is_match(const Query& query, const IndexedGraph& graph);

// Every distinct tag and identity of a graph, as owned strings.
std::vector<std::string> collect_tags(const IndexedGraph& graph);

// The SQL condition of a query with its values in a list, as the Python
// binding sees them: `args_len` is the length of the caller's list before
// the call, and each value adds one to it.
struct SqlOutput {
  std::string text;
  std::vector<SqlParam> params;  // in append order
};
SqlOutput to_sql(const Query& query, std::size_t args_len);

}  // namespace lumo
