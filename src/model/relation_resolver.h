// Resolving written relations, over any tree of subjects.
//
// A pre-order walk from the root resolves every relation path in the scope
// that the subject's parent builds: one name table with undo, pushed and
// popped as the walk enters and leaves children lists, on an explicit stack,
// so the table is never copied and nothing recurses. The walk applies the
// relation-of-relation rule, reports each relation subject's (source,
// target) link and fills the relation table.
//
// The tree is reached through a small adaptor (the concept ResolverTree
// below), so that the builders' subject vectors and the direct graph
// reader's flat arrays share this code. A tree whose names are numbered
// already may also be a NumberedNames tree; the scope is then an array
// indexed by name rather than a hash table of texts.
//
// Every loop ticks the caller's InterruptPoll; a stop ends the walk with the
// Interrupted error.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "base/compiler.h"
#include "base/interrupt.h"
#include "base/random_hash.h"
#include "base/result.h"
#include "model/build_error.h"
#include "model/relations.h"
#include "syntax/ast.h"

namespace lumo {

// What the resolver needs of a tree of subjects.
template <class Tree>
concept ResolverTree = requires(const Tree& t, Tree& m, SubjectIndex i, RelationLink link) {
  { t.size() } -> std::convertible_to<std::size_t>;
  // The children as written (relation subjects with their source), in order.
  { t.children(i).size() } -> std::convertible_to<std::size_t>;
  { t.children(i)[std::size_t{0}] } -> std::convertible_to<SubjectIndex>;
  { t.name(i) } -> std::convertible_to<std::string_view>;
  { t.is_context(i) } -> std::convertible_to<bool>;  // has the identity "context"
  { t.written(i) } -> std::convertible_to<const RelationSpec*>;  // null: no relation
  { t.span(i) } -> std::convertible_to<Span>;  // where errors about subject i point
  m.set_link(i, link);                        // the resolved (source, target)
};

// A tree whose names are numbered: name_id(i) is below name_ids() for each
// subject, and find_name_ids() gives the ids of path names (kNoName for a
// name no subject has).
template <class Tree>
concept NumberedNames =
    ResolverTree<Tree> &&
    requires(const Tree& t, SubjectIndex i, const std::string_view* names, std::uint32_t* ids) {
      { t.name_id(i) } -> std::convertible_to<std::uint32_t>;
      { t.name_ids() } -> std::convertible_to<std::size_t>;
      { Tree::kNoName } -> std::convertible_to<std::uint32_t>;
      t.find_name_ids(names, ids, std::size_t{0});  // ids[k] for names[k], or kNoName
    };

namespace relation_detail {

using BuildStatus = Result<std::monostate, BuildError>;

// One name of the scope table; a null `data` marks a free slot.
struct NameSlot {
  const char* data = nullptr;
  std::size_t len = 0;
  std::uint64_t hash = 0;
  SubjectIndex top = static_cast<SubjectIndex>(-1);  // the subject it names; none yet
};

struct WalkFrame {
  SubjectIndex subject;          // whose children are being visited
  std::size_t next;              // position of the next child to visit
  SubjectIndex default_context;  // default context of those children
};

}  // namespace relation_detail

// The arrays the resolver and the reachability check work in. A caller that
// resolves often keeps one, so that they are allocated once and reused.
struct ResolverScratch {
  std::vector<relation_detail::NameSlot> slots;
  std::vector<relation_detail::NameSlot> old_slots;
  std::vector<SubjectIndex> shadowed;
  std::vector<std::uint32_t> dense_top;
  std::vector<std::uint32_t> dense_shadowed;
  std::vector<std::uint8_t> in_scope;
  std::vector<relation_detail::WalkFrame> stack;
  std::vector<std::uint8_t> state;
  std::vector<SubjectIndex> path;
  std::vector<std::pair<SubjectIndex, SubjectIndex>> by_name;  // (parent, child) slots
  std::vector<SubjectIndex> relation_subjects;
  std::vector<std::string_view> first_names;
  std::vector<std::uint32_t> first_ids;
};

namespace relation_detail {

// The names visible to relation paths during the walk. Each name maps to the
// subject that it currently names (the innermost scope, and among siblings the
// last written); each subject remembers the one it shadowed when it was
// pushed. Opening the scope of a subject's children pushes them in order;
// closing it pops them in reverse order, which restores the outer names, so
// the table is never copied. Open addressing with linear probing; slots are
// never removed (a name with nothing visible keeps its slot with kNone).
class NameScope {
 public:
  static constexpr SubjectIndex kNone = static_cast<SubjectIndex>(-1);

