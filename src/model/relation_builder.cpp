// What both builders share: taking entries over, resolving the written
// relations in the scope each subject's parent builds (one name table with
// undo, on an explicit stack), moving relation subjects under their contexts,
// and the pre-order search for the first subject that breaks a rule.

#include "model/relation_builder.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "base/random_hash.h"
#include "model/query.h"
#include "model/tag_graph.h"

namespace lumo {

namespace {

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

  explicit NameScope(std::size_t subjects) : shadowed_(subjects, kNone) { grow(16); }

  // Makes `name` one that push_declared() accepts.
  void declare(std::string_view name) { (void)find_or_insert(name); }

  // Pushes `index` under `name` if the name was declared; returns whether it
  // did.
  bool push_declared(std::string_view name, SubjectIndex index) {
    const std::size_t i = find(name);
    if (i == kNone) return false;
    shadowed_[index] = slots_[i].top;
    slots_[i].top = index;
    return true;
  }

  // Undoes push_declared(name, index); pushes must be undone in reverse
  // order.
  void pop(std::string_view name, SubjectIndex index) {
    const std::size_t i = find(name);
    if (i != kNone) slots_[i].top = shadowed_[index];
  }

  std::optional<SubjectIndex> lookup(std::string_view name) const {
    const std::size_t i = find(name);
    if (i == kNone || slots_[i].top == kNone) return std::nullopt;
    return slots_[i].top;
  }

 private:
  struct Slot {
    const char* data = nullptr;  // null: free slot
    std::size_t len = 0;
    std::uint64_t hash = 0;
    SubjectIndex top = kNone;
  };

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
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    for (const Slot& s : old) {
      if (!s.data) continue;
      std::size_t i = s.hash & mask_;
      while (slots_[i].data) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  SeededStringHash hasher_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t used_ = 0;
  std::vector<SubjectIndex> shadowed_;
};

std::string join_path(const NamePath& path) {
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

BuildError not_found(const NamePath& path) {
  BuildError e = BuildError::make(BuildErrorKind::SubjectNotFound, path.span);
  e.path = join_path(path);
  return e;
}

// Resolves `path`: the first name through the scope, each further name among
// the children (as flattened) of the subject reached so far, the last child
// written with that name winning.
template <class Subject>
std::optional<SubjectIndex> resolve_path(const std::vector<Subject>& subjects,
                                         const NameScope& scope, const NamePath& path) {
  if (path.names.empty()) return std::nullopt;
  std::optional<SubjectIndex> first = scope.lookup(path.names[0]);
  if (!first) return std::nullopt;
  SubjectIndex cur = *first;
  for (std::size_t k = 1; k < path.names.size(); ++k) {
    const std::string& want = path.names[k];
    const auto& ch = subjects[cur].children;
    bool found = false;
    for (std::size_t j = ch.size(); j-- > 0;) {
      if (subjects[ch[j]].name == want) {
        cur = ch[j];
        found = true;
        break;
      }
    }
    if (!found) return std::nullopt;
  }
  return cur;
}

}  // namespace

void ensure_root(ParsedDocument& doc) {
  if (!doc.entries.empty()) return;
  SubjectEntry root;
  root.identities.push_back("context");
  root.expression = doc.exprs.add_empty_all();
  doc.entries.push_back(std::move(root));
}

namespace {

// The pre-order walk that resolves every written relation in the scope its
// parent built. Scopes are pushed and popped on one name table as the walk
// enters and leaves children lists, on an explicit stack.
template <class Subject>
class RelationResolver {
 public:
  RelationResolver(std::vector<Subject>& subjects, const RelationSpecs& written,
                   RelationTable& table)
      : subjects_(subjects), written_(written), table_(table), scope_(subjects.size()),
        in_scope_(subjects.size(), 0) {}

  BuildStatus run() {
    // The walk stops as soon as it has resolved every relation subject.
    for (const auto& rel : written_) pending_ += rel.has_value();
    if (pending_ == 0 || subjects_.empty()) return std::monostate{};
    // Only a name that some path starts with is ever looked up, so only
    // subjects with such names enter the scope; for the others the scope
    // costs one probe. Lookups see exactly what a scope of all names would.
    for (const auto& rel : written_) {
      if (!rel) continue;
      if (!rel->target.names.empty()) scope_.declare(rel->target.names[0]);
      if (rel->context && !rel->context->names.empty()) scope_.declare(rel->context->names[0]);
    }
    // The root is visited with an empty scope, source 0 and default context 0.
    if (auto r = visit(0, 0, 0); !r) return r;
    if (pending_ != 0) open(0, 0);
    while (!stack_.empty()) {
      Frame& f = stack_.back();
      const auto& ch = subjects_[f.subject].children;
      if (f.next == ch.size()) {
        close(f.subject);
        continue;
      }
      const SubjectIndex c = ch[f.next++];
      const SubjectIndex source = f.subject;
      const SubjectIndex default_context = f.default_context;
      if (auto r = visit(c, source, default_context); !r) return r;
      if (pending_ == 0) break;
      open(c, default_context);  // may reallocate `stack_`; `f` is not used after
    }
    return std::monostate{};
  }

 private:
  struct Frame {
    SubjectIndex subject;          // whose children are being visited
    std::size_t next;              // position of the next child to visit
    SubjectIndex default_context;  // default context of those children
  };

  bool is_relation(SubjectIndex i) const { return written_[i].has_value(); }

