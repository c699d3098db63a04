// What both builders share: taking entries over, resolving the written
// relations in the scope each subject's parent builds (one name table with
// undo, on an explicit stack), moving relation subjects under their contexts,
// and the pre-order search for the first subject that breaks a rule.

#include "model/relation_builder.h"

#include <algorithm>
#include <functional>
#include <string_view>

#include "base/polled.h"

#include "model/query.h"
#include "model/relation_resolver.h"
#include "model/tag_graph.h"

namespace lumo {

void ensure_root(ParsedDocument& doc) {
  if (!doc.entries.empty()) return;
  SubjectEntry root;
  root.identities.push_back("context");
  root.expression = doc.exprs.add_empty_all();
  doc.entries.push_back(std::move(root));
}

namespace {

// A builder's subject vector, with the relations written on its entries, as
// the resolver sees it.
template <class Subject>
class SubjectTree {
 public:
  SubjectTree(std::vector<Subject>& subjects, const RelationSpecs& written)
      : subjects_(subjects), written_(written) {}
  std::size_t size() const { return subjects_.size(); }
  const std::vector<SubjectIndex>& children(SubjectIndex i) const {
    return subjects_[i].children;
  }
  std::string_view name(SubjectIndex i) const { return subjects_[i].name; }
  bool is_context(SubjectIndex i) const {
    return has_context_identity(subjects_[i].identities);
  }
  const RelationSpec* written(SubjectIndex i) const {
    return written_[i] ? &*written_[i] : nullptr;
  }
  Span span(SubjectIndex i) const { return subjects_[i].span; }
  void set_link(SubjectIndex i, RelationLink link) { subjects_[i].relation = link; }

 private:
  std::vector<Subject>& subjects_;
  const RelationSpecs& written_;
};

}  // namespace

template <class Subject>
BuildStatus resolve_relations(std::vector<Subject>& subjects, const RelationSpecs& written,
                              RelationTable& table, InterruptPoll& poll) {
  SubjectTree<Subject> tree(subjects, written);
  ResolverScratch scratch;
  return resolve_tree_relations(tree, table, scratch, poll);
}

template <class Subject>
BuildStatus move_relation_subjects(std::vector<Subject>& subjects, const RelationTable& table,
                                   InterruptPoll& poll) {
  if (table.empty()) return std::monostate{};
  const auto interrupted = [] { return Err<BuildError>{BuildError::interrupted()}; };
  const std::size_t n = subjects.size();
  constexpr std::uint8_t kMoved = 1, kSource = 2;
  std::vector<std::uint8_t> flags(n, 0);
  std::size_t turn = 0;
  for (const auto& [key, ctx] : table) {
    if (poll.turn_at(turn++)) return interrupted();
    flags[key.subject] |= kMoved;
    flags[key.source] |= kSource;
  }
  // Take the moved subjects out of their sources in one pass per list.
  const auto stays = [&](SubjectIndex c) { return (flags[c] & kMoved) == 0; };
  poll.for_each(n, [&](std::size_t i) {
    if (!(flags[i] & kSource)) return true;
    auto& ch = subjects[i].children;
    if (ch.size() > InterruptPoll::kBlock) return polled_keep_if(poll, ch, stays);
    audit_work(ch.size());
    const bool stop = poll.tick_done(ch.size());
    ch.erase(std::remove_if(ch.begin(), ch.end(), std::not_fn(stays)), ch.end());
    return !stop;
  });
  if (poll.stopped()) return interrupted();
  // Moved subjects join their contexts in ascending index order, so that the
  // tree, and every check that walks it, is the same for the same text.
  std::vector<SubjectIndex> moved_to(n, kNoMove);
  for (const auto& [key, ctx] : table) {
    if (poll.turn_at(turn++)) return interrupted();
    moved_to[key.subject] = ctx.context;
  }
  if (!poll.for_each(n, [&](SubjectIndex s) {
        if (moved_to[s] != kNoMove) subjects[moved_to[s]].children.push_back(s);
      })) {
    return interrupted();
  }

  ResolverScratch scratch;
  const SubjectIndex lowest_cut = lowest_cut_subject(
      table, moved_to, kNoMove, [&](SubjectIndex s) { return subjects[s].parent; }, scratch,
      poll);
  if (poll.stopped()) return interrupted();
  if (lowest_cut == kNoMove) return std::monostate{};
  // The lowest cut-off subject is a moved relation subject: its parent as
  // written is lower, hence reachable, and only moves take subjects away.
  return Err<BuildError>{
      BuildError::make(BuildErrorKind::ContextInsideRelation, subjects[lowest_cut].span)};
}

template BuildStatus resolve_relations<QuerySubject>(std::vector<QuerySubject>&,
                                                     const RelationSpecs&, RelationTable&,
                                                     InterruptPoll&);
template BuildStatus resolve_relations<GraphSubject>(std::vector<GraphSubject>&,
                                                     const RelationSpecs&, RelationTable&,
                                                     InterruptPoll&);
template BuildStatus move_relation_subjects<QuerySubject>(std::vector<QuerySubject>&,
                                                          const RelationTable&, InterruptPoll&);
template BuildStatus move_relation_subjects<GraphSubject>(std::vector<GraphSubject>&,
                                                          const RelationTable&, InterruptPoll&);

}  // namespace lumo
