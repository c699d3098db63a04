// From subjects as written to the index's tree: relations and ranges.
//
// The grammar numbers subjects in text order, which is the pre-order of the
// tree as written, and closes each body at the end of its subtree, so
// without relation moves every subject's range is [i, i + size) and nothing
// is left to do. Relations of a small graph are resolved by climbing from
// each relation's source through those ranges, which costs next to nothing
// on a record; a large graph, or one where climbing would cost too much,
// goes to the builders' resolver, which is linear on any text, over the
// flat arrays. When a relation subject moves to another context, the final
// tree is walked once, iteratively, reaching written children through the
// ranges and moved ones through a sorted list, to renumber it. Whatever the
// builders would refuse here (a path that names nothing, a relation between
// relation subjects, moves that form a cycle) is declined, not reported.
#pragma once

#include "base/interrupt.h"
#include "reader/workspace.h"

namespace lumo::reading {

// Resolves the relations of `w.s`, moves relation subjects under their
// contexts and gives every subject its range in `w.parts` (with
// `w.parts.preorder` and `w.parts.relations` when subjects move). False to
// decline, or when `poll` says stop (then poll.stopped() is true).
bool lay_out(Workspace& w, InterruptPoll& poll);

}  // namespace lumo::reading
