// Relation resolution and relation moves, shared by the query builder and the
// tag graph builder.
//
// Both builders take the parsed entries over by index (entry i becomes subject
// i), hold each entry's written relation beside its subject, and then call:
//
//   1. resolve_relations: a pre-order walk over the children lists as written
//      that resolves every relation path, applies the relation-of-relation
//      rule, records each relation subject's (source, target) link and fills
//      the relation table;
//   2. move_relation_subjects: hangs every subject of the table under its
//      context and refuses a model in which a subject is no longer reachable
//      from the root (a context that is the relation subject itself or lies
//      inside it).
//
// The subject type only needs the fields `relation`, `name`, `identities`,
// `children` and `span`, which QuerySubject and GraphSubject share. Nothing
// here recurses: the walks keep their own stacks. Every loop ticks the
// caller's poll; a stop gives the Interrupted error.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/box.h"
#include "base/interrupt.h"
#include "base/result.h"
#include "model/build_error.h"
#include "model/relations.h"
#include "syntax/ast.h"

namespace lumo {

// Success carries nothing; failure carries the first error met.
using BuildStatus = Result<std::monostate, BuildError>;

// For each subject index, the relation written on that entry, if any.
using RelationSpecs = std::vector<Box<RelationSpec>>;

// Gives a hand-built document without entries its root; the parser always
// makes one.
void ensure_root(ParsedDocument& doc);

// Moves what both subject types share out of entry `i` into `s`, and its
// written relation into `written[i]`.
template <class Subject>
void take_entry(SubjectEntry& e, SubjectIndex i, Subject& s, RelationSpecs& written) {
  s.name = std::move(e.name);
  s.identities = std::move(e.identities);
  s.children = std::move(e.children);
  s.index = i;
  s.parent = i == 0 ? 0 : e.parent;
  s.span = e.span;
  written[i] = std::move(e.relation);
}

// Resolves the written relations of `subjects` (children lists as flattened,
// before any move). Sets `relation` on every relation subject and inserts an
// entry into `table` for each relation whose context differs from its source.
// Errors: SubjectNotFound (target path first, then context path) and
// RelationOfRelation, for the first relation subject in pre-order.
template <class Subject>
BuildStatus resolve_relations(std::vector<Subject>& subjects, const RelationSpecs& written,
                              RelationTable& table, InterruptPoll& poll);

// Moves every relation subject of `table` out of its source's children and
// appends it to its context's children (in the table's iteration order), then
// checks that every subject is still reachable from the root; if not, fails
// with ContextInsideRelation carrying the span of the first cut-off relation
// subject (lowest index).
template <class Subject>
BuildStatus move_relation_subjects(std::vector<Subject>& subjects, const RelationTable& table,
                                   InterruptPoll& poll);

// Pre-order walk from the root over the children lists (as they are now);
// returns the first subject for which `offends(subject)` is true (none as
// well once `poll` says stop: the caller checks).
template <class Subject, class Pred>
std::optional<SubjectIndex> find_first_preorder(const std::vector<Subject>& subjects,
                                                Pred offends, InterruptPoll& poll) {
  if (subjects.empty()) return std::nullopt;
  std::vector<SubjectIndex> stack{0};
  TurnCounter turns(poll);
  while (!stack.empty()) {
    const SubjectIndex s = stack.back();
    stack.pop_back();
    if (offends(subjects[s])) return s;
    const auto& ch = subjects[s].children;
    if (ch.size() > InterruptPoll::kBlock) [[unlikely]] {
      if (!poll.for_each(ch.size(),
                         [&](std::size_t k) { stack.push_back(ch[ch.size() - 1 - k]); }) ||
          turns.turn())
        return std::nullopt;
    } else {
      for (auto it = ch.rbegin(); it != ch.rend(); ++it) stack.push_back(*it);
      if (turns.turn(ch.size())) return std::nullopt;
    }
  }
  return std::nullopt;
}

// True when `identities` holds the exact string "context".
template <class Strings>
bool has_context_identity(const Strings& identities) {
  for (const auto& id : identities)
    if (std::string_view(id) == "context") return true;
  return false;
}

}  // namespace lumo
