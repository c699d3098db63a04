// The catalogue of errors that building a query or a tag graph can end with.
#pragma once

#include <string>

#include "syntax/ast.h"
#include "syntax/failure.h"

namespace lumo {

enum class BuildErrorKind {
  ParseFailed,         // "invalid syntax\n" + rendered report
  SubjectNotFound,     // "subject not found: " + path joined with "."
  RelationOfRelation,  // "relation's source, target & context cannot be another relation"
  MultipleIdentities,  // "can only query one identity"
  DuplicateIdentities, // "duplicate identities"
  DuplicateTags,       // "duplicate tags"
  DuplicateRelations,  // "duplicate relations" (never raised)
  InvalidTags,         // "invalid tags"
  ContextInsideRelation,  // "relation's context cannot be the relation itself or inside it"
  Interrupted,         // the caller's interrupt hook stopped the work; "interrupted"
};

struct BuildError {
  BuildErrorKind kind = BuildErrorKind::ParseFailed;
  ParseErrorReport report;  // ParseFailed only
  std::string path;         // SubjectNotFound only: names joined with "."
  Span span;                // the offending subject, path or expression

  static BuildError parse_failed(ParseErrorReport r) {
    BuildError e;
    e.kind = BuildErrorKind::ParseFailed;
    e.report = std::move(r);
    return e;
  }
  static BuildError interrupted() {
    BuildError e;
    e.kind = BuildErrorKind::Interrupted;
    return e;
  }
  static BuildError make(BuildErrorKind k, Span s) {
    BuildError e;
    e.kind = k;
    e.span = s;
    return e;
  }
};

// The error that ends a build whose parse failed (or was interrupted).
inline BuildError parse_error(ParseErrorReport r) {
  return r.interrupted ? BuildError::interrupted() : BuildError::parse_failed(std::move(r));
}

// The error's message, exactly as the Python ValueError carries it.
// The error's text. A nonzero `window` bounds what it echoes of the input:
// the failing line shows at most that many characters each side of the
// caret, and a subject path at most twice that many (see render_report).
std::string render_build_error(const BuildError& e, std::size_t window = 0);

}  // namespace lumo