  // Handles the written relation of `s`, written inside `source`.
  BuildStatus visit(SubjectIndex s, SubjectIndex source, SubjectIndex default_context) {
    if (!written_[s]) return std::monostate{};
    --pending_;
    const RelationSpec& rel = *written_[s];
    std::optional<SubjectIndex> target = resolve_path(subjects_, scope_, rel.target);
    if (!target) return Err<BuildError>{not_found(rel.target)};
    SubjectIndex context = default_context;
    const bool implicit = !rel.context.has_value();
    if (!implicit) {
      std::optional<SubjectIndex> x = resolve_path(subjects_, scope_, *rel.context);
      if (!x) return Err<BuildError>{not_found(*rel.context)};
      context = *x;
    }
    for (SubjectIndex end : {source, *target, context}) {
      if (end != s && is_relation(end))
        return Err<BuildError>{BuildError::make(BuildErrorKind::RelationOfRelation,
                                                subjects_[s].span)};
    }
    subjects_[s].relation = RelationLink{source, *target};
    if (context != source)
      table_.insert_or_assign(RelationKey{s, source, *target}, RelationContext{implicit, context});
    return std::monostate{};
  }

  // Opens the scope of the children of `s`, whose own default context is
  // `outer_default`.
  void open(SubjectIndex s, SubjectIndex outer_default) {
    const auto& ch = subjects_[s].children;
    if (ch.empty()) return;
    for (SubjectIndex c : ch) in_scope_[c] = scope_.push_declared(subjects_[c].name, c) ? 1 : 0;
    stack_.push_back(
        Frame{s, 0, has_context_identity(subjects_[s].identities) ? s : outer_default});
  }

  // Leaves the scope of the children of `s` (the top frame).
  void close(SubjectIndex s) {
    const auto& ch = subjects_[s].children;
    for (auto it = ch.rbegin(); it != ch.rend(); ++it) {
      if (in_scope_[*it]) scope_.pop(subjects_[*it].name, *it);
    }
    stack_.pop_back();
  }

  std::vector<Subject>& subjects_;
  const RelationSpecs& written_;
  RelationTable& table_;
  NameScope scope_;
  std::vector<std::uint8_t> in_scope_;
  std::vector<Frame> stack_;
  std::size_t pending_ = 0;
};

}  // namespace

template <class Subject>
BuildStatus resolve_relations(std::vector<Subject>& subjects, const RelationSpecs& written,
                              RelationTable& table) {
  return RelationResolver<Subject>(subjects, written, table).run();
}

template <class Subject>
BuildStatus move_relation_subjects(std::vector<Subject>& subjects, const RelationTable& table) {
  if (table.empty()) return std::monostate{};
  const std::size_t n = subjects.size();
  constexpr std::uint8_t kMoved = 1, kSource = 2;
  std::vector<std::uint8_t> flags(n, 0);
  for (const auto& [key, ctx] : table) {
    flags[key.subject] |= kMoved;
    flags[key.source] |= kSource;
  }
  // Take the moved subjects out of their sources in one pass per list.
  for (std::size_t i = 0; i < n; ++i) {
    if (!(flags[i] & kSource)) continue;
    auto& ch = subjects[i].children;
    ch.erase(std::remove_if(ch.begin(), ch.end(),
                            [&](SubjectIndex c) { return (flags[c] & kMoved) != 0; }),
             ch.end());
  }
  // Moved subjects join their contexts in ascending index order, so that the
  // tree, and every check that walks it, is the same for the same text.
  constexpr SubjectIndex kNoMove = static_cast<SubjectIndex>(-1);
  std::vector<SubjectIndex> moved_to(n, kNoMove);
  for (const auto& [key, ctx] : table) moved_to[key.subject] = ctx.context;
  for (SubjectIndex s = 0; s < n; ++s) {
    if (moved_to[s] != kNoMove) subjects[moved_to[s]].children.push_back(s);
  }

  // Every subject must still hang below the root. Each subject sits in
  // exactly one children list now (its context's if it moved, else its
  // parent's), so that holds exactly when following those parents up from
  // every moved subject ends at the root rather than in a cycle; unmoved
  // subjects climb through lower indices until they meet a moved one or the
  // root. Each subject is climbed through at most once.
  enum : std::uint8_t { kUnknown, kReaches, kOnPath, kCut };
  std::vector<std::uint8_t> state(n, kUnknown);
  state[0] = kReaches;
  std::vector<SubjectIndex> path;
  SubjectIndex lowest_cut = kNoMove;
  for (const auto& [key, ctx] : table) {
    path.clear();
    SubjectIndex x = key.subject;
    while (state[x] == kUnknown) {
      state[x] = kOnPath;
      path.push_back(x);
      x = moved_to[x] != kNoMove ? moved_to[x] : subjects[x].parent;
    }
    const std::uint8_t outcome = state[x] == kReaches ? kReaches : kCut;
    for (SubjectIndex p : path) state[p] = outcome;
    if (outcome == kCut && key.subject < lowest_cut) lowest_cut = key.subject;
  }
  if (lowest_cut == kNoMove) return std::monostate{};
  // The lowest cut-off subject is a moved relation subject: its parent as
  // written is lower, hence reachable, and only moves take subjects away.
  return Err<BuildError>{
      BuildError::make(BuildErrorKind::ContextInsideRelation, subjects[lowest_cut].span)};
}

template BuildStatus resolve_relations<QuerySubject>(std::vector<QuerySubject>&,
                                                     const RelationSpecs&, RelationTable&);
template BuildStatus resolve_relations<GraphSubject>(std::vector<GraphSubject>&,
                                                     const RelationSpecs&, RelationTable&);
template BuildStatus move_relation_subjects<QuerySubject>(std::vector<QuerySubject>&,
                                                          const RelationTable&);
template BuildStatus move_relation_subjects<GraphSubject>(std::vector<GraphSubject>&,
                                                          const RelationTable&);

}  // namespace lumo
