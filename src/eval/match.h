// Matching a query against an indexed tag graph.
#pragma once

#include "base/interrupt.h"
#include "base/result.h"
#include "eval/index.h"
#include "model/query.h"

namespace lumo {

bool is_match(const Query& query, const IndexedGraph& graph);

// The same, polling `interrupt` during the search.
Result<bool, Interrupted> is_match(const Query& query, const IndexedGraph& graph,
                                   Interrupt* interrupt);

}  // namespace lumo
