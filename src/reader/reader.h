// Reading a tag graph text straight into its index.
//
// The usual way from text to index goes through the syntax tree, the
// TagGraph model and the index build, and copies every string three times.
// The direct reader walks the text once, interns each tag, identity and name
// as it meets it, and records subjects in flat arrays; relations resolve to
// what the builders' resolver finds. It handles every well-formed graph text
// except two rare forms (meta-query statements and a subject whose tags are
// written with "-" or "/"); on those, and on any error at all, it declines,
// and load_tag_graph() runs the full parser and builder, which give the
// answer, error or graph, exactly as they always do. The reader never decides
// an error itself, so every error, its message and its position, stays the
// full parser's.
//
// The reader's files: reader.cpp, the grammar loop over the text;
// layout.h, relation resolution and the ranges of moved subjects;
// workspace.h, the working arrays, kept from read to read, and their memory.
// Their names are in lumo::reading; only this header is for other code.
#pragma once

#include <string_view>

#include "base/interrupt.h"
#include "base/result.h"
#include "eval/index.h"
#include "model/build_error.h"

namespace lumo {

enum class ReadStop {
  Declined,     // not read: the full parser and builder decide
  Interrupted,  // the caller's hook stopped the read
};

// Reads a tag graph text into its index; the duplicate checks run when
// `validate` is true.
Result<IndexedGraph, ReadStop> read_graph_index(std::string_view text, bool validate,
                                                Interrupt* interrupt = nullptr);

// The tag graph of `text`: read directly when the reader can, else parsed and
// built (and indexed on first use). Errors are those of compile_tag_graph().
Result<GraphState, BuildError> load_tag_graph(std::string_view text, bool validate,
                                              Interrupt* interrupt = nullptr);

}  // namespace lumo
