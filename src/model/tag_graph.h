// The unindexed TagGraph model: flat, indexed subjects with tag lists, and
// the relation table. eval/index.h turns it into the indexed form.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/interrupt.h"
#include "base/result.h"
#include "model/build_error.h"
#include "model/relations.h"
#include "syntax/ast.h"

namespace lumo {

struct GraphSubject {
  std::optional<RelationLink> relation;
  std::string name;
  std::vector<std::string> identities;
  std::vector<SubjectIndex> children;  // after the relation moves
  std::vector<std::string> tags;
  SubjectIndex index = 0;
  SubjectIndex parent = 0;
  Span span;
};

struct TagGraph {
  std::vector<GraphSubject> subjects;  // pre-order; [0] is the root
  RelationTable relations;
};

// Builds a tag graph from a parsed document (taken over); the duplicate
// checks run only when `validate` is true. `interrupt`, when given, is
// polled while it builds (the Interrupted kind when it stops).
Result<TagGraph, BuildError> build_tag_graph(ParsedDocument doc, bool validate,
                                             Interrupt* interrupt = nullptr);

// parse_document + build_tag_graph; an interrupted parse gives the
// Interrupted kind.
Result<TagGraph, BuildError> compile_tag_graph(std::string_view text, bool validate,
                                               Interrupt* interrupt = nullptr);

}  // namespace lumo
