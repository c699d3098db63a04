// Matching a query against an indexed tag graph.
#pragma once

#include "base/interrupt.h"
#include "base/result.h"
#include "eval/index.h"
#include "model/query.h"

namespace lumo {

// Whether `query` holds in `graph`, polling `interrupt` (null: none) during
// the search.
Result<bool, Interrupted> is_match(const Query& query, const IndexedGraph& graph,
                                   Interrupt* interrupt);

}  // namespace lumo
