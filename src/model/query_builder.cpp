// The query builder takes the parsed entries over in place (flattening is the
// parser's pre-order already), resolves and moves the relations with the
// shared relation builder, then applies the one-identity rule in pre-order of
// the final tree.

#include <utility>

#include "model/query.h"
#include "model/relation_builder.h"
#include "syntax/parser.h"

namespace lumo {

Result<Query, BuildError> build_query(ParsedDocument doc, Interrupt* interrupt) {
  ensure_root(doc);
  InterruptPoll poll(interrupt);

  Query q;
  const std::size_t n = doc.entries.size();
  q.subjects.resize(n);
  RelationSpecs written(n);
  if (!poll.for_each(n, [&](std::size_t i) {
        SubjectEntry& e = doc.entries[i];
        QuerySubject& s = q.subjects[i];
        s.expression = e.expression;
        take_entry(e, i, s, written);
      })) {
    return Err<BuildError>{BuildError::interrupted()};
  }
  doc.entries = {};
  q.exprs = std::move(doc.exprs);
  q.meta_queries = std::move(doc.meta_queries);

  if (auto r = resolve_relations(q.subjects, written, q.relations, poll); !r)
    return Err<BuildError>{std::move(r).error()};
  written = {};
  if (auto r = move_relation_subjects(q.subjects, q.relations, poll); !r)
    return Err<BuildError>{std::move(r).error()};

  // Identity rule, whatever `validate` says.
  std::optional<SubjectIndex> bad = find_first_preorder(
      q.subjects, [](const QuerySubject& s) { return s.identities.size() >= 2; }, poll);
  if (poll.stopped()) return Err<BuildError>{BuildError::interrupted()};
  if (bad)
    return Err<BuildError>{
        BuildError::make(BuildErrorKind::MultipleIdentities, q.subjects[*bad].span)};
  return q;
}

Result<Query, BuildError> compile_query(std::string_view text, Interrupt* interrupt) {
  auto parsed = parse_document(text, interrupt);
  if (!parsed) return Err<BuildError>{parse_error(std::move(parsed).error())};
  return build_query(std::move(parsed).value(), interrupt);
}

}  // namespace lumo
