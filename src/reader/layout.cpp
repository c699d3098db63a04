// Relation resolution and the layout of moved relation subjects (see
// layout.h).
//
// Two ways resolve the same relations. Climbing looks each path's first
// name up among the children of the relation's source, then of its parent,
// and so on up to the root's (the innermost scope wins, and among siblings
// the last written); each further name among the children of the subject
// reached, the last written winning; children are reached through the
// text-order ranges. That is what the builders' resolver finds with its
// scope walk. Climbing keeps a budget of lookups, a few times the subject
// count: should one text cost more, the resolver takes over, through
// FlatTree, the adaptor that shows it the flat arrays as the tree it
// expects. Then, if subjects moved, number_moved() gives the final tree its
// pre-order numbers and ranges, on an explicit stack.

#include "reader/layout.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "base/compiler.h"
#include "base/polled.h"
#include "model/relation_resolver.h"
#include "model/tag_graph.h"

namespace lumo::reading {

namespace {

// The flat subjects with their children as written, as the resolver sees
// them. Spans are not kept: the reader declines on every error, and the
// builder that then runs reports it.
class FlatTree {
 public:
  // `kids` is filled here with the children as written, `relation_of` with
  // each subject's position in s.relations.
  // (Interrupted, they are left unfinished; the caller sees the stop.)
  FlatTree(const FlatSubjects& s, const TagTable& tags, ChildLists& kids,
           std::vector<std::uint32_t>& relation_of, InterruptPoll& poll)
      : s_(s), tags_(tags), kids_(kids), relation_of_(relation_of) {
    if (!kids.fill(s.parent, poll)) return;
    relation_of.assign(s.parent.size(), kNoSubject);
    poll.for_each(s.relations.size(), [&](std::size_t k) {
      relation_of[s.relations[k].first] = static_cast<std::uint32_t>(k);
    });
  }

  static constexpr TagId kNoName = kNoTag;

  std::size_t size() const { return s_.parent.size(); }
  std::span<const std::uint32_t> children(SubjectIndex i) const { return kids_.of(i); }
  std::string_view name(SubjectIndex i) const { return tags_.text(s_.name[i]); }
  // Names are interned with the tags, so the resolver can index by them.
  TagId name_id(SubjectIndex i) const { return s_.name[i]; }
  std::size_t name_ids() const { return tags_.size(); }
  void find_name_ids(const std::string_view* names, TagId* ids, std::size_t n) const {
    tags_.find_many(names, ids, n);
  }
  bool is_context(SubjectIndex i) const { return (s_.flags[i] & kContext) != 0; }
  const RelationSpec* written(SubjectIndex i) const {
    const std::uint32_t k = relation_of_[i];
    return k == kNoSubject ? nullptr : &s_.relations[k].second;
  }
  Span span(SubjectIndex) const { return {}; }
  void set_link(SubjectIndex, RelationLink) {}

 private:
  const FlatSubjects& s_;
  const TagTable& tags_;
  const ChildLists& kids_;
  const std::vector<std::uint32_t>& relation_of_;
};

// Names are interned, so the resolver takes its scope by name id.
static_assert(NumberedNames<FlatTree>);

class Layout {
 public:
  Layout(Workspace& w, InterruptPoll& poll) : w_(w), s_(w.s), parts_(w.parts), poll_(poll) {}

  bool run() {
    RelationList& relations = parts_.relations;
    const std::size_t n = s_.parent.size();
    if (s_.relations.empty()) return true;  // parts_.preorder stays empty
    // Past a record's size the scope walk takes over from the start: on a
    // large text climbing would often run out of its budget and leave the
    // walk to be done after it.
    const Climb climbed = n <= kClimbSubjects ? resolve_by_climbing(relations) : Climb::TooLong;
    switch (climbed) {
      case Climb::Resolved:
        break;
      case Climb::Declined:
        return false;
      case Climb::TooLong:
        if (!resolve_by_walking(relations)) return false;
        break;
    }
    if (relations.empty()) return true;
    return number_moved(relations);
  }

 private:
  // ---- relations -------------------------------------------------------------

  enum class Climb : std::uint8_t { Resolved, Declined, TooLong };
  static constexpr std::size_t kClimbSubjects = 4096;

  // The last child of `p` named `name` in `found` (kNoSubject: none); false
  // when over budget.
  bool child_named(std::uint32_t p, TagId name, std::uint32_t& found) {
    const std::vector<SubtreeRange>& ranges = parts_.ranges;
    found = kNoSubject;
    for (std::uint32_t c = p + 1; c < ranges[p].end; c = ranges[c].end) {
      audit_work();  // (the budget bounds these turns: no tick)
      if (climb_budget_-- == 0) return false;
      if (s_.name[c] == name) found = c;
    }
    return true;
  }

  // The subject `path` names in the scope of `source`'s children, in
  // `found` (kNoSubject: none); false when over budget.
  bool climb_path(const NamePath& path, std::uint32_t source, std::uint32_t& found) {
    found = kNoSubject;
    if (path.names.empty()) return true;
    TagId name = parts_.tags.find(path.names[0]);
    if (name == kNoTag) return true;
    for (std::uint32_t a = source;; a = s_.parent[a]) {
      if (!child_named(a, name, found)) return false;
      if (found != kNoSubject || a == 0) break;
    }
    for (std::size_t k = 1; found != kNoSubject && k < path.names.size(); ++k) {
      name = parts_.tags.find(path.names[k]);
      if (name == kNoTag) {
        found = kNoSubject;
        break;
      }
      if (!child_named(found, name, found)) return false;
    }
    return true;
  }