  NameScope(std::size_t subjects, ResolverScratch& scratch)
      : slots_(scratch.slots), old_slots_(scratch.old_slots), shadowed_(scratch.shadowed) {
    slots_.clear();
    shadowed_.assign(subjects, kNone);
    grow(16);
  }

  // Makes `name` one that push_declared() accepts.
  void declare(std::string_view name) {
    lengths_ |= length_bit(name);
    (void)find_or_insert(name);
  }

  // Pushes `index` under `name` if the name was declared; returns whether it
  // did.
  bool push_declared(std::string_view name, SubjectIndex index) {
    if (!(lengths_ & length_bit(name))) return false;  // no declared name is that long
    const std::size_t i = find(name);
    if (i == kNone) return false;
    shadowed_[index] = slots_[i].top;
    slots_[i].top = index;
    return true;
  }

  // Undoes push_declared(name, index); pushes must be undone in reverse
  // order.
  void pop(std::string_view name, SubjectIndex index) {
    if (!(lengths_ & length_bit(name))) return;
    const std::size_t i = find(name);
    if (i != kNone) slots_[i].top = shadowed_[index];
  }

  std::optional<SubjectIndex> lookup(std::string_view name) const {
    const std::size_t i = find(name);
    if (i == kNone || slots_[i].top == kNone) return std::nullopt;
    return slots_[i].top;
  }

 private:
  using Slot = NameSlot;

  static bool same(const Slot& s, std::string_view name, std::uint64_t h) {
    return s.hash == h && s.len == name.size() &&
           (name.empty() || std::memcmp(s.data, name.data(), name.size()) == 0);
  }

  // Position of the slot holding `name`, or kNone.
  std::size_t find(std::string_view name) const {
    const std::uint64_t h = hasher_(name);
    for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (!s.data) return kNone;
      if (same(s, name, h)) return i;
    }
  }

  Slot& find_or_insert(std::string_view name) {
    if ((used_ + 1) * 2 > slots_.size()) grow(slots_.size() * 2);
    const std::uint64_t h = hasher_(name);
    for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (!s.data) {
        ++used_;
        s.data = name.data() ? name.data() : "";  // null marks a free slot
        s.len = name.size();
        s.hash = h;
        return s;
      }
      if (same(s, name, h)) return s;
    }
  }

