// The plain backtracking search for matching, kept for tests: it assigns the
// query subjects in ascending index, tries candidates in list order and checks
// the relations only once every subject has a graph subject. Its running time
// grows with the product of the candidate counts; is_match gives the same
// answers without that blow-up.
#pragma once

#include "eval/index.h"
#include "model/query.h"

namespace lumo {

bool is_match_plain(const Query& query, const IndexedGraph& graph);

}  // namespace lumo