  // The nearest subject with identity "context" from `source` up, or the
  // root; false when over budget.
  bool default_context(std::uint32_t source, std::uint32_t& context) {
    context = source;
    while (context != 0 && !(s_.flags[context] & kContext)) {
      audit_work();
      if (climb_budget_-- == 0) return false;
      context = s_.parent[context];
    }
    return true;
  }

  Climb resolve_by_climbing(RelationList& relations) {
    climb_budget_ = 4 * s_.parent.size() + 256;
    for (const auto& [s, written] : s_.relations) {
      const std::uint32_t source = s_.parent[s];
      std::uint32_t target, context;
      if (!climb_path(written.target, source, target)) return Climb::TooLong;
      if (target == kNoSubject) return Climb::Declined;
      if (written.context) {
        if (!climb_path(*written.context, source, context)) return Climb::TooLong;
        if (context == kNoSubject) return Climb::Declined;
      } else if (!default_context(source, context)) {
        return Climb::TooLong;
      }
      for (std::uint32_t end : {source, target, context}) {
        if (end != s && (s_.flags[end] & kRelation)) return Climb::Declined;
      }
      if (context != source)
        add_relation(relations, RelationKey{s, source, target},
                     RelationContext{!written.context.has_value(), context});
    }
    return Climb::Resolved;
  }

  // The builders' resolver over the flat arrays, linear on any text. Kept
  // out of line: inlined into run(), its bulk made GCC call the climb and
  // number_moved() rather than inline them, on every record.
  LUMO_NOINLINE bool resolve_by_walking(RelationList& relations) {
    relations.clear();
    FlatTree tree(s_, parts_.tags, w_.written, w_.relation_of, poll_);
    if (poll_.stopped() || !resolve_tree_relations(tree, relations, w_.resolver, poll_))
      return false;
    w_.resolution_done();
    return true;
  }

  // ---- layout ----------------------------------------------------------------

  // Pre-order numbers and ranges of the final tree, on an explicit stack:
  // a subject's children are those written in it that stayed, in index
  // order, then the relation subjects moved to it, in index order. Written
  // children are reached through the text-order ranges. Every subject has
  // one parent in the final tree, so the walk from the root reaches every
  // subject exactly when no moves form a cycle; if it misses one, the long
  // way reports the error.
  bool number_moved(const RelationList& relations) {
    const std::size_t n = s_.parent.size();
    std::vector<SubtreeRange>& ranges = parts_.ranges;
    std::vector<std::uint32_t>& end = w_.text_end;
    end.resize(n);
    auto& moved_in = w_.moved_in;
    moved_in.clear();
    if (!poll_.for_each(n, [&](std::size_t i) { end[i] = ranges[i].end; })) return false;
    for (std::size_t k = 0; k < relations.size(); ++k) {
      if (poll_.turn_at(k)) return false;
      const auto& [key, ctx] = relations[k];
      const auto subject = static_cast<std::uint32_t>(key.subject);
      const auto context = static_cast<std::uint32_t>(ctx.context);
      moved_in.emplace_back(context, subject);
      s_.flags[subject] |= kMoved;
      s_.flags[context] |= kHost;
    }
    if (!polled_sort(poll_, moved_in)) return false;
    std::vector<LayoutFrame>& stack = w_.stack;
    stack.clear();
    std::vector<std::uint32_t>& preorder = parts_.preorder;
    preorder.reserve(n);
    std::uint32_t count = 0;
    const auto enter = [&](std::uint32_t c) {
      ranges[c].start = count++;
      preorder.push_back(c);
      std::uint32_t first_moved = 0;
      if (s_.flags[c] & kHost) {
        first_moved = static_cast<std::uint32_t>(
            std::lower_bound(moved_in.begin(), moved_in.end(), std::pair{c, 0u}) -
            moved_in.begin());
      }
      stack.push_back({c, c + 1, first_moved});
    };
    enter(0);
    while (!stack.empty()) {
      if (poll_.turn()) return false;
      LayoutFrame& f = stack.back();
      std::uint32_t next = kNoSubject;
      for (std::size_t skipped = 0; f.next < end[f.subject];) {
        const std::uint32_t c = f.next;
        f.next = end[c];
        if (!(s_.flags[c] & kMoved)) {
          next = c;
          break;
        }
        if (poll_.turn_at(skipped++)) return false;  // moved children are passed over here
      }
      if (next == kNoSubject && (s_.flags[f.subject] & kHost) && f.moved < moved_in.size() &&
          moved_in[f.moved].first == f.subject) {
        next = moved_in[f.moved++].second;
      }
      if (next != kNoSubject) {
        enter(next);  // may reallocate `stack`; `f` is not used after
        continue;
      }
      ranges[f.subject].end = count;
      stack.pop_back();
    }
    return count == n;
  }

  Workspace& w_;
  FlatSubjects& s_;
  IndexParts& parts_;
  InterruptPoll& poll_;
  std::size_t climb_budget_ = 0;  // lookups left to resolve_by_climbing
};

}  // namespace

bool lay_out(Workspace& w, InterruptPoll& poll) { return Layout(w, poll).run(); }

}  // namespace lumo::reading
