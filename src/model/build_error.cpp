// Error texts: one switch over the catalogue; a syntax error adds the
// rendered caret report after its first line.

#include "model/build_error.h"

#include "syntax/report.h"

namespace lumo {

std::string render_build_error(const BuildError& e, std::size_t window) {
  switch (e.kind) {
    case BuildErrorKind::ParseFailed:
      return "invalid syntax\n" + render_report(e.report, window);
    case BuildErrorKind::SubjectNotFound: {
      if (window == 0) return "subject not found: " + e.path;
      bool cut = false;
      std::string out = "subject not found: ";
      out += shown_prefix(e.path, 2 * window, cut);
      if (cut) out += "...";
      return out;
    }
    case BuildErrorKind::RelationOfRelation:
      return "relation's source, target & context cannot be another relation";
    case BuildErrorKind::MultipleIdentities:
      return "can only query one identity";
    case BuildErrorKind::DuplicateIdentities:
      return "duplicate identities";
    case BuildErrorKind::DuplicateTags:
      return "duplicate tags";
    case BuildErrorKind::DuplicateRelations:
      return "duplicate relations";
    case BuildErrorKind::InvalidTags:
      return "invalid tags";
    case BuildErrorKind::ContextInsideRelation:
      return "relation's context cannot be the relation itself or inside it";
    case BuildErrorKind::Interrupted:
      return "interrupted";
  }
  return {};
}

}  // namespace lumo
