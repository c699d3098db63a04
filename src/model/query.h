// The Query model: flat, indexed subjects with their expressions, the
// relation table that matching checks, and the meta queries.
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

struct QuerySubject {
  std::optional<RelationLink> relation;
  std::string name;
  std::vector<std::string> identities;
  std::vector<SubjectIndex> children;  // after re-parenting
  ExprId expression = 0;               // node of Query::exprs
  SubjectIndex index = 0;
  SubjectIndex parent = 0;             // where it was written; root: 0
  Span span;
};

struct Query {
  std::vector<QuerySubject> subjects;  // pre-order; [0] is the root
  RelationTable relations;
  std::vector<MetaQuery> meta_queries;
  ExprPool exprs;                      // owner of every expression node
};

// Builds a query from a parsed document (taken over); `interrupt`, when
// given, is polled while it builds (the Interrupted kind when it stops).
Result<Query, BuildError> build_query(ParsedDocument doc, Interrupt* interrupt = nullptr);

// parse_document + build_query; an interrupted parse gives the Interrupted
// kind.
Result<Query, BuildError> compile_query(std::string_view text, Interrupt* interrupt = nullptr);

}  // namespace lumo
