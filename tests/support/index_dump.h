// A canonical text of an index, for comparing two indexes of one graph that
// were built different ways: equal texts mean equal answers to every
// question the matcher and the tag collection ask.
#pragma once

#include <string>

#include "eval/index.h"

namespace lumo {

// Subject ranges in index order, the relation table sorted, and for every
// string that some subject holds, sorted by text: its pre-order numbers and
// its identity carriers. Strings the table holds but no subject does (names
// only) are left out, as no answer depends on them.
std::string dump_index(const IndexedGraph& g);

// What is wrong with the subject ranges of `g`, or "" when they are what
// matching relies on: the starts are 0 .. size() - 1, each once, every range
// is proper and lies inside the root's [0, size()), and ranges nest.
std::string ranges_fault(const IndexedGraph& g);

}  // namespace lumo