  void grow(std::size_t capacity) {
    old_slots_.swap(slots_);
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    for (const Slot& s : old_slots_) {
      if (!s.data) continue;
      std::size_t i = s.hash & mask_;
      while (slots_[i].data) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  SeededStringHash hasher_;
  std::vector<Slot>& slots_;
  std::vector<Slot>& old_slots_;
  std::size_t mask_ = 0;
  std::size_t used_ = 0;
  // One bit per declared name length (modulo 64): most names pushed are
  // turned away by it without being hashed.
  std::uint64_t lengths_ = 0;

  static std::uint64_t length_bit(std::string_view name) {
    return std::uint64_t{1} << (name.size() & 63);
  }
  std::vector<SubjectIndex>& shadowed_;
};

// The same scope for a tree whose names are numbered already: the tree gives
// name_id(i) (below name_ids()) for each subject and the ids of the paths'
// first names (kNoName for a name no subject has), and the scope is a plain
// array indexed by name, with no hashing at all.
template <class Tree>
class DenseNameScope {
 public:
  // Subjects and names are numbered below 2^32 - 2 in such a tree.
  static constexpr std::uint32_t kNone = 0xffffffffu;        // declared, nothing visible
  static constexpr std::uint32_t kUndeclared = 0xfffffffeu;  // no path starts with it

  DenseNameScope(const Tree& tree, ResolverScratch& scratch)
      : tree_(tree), top_(scratch.dense_top), shadowed_(scratch.dense_shadowed) {
    top_.assign(tree.name_ids(), kUndeclared);
    shadowed_.assign(tree.size(), kNone);
  }

  void declare(std::uint32_t id) {
    if (id != Tree::kNoName && top_[id] == kUndeclared) top_[id] = kNone;
  }

  bool push(SubjectIndex c) {
    const auto id = tree_.name_id(c);
    if (top_[id] == kUndeclared) return false;
    shadowed_[c] = top_[id];
    top_[id] = static_cast<std::uint32_t>(c);
    return true;
  }

  void pop(SubjectIndex c) { top_[tree_.name_id(c)] = shadowed_[c]; }

  std::optional<SubjectIndex> lookup(std::uint32_t id) const {
    if (id == Tree::kNoName || top_[id] >= kUndeclared) return std::nullopt;
    return top_[id];
  }

 private:
  const Tree& tree_;
  std::vector<std::uint32_t>& top_;       // per name: the subject it names now
  std::vector<std::uint32_t>& shadowed_;  // per subject: what its push hid
};

inline std::string join_path(const NamePath& path) {
  std::size_t len = 0;
  for (const auto& n : path.names) len += n.size() + 1;
  std::string out;
  out.reserve(len);
  for (std::size_t i = 0; i < path.names.size(); ++i) {
    if (i) out += '.';
    out += path.names[i];
  }
  return out;
}

inline BuildError not_found(const NamePath& path) {
  BuildError e = BuildError::make(BuildErrorKind::SubjectNotFound, path.span);
  e.path = join_path(path);
  return e;
}

// Finds a subject's last written child with a given name. Paths usually
// step through a few children, so it scans the children list from its end;
// once the scans of one resolution have cost a few times the number of
// subjects (a text can make every path scan a long list), it indexes every
// (parent, name) pair in one hash table and looks them up from then on, so
// resolution stays linear on any text.
template <ResolverTree Tree>
class ChildFinder {
 public:
  ChildFinder(const Tree& tree, ResolverScratch& scratch, InterruptPoll& poll)
      : tree_(tree), slots_(scratch.by_name), budget_(4 * tree.size() + 1024), poll_(poll) {
    slots_.clear();
  }

  // (Interrupted, it finds nothing; the resolver sees the stop.)
  std::optional<SubjectIndex> find(SubjectIndex parent, std::string_view name) {
    if (slots_.empty()) {
      const auto& ch = tree_.children(parent);
      if (ch.size() <= budget_) {
        budget_ -= ch.size();
        if (ch.size() > InterruptPoll::kBlock) [[unlikely]]
          return scan_many(ch, name);
        audit_work(ch.size());
        (void)poll_.tick_done(ch.size());  // a stop is seen by the caller's loop
        for (std::size_t j = ch.size(); j-- > 0;)
          if (tree_.name(ch[j]) == name) return ch[j];
        return std::nullopt;
      }
      if (!build()) return std::nullopt;
    }
    for (std::size_t i = slot(parent, name);; i = (i + 1) & mask_) {
      const auto& [p, c] = slots_[i];
      if (c == kNone) return std::nullopt;
      if (p == parent && tree_.name(c) == name) return c;
    }
  }

 private:
  static constexpr SubjectIndex kNone = static_cast<SubjectIndex>(-1);

  // The scan of find() over a long list, a block at a time.
  template <class Children>
  LUMO_NOINLINE std::optional<SubjectIndex> scan_many(const Children& ch, std::string_view name) {
    std::optional<SubjectIndex> found;
    poll_.for_each(ch.size(), [&](std::size_t k) {
      const SubjectIndex c = ch[ch.size() - 1 - k];
      if (tree_.name(c) != name) return true;
      found = c;
      return false;
    });
    return found;
  }

  std::size_t slot(SubjectIndex parent, std::string_view name) const {
    return hash_bytes(name.data(), name.size(), hash_u64(parent, seed_)) & mask_;
  }

  // Children are entered in order, so a later child with the same name
  // takes the slot: the last written wins, as in the scan. False when
  // interrupted.
  bool build() {
    std::size_t size = 16;
    while (size < 2 * tree_.size()) size *= 2;
    slots_.assign(size, {kNone, kNone});
    mask_ = size - 1;
    for (SubjectIndex p = 0; p < tree_.size(); ++p) {
      if (poll_.turn()) return false;
      const auto& ch = tree_.children(p);
      if (!poll_.for_each(ch.size(), [&](std::size_t j) {
            const SubjectIndex c = ch[j];
            const std::string_view name = tree_.name(c);
            std::size_t i = slot(p, name);
            while (slots_[i].second != kNone &&
                   !(slots_[i].first == p && tree_.name(slots_[i].second) == name))
              i = (i + 1) & mask_;
            slots_[i] = {p, c};
          })) {
        return false;
      }
    }
    return true;
  }

  const Tree& tree_;
  std::vector<std::pair<SubjectIndex, SubjectIndex>>& slots_;
  std::size_t budget_;
  InterruptPoll& poll_;
  std::size_t mask_ = 0;
  std::uint64_t seed_ = draw_hash_key();
};

// Follows `path` from `cur`, the subject its first name reached: each
// further name among the children (as flattened) of the subject reached so
// far, the last child written with that name winning.
template <ResolverTree Tree>
std::optional<SubjectIndex> follow_path(ChildFinder<Tree>& children, const NamePath& path,
                                        std::optional<SubjectIndex> cur, InterruptPoll& poll) {
  for (std::size_t k = 1; cur && k < path.names.size(); ++k) {
    if (poll.turn()) return std::nullopt;
    cur = children.find(*cur, path.names[k]);
  }
  return cur;
}

template <ResolverTree Tree, class Table>
class RelationResolver {
 public:
  RelationResolver(Tree& tree, Table& table, ResolverScratch& scratch, InterruptPoll& poll)
      : tree_(tree),
        table_(table),
        poll_(poll),
        turns_(poll),
        scope_(make_scope(tree, scratch)),
        children_(tree, scratch, poll),
        in_scope_(scratch.in_scope),
        stack_(scratch.stack),
        relation_subjects_(scratch.relation_subjects),
        first_names_(scratch.first_names),
        first_ids_(scratch.first_ids) {
    in_scope_.assign(tree.size(), 0);
    stack_.clear();
  }

  BuildStatus run() {
    const BuildStatus status = walk();
    if (poll_.stopped()) return Err<BuildError>{BuildError::interrupted()};
    return status;
  }

 private:
  BuildStatus walk() {
    // The walk stops as soon as it has resolved every relation subject.
    const std::size_t n = tree_.size();
    if (!poll_.for_each_block(n, [&](std::size_t lo, std::size_t hi) {
          for (SubjectIndex i = lo; i < hi; ++i) pending_ += tree_.written(i) != nullptr;
        })) {
      return std::monostate{};
    }
    if (pending_ == 0) return std::monostate{};
    if (!declare_first_names()) return std::monostate{};
    // The root is visited with an empty scope, source 0 and default context 0.
    // visit() builds a result that can hold an error: call it only for
    // relation subjects.
    if (is_relation(0)) {
      if (auto r = visit(0, 0, 0); !r) return r;
    }
    if (pending_ != 0) open(0, 0);
    while (!stack_.empty()) {
      if (turns_.turn()) return std::monostate{};
      Frame& f = stack_.back();
      const auto& ch = tree_.children(f.subject);
      if (f.next == ch.size()) {
        close(f.subject);
        continue;
      }
      const SubjectIndex c = ch[f.next++];
      const SubjectIndex source = f.subject;
      const SubjectIndex default_context = f.default_context;
      if (is_relation(c)) {
        if (auto r = visit(c, source, default_context); !r) return r;
        if (pending_ == 0) break;
      }
      open(c, default_context);  // may reallocate `stack_`; `f` is not used after
    }
    return std::monostate{};
  }

  using Frame = WalkFrame;
  using Scope = std::conditional_t<NumberedNames<Tree>, DenseNameScope<Tree>, NameScope>;

  static Scope make_scope(const Tree& tree, ResolverScratch& scratch) {
    if constexpr (NumberedNames<Tree>) {
      return Scope(tree, scratch);
    } else {
      return Scope(tree.size(), scratch);
    }
  }

  bool push(SubjectIndex c) {
    if constexpr (NumberedNames<Tree>) {
      return scope_.push(c);
    } else {
      return scope_.push_declared(tree_.name(c), c);
    }
  }

  void pop(SubjectIndex c) {
    if constexpr (NumberedNames<Tree>) {
      scope_.pop(c);
    } else {
      scope_.pop(tree_.name(c), c);
    }
  }

  bool is_relation(SubjectIndex i) const { return tree_.written(i) != nullptr; }

  // Only a name that some path starts with is ever looked up, so only
  // subjects with such names enter the scope; for the others the scope
  // costs one probe. Lookups see exactly what a scope of all names would.
  // False when interrupted.
  bool declare_first_names() {
    if constexpr (NumberedNames<Tree>) {
      return declare_numbered();
    } else {
      return poll_.for_each(tree_.size(), [&](SubjectIndex i) {
        const RelationSpec* rel = tree_.written(i);
        if (!rel) return;
        if (!rel->target.names.empty()) scope_.declare(rel->target.names[0]);
        if (rel->context && !rel->context->names.empty()) scope_.declare(rel->context->names[0]);
      });
    }
  }

  // A numbered tree is asked for the ids of all the paths' first names at
  // once (a large tree overlaps those lookups), two per relation subject in
  // index order: the target's, then the context's (kNoName where there is
  // none). visit() takes them from there.
  bool declare_numbered() {
    relation_subjects_.clear();
    first_names_.clear();
    auto first_name = [](const NamePath* path) {
      return path && !path->names.empty() ? std::string_view(path->names[0]) : std::string_view();
    };
    if (!poll_.for_each_block(tree_.size(), [&](std::size_t lo, std::size_t hi) {
          for (SubjectIndex i = lo; i < hi; ++i) {
            const RelationSpec* rel = tree_.written(i);
            if (!rel) continue;
            relation_subjects_.push_back(i);
            first_names_.push_back(first_name(&rel->target));
            first_names_.push_back(first_name(rel->context ? &*rel->context : nullptr));
          }
        })) {
      return false;
    }
    first_ids_.resize(first_names_.size());
    // Looked up a block at a time, with a tick after each.
    constexpr std::size_t kBlock = InterruptPoll::kBlock;
    for (std::size_t k = 0; k < first_names_.size(); k += kBlock) {
      const std::size_t count = std::min(kBlock, first_names_.size() - k);
      audit_work(count);
      tree_.find_name_ids(first_names_.data() + k, first_ids_.data() + k, count);
      if (poll_.tick_turns(count)) return false;
    }
    return poll_.for_each(first_ids_.size(), [&](std::size_t k) {
      if (first_names_[k].data() == nullptr) first_ids_[k] = Tree::kNoName;  // no such path
      scope_.declare(first_ids_[k]);
    });
  }

  // Where relation subject `s` is in relation_subjects_. The walk meets
  // them in index order on the trees that have numbered names; a search
  // finds any other.
  std::size_t relation_position(SubjectIndex s) {
    if (next_relation_ < relation_subjects_.size() && relation_subjects_[next_relation_] == s)
      return next_relation_++;
    return static_cast<std::size_t>(
        std::lower_bound(relation_subjects_.begin(), relation_subjects_.end(), s) -
        relation_subjects_.begin());
  }

  // The subject `path` names; `id` is its first name's id in a numbered tree.
  std::optional<SubjectIndex> resolve(const NamePath& path, std::uint32_t id) {
    if (path.names.empty()) return std::nullopt;
    std::optional<SubjectIndex> first;
    if constexpr (NumberedNames<Tree>) {
      first = scope_.lookup(id);
    } else {
      first = scope_.lookup(path.names[0]);
    }
    return follow_path(children_, path, first, poll_);
  }

  // Handles the written relation of `s`, written inside `source`.
  BuildStatus visit(SubjectIndex s, SubjectIndex source, SubjectIndex default_context) {
    const RelationSpec* written = tree_.written(s);
    if (!written) return std::monostate{};
    --pending_;
    const RelationSpec& rel = *written;
    std::uint32_t target_id = 0, context_id = 0;  // numbered trees only
    if constexpr (NumberedNames<Tree>) {
      const std::size_t k = relation_position(s);
      target_id = first_ids_[2 * k];
      context_id = first_ids_[2 * k + 1];
    }
    std::optional<SubjectIndex> target = resolve(rel.target, target_id);
    if (!target) return Err<BuildError>{not_found(rel.target)};
    SubjectIndex context = default_context;
    const bool implicit = !rel.context.has_value();
    if (!implicit) {
      std::optional<SubjectIndex> x = resolve(*rel.context, context_id);
      if (!x) return Err<BuildError>{not_found(*rel.context)};
      context = *x;
    }
    for (SubjectIndex end : {source, *target, context}) {
      if (end != s && is_relation(end))
        return Err<BuildError>{BuildError::make(BuildErrorKind::RelationOfRelation,
                                                tree_.span(s))};
    }
    tree_.set_link(s, RelationLink{source, *target});
    if (context != source)
      add_relation(table_, RelationKey{s, source, *target}, RelationContext{implicit, context});
    return std::monostate{};
  }

  // Opens the scope of the children of `s`, whose own default context is
  // `outer_default`. (Interrupted, the scope is left half open; the walk
  // sees the stop.)
  LUMO_ALWAYS_INLINE void open(SubjectIndex s, SubjectIndex outer_default) {
    const auto& ch = tree_.children(s);
    if (ch.empty()) return;
    if (ch.size() > InterruptPoll::kBlock) [[unlikely]] {
      open_many(ch);
    } else {
      for (SubjectIndex c : ch) in_scope_[c] = push(c) ? 1 : 0;
      turns_.add(ch.size());
    }
    stack_.push_back(Frame{s, 0, tree_.is_context(s) ? s : outer_default});
  }

  // Leaves the scope of the children of `s` (the top frame).
  LUMO_ALWAYS_INLINE void close(SubjectIndex s) {
    const auto& ch = tree_.children(s);
    if (ch.size() > InterruptPoll::kBlock) [[unlikely]] {
      close_many(ch);
    } else {
      for (std::size_t j = ch.size(); j-- > 0;) {
        if (in_scope_[ch[j]]) pop(ch[j]);
      }
      turns_.add(ch.size());
    }
    stack_.pop_back();
  }

  // open() and close() of a long list of children, a block at a time.
  template <class Children>
  LUMO_NOINLINE void open_many(const Children& ch) {
    poll_.for_each(ch.size(), [&](std::size_t j) { in_scope_[ch[j]] = push(ch[j]) ? 1 : 0; });
  }
  template <class Children>
  LUMO_NOINLINE void close_many(const Children& ch) {
    poll_.for_each(ch.size(), [&](std::size_t k) {
      const SubjectIndex c = ch[ch.size() - 1 - k];
      if (in_scope_[c]) pop(c);
    });
  }

  Tree& tree_;
  Table& table_;
  InterruptPoll& poll_;
  TurnCounter turns_;  // the walk's, with the scope's pushes and pops
  Scope scope_;
  ChildFinder<Tree> children_;
  std::vector<std::uint8_t>& in_scope_;
  std::vector<Frame>& stack_;
  std::vector<SubjectIndex>& relation_subjects_;  // numbered trees: in index order
  std::vector<std::string_view>& first_names_;    // two per relation subject
  std::vector<std::uint32_t>& first_ids_;         // the ids of first_names_
  std::size_t next_relation_ = 0;
  std::size_t pending_ = 0;
};

}  // namespace relation_detail

// Resolves the written relations of `tree`; see the top of this file.
// Errors: SubjectNotFound (target path first, then context path) and
// RelationOfRelation, for the first relation subject in pre-order;
// Interrupted once `poll` says stop.
template <ResolverTree Tree, class Table>
Result<std::monostate, BuildError> resolve_tree_relations(Tree& tree, Table& table,
                                                          ResolverScratch& scratch,
                                                          InterruptPoll& poll) {
  return relation_detail::RelationResolver<Tree, Table>(tree, table, scratch, poll).run();
}

// After the moves, every subject must still hang below the root. `moved_to`
// gives each moved subject its context (`not_moved` for the others) and
// `parent_of(s)` the parent as written. Each subject sits in exactly one
// children list (its context's if it moved, else its parent's), so all hang
// below the root exactly when following those parents up from every moved
// subject ends at the root rather than in a cycle; unmoved subjects climb
// through lower indices until they meet a moved one or the root. Each
// subject is climbed through at most once. Returns the lowest cut-off
// subject, or kNoMove (also when `poll` stopped it: the caller checks).
inline constexpr SubjectIndex kNoMove = static_cast<SubjectIndex>(-1);

template <class Index, class ParentOf>
SubjectIndex lowest_cut_subject(const RelationTable& table, const std::vector<Index>& moved_to,
                                Index not_moved, ParentOf parent_of, ResolverScratch& scratch,
                                InterruptPoll& poll) {
  enum : std::uint8_t { kUnknown, kReaches, kOnPath, kCut };
  std::vector<std::uint8_t>& state = scratch.state;
  state.assign(moved_to.size(), kUnknown);
  state[0] = kReaches;
  std::vector<SubjectIndex>& path = scratch.path;
  SubjectIndex lowest_cut = kNoMove;
  for (const auto& [key, ctx] : table) {
    if (poll.turn()) return kNoMove;
    path.clear();
    SubjectIndex x = key.subject;
    for (std::size_t climbed = 0; state[x] == kUnknown; ++climbed) {
      if (poll.turn_at(climbed)) return kNoMove;
      state[x] = kOnPath;
      path.push_back(x);
      x = moved_to[x] != not_moved ? SubjectIndex{moved_to[x]} : parent_of(x);
    }
    const std::uint8_t outcome = state[x] == kReaches ? kReaches : kCut;
    if (!poll.for_each(path.size(), [&](std::size_t k) { state[path[k]] = outcome; }))
      return kNoMove;
    if (outcome == kCut && key.subject < lowest_cut) lowest_cut = key.subject;
  }
  return lowest_cut;
}

}  // namespace lumo
