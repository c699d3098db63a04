// Relation entries as a constraint search.
//
// Only some query subjects take part: those a relation entry names, and the
// parents they must lie inside (a non-relation subject lies inside its
// parent's graph subject; a relation subject may lie anywhere). Every other
// subject is settled by feasibility alone, since no entry looks at it and a
// feasible parent always has room for it. Each taking part is a variable
// whose domain is the graph subjects where it is feasible; the constraints
// are the parent-child containments and the entries. A graph relation subject
// has exactly one relation, so an entry is a function of its relation
// subject's value: its source, target and context follow from it.
//
// Before the search the domains are narrowed from the graph's relation table
// (a relation subject can only be a graph subject with a table entry, its
// source only the source of one, and so on) and made arc consistent with
// every constraint. The search then places the variable with the fewest
// remaining values first, prunes the domains of the variables that share a
// constraint with it (forward checking; an entry is thereby checked as soon as
// its subjects are placed, in any order), and on a dead end jumps back to the
// most recent placement that took part in the conflict (conflict-directed
// backjumping), instead of retrying choices that had nothing to do with it.
// The answer is that of the plain search over all subjects in text order;
// only the amount of work differs. Graph colouring can be written as relation
// entries, so some queries stay exponential; the interrupt hook is polled as
// the search goes.

#include "eval/relation_search.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory_resource>
#include <span>
#include <utility>
#include <vector>

#include "base/huge_pages.h"
#include "base/polled.h"

namespace lumo {

namespace {

constexpr std::uint32_t kNoVar = UINT32_MAX;

// The search's arrays live in one arena: a small search allocates from a
// buffer inside the search object. Arrays that are rebuilt as the search
// goes swap with scratch arrays kept for the purpose, so the arena holds
// about twice the largest arrays, not every version of them.
template <class T>
using Vec = std::pmr::vector<T>;

// A set of search depths.
class DepthSet {
 public:
  explicit DepthSet(std::pmr::memory_resource* memory) : words_(memory) {}
  void resize(std::size_t n) { words_.assign((n + 63) / 64, 0); }
  void set(std::size_t i) { words_[i / 64] |= std::uint64_t{1} << (i % 64); }
  void reset(std::size_t i) { words_[i / 64] &= ~(std::uint64_t{1} << (i % 64)); }
  bool test(std::size_t i) const { return (words_[i / 64] >> (i % 64)) & 1; }
  void clear() { std::fill(words_.begin(), words_.end(), 0); }
  // The loops below end early once `poll` says stop.
  void merge(const DepthSet& o, InterruptPoll& poll) {
    poll.for_each(words_.size(), [&](std::size_t i) { words_[i] |= o.words_[i]; });
  }
  // Removes every depth >= d.
  void cut_from(std::size_t d, InterruptPoll& poll) {
    poll.for_each(d / 64, words_.size(), [&](std::size_t w) {
      const std::size_t base = w * 64;
      words_[w] &= d > base ? (std::uint64_t{1} << (d - base)) - 1 : 0;
    });
  }
  // The highest depth held, or -1 when empty.
  std::int64_t highest(InterruptPoll& poll) const {
    std::int64_t found = -1;
    poll.for_each(words_.size(), [&](std::size_t k) {
      const std::size_t w = words_.size() - 1 - k;
      if (words_[w] == 0) return true;
      found = static_cast<std::int64_t>(w * 64 + 63 - std::countl_zero(words_[w]));
      return false;
    });
    return found;
  }

 private:
  Vec<std::uint64_t> words_;
};

// What a graph relation subject links.
struct GraphLink {
  SubjectIndex source;
  SubjectIndex target;
  SubjectIndex context;
};

// An entry over variables: relation subject, source, target, and the
// context when written (kNoVar when implicit).
struct Entry {
  std::uint32_t pos[4];
  static constexpr int kR = 0, kS = 1, kT = 2, kC = 3;
  int positions() const { return pos[kC] == kNoVar ? 3 : 4; }
};

// The graph subject at position p of an entry whose relation subject is
// placed on a graph subject with link `l` (position kR is that subject).
SubjectIndex implied(int p, SubjectIndex r, const GraphLink& l) {
  switch (p) {
    case Entry::kR:
      return r;
    case Entry::kS:
      return l.source;
    case Entry::kT:
      return l.target;
    default:
      return l.context;
  }
}

struct Constraint {
  bool tree;           // parent-child containment, else an entry
  std::uint32_t a, b;  // tree: parent and child variable; entry: index, unused
};

struct Var {
  Var(std::pmr::memory_resource* memory, SubjectIndex subject)
      : q(subject), vals(memory), removed(memory), cons(memory), conf(memory), past_fc(memory) {}

  SubjectIndex q = 0;
  Vec<SubjectIndex> vals;       // ascending
  Vec<std::int32_t> removed;    // per value: depth that removed it, or -1
  std::size_t live = 0;
  Vec<std::uint32_t> cons;      // constraints it takes part in
  std::int32_t depth = -1;            // placement depth, -1 while unplaced
  std::size_t value = 0;              // index into vals while placed
  std::size_t next = 0;               // next value to try
  DepthSet conf;                      // depths in conflict with its values
  DepthSet past_fc;                   // depths whose placements pruned it
};

class RelationSearch {
 public:
  RelationSearch(const Query& query, const IndexedGraph& graph, Feasibility& feasibility)
      : query_(query),
        graph_(graph),
        f_(feasibility),
        poll_(feasibility.poll()),
        arena_(buffer_, sizeof buffer_, huge_block_resource()),
        var_of_(&arena_),
        named_var_(&arena_),
        vars_(&arena_),
        entries_(&arena_),
        constraints_(&arena_),
        order_(&arena_),
        removals_(&arena_),
        reasons_(&arena_),
        removal_mark_(&arena_),
        reason_mark_(&arena_),
        flags_(&arena_),
        values_(&arena_),
        spare_(&arena_),
        ranges_(&arena_),
        queue_(&arena_),
        changed_(&arena_),
        images_{Vec<SubjectIndex>(&arena_), Vec<SubjectIndex>(&arena_),
                Vec<SubjectIndex>(&arena_), Vec<SubjectIndex>(&arena_)} {}

  bool run() {
    if (graph_.relations.empty()) return false;
    if (!choose_vars()) return false;
    if (!initial_domains() || !make_consistent()) return false;
    return search();
  }

 private:
  // --- the graph's relations ------------------------------------------------

  // The link of graph relation subject r, or null when r has none. The
  // index lists relations by subject, ascending.
  bool link_of(SubjectIndex r, GraphLink& out) const {
    const std::span<const RelationEntry> list = graph_.relations;
    auto it = std::lower_bound(list.begin(), list.end(), r, [](const auto& entry, SubjectIndex x) {
      return entry.first.subject < x;
    });
    if (it == list.end() || it->first.subject != r) return false;
    out = GraphLink{it->first.source, it->first.target, it->second.context};
    return true;
  }

  GraphLink link_at(SubjectIndex r) const {
    GraphLink l{};
    (void)link_of(r, l);
    return l;
  }

  // --- variables and constraints --------------------------------------------

  std::uint32_t add_var(SubjectIndex q) {
    if (var_of_[q] == kNoVar) {
      var_of_[q] = static_cast<std::uint32_t>(vars_.size());
      vars_.emplace_back(&arena_, q);
    }
    return var_of_[q];
  }

  // The subjects the entries name, then (in descending index, so that a
  // child comes before its parent) the parents of non-relation ones. False
  // when interrupted.
  bool choose_vars() {
    const auto& subjects = query_.subjects;
    var_of_.assign(subjects.size(), kNoVar);
    Vec<std::uint8_t> named(subjects.size(), 0, &arena_);
    std::size_t turn = 0;
    for (const auto& [key, ctx] : query_.relations) {
      if (poll_.turn_at(turn++)) return false;
      named[key.subject] = named[key.source] = named[key.target] = 1;
      if (!ctx.implicit) named[ctx.context] = 1;
    }
    Vec<std::uint8_t> bound(named, &arena_);
    if (!poll_.for_each(1, subjects.size(), [&](std::size_t k) {
          const SubjectIndex q = subjects.size() - k;
          if (bound[q] && !f_.is_relation(q)) bound[subjects[q].parent] = 1;
        }) ||
        !poll_.for_each(subjects.size(), [&](SubjectIndex q) {
          if (bound[q]) add_var(q);
        })) {
      return false;
    }
    named_var_.assign(vars_.size(), 0);
    if (!poll_.for_each(vars_.size(),
                                 [&](std::size_t v) { named_var_[v] = named[vars_[v].q]; }))
      return false;
    for (const auto& [key, ctx] : query_.relations) {
      if (poll_.turn_at(turn++)) return false;
      Entry e{{var_of_[key.subject], var_of_[key.source], var_of_[key.target],
               ctx.implicit ? kNoVar : var_of_[ctx.context]}};
      add_constraint(Constraint{false, static_cast<std::uint32_t>(entries_.size()), 0}, e);
      entries_.push_back(e);
    }
    return poll_.for_each(vars_.size(), [&](std::size_t k) {
      const auto v = static_cast<std::uint32_t>(k);
      const SubjectIndex q = vars_[v].q;
      if (q == 0 || f_.is_relation(q)) return;
      const std::uint32_t p = var_of_[query_.subjects[q].parent];
      const auto c = static_cast<std::uint32_t>(constraints_.size());
      constraints_.push_back(Constraint{true, p, v});
      vars_[p].cons.push_back(c);
      vars_[v].cons.push_back(c);
    });
  }

  void add_constraint(Constraint c, const Entry& e) {
    const auto id = static_cast<std::uint32_t>(constraints_.size());
    constraints_.push_back(c);
    for (int p = 0; p < e.positions(); ++p) {
      auto& cons = vars_[e.pos[p]].cons;
      if (cons.empty() || cons.back() != id) cons.push_back(id);
    }
  }

  // --- domains before the search --------------------------------------------

  // Whether relation subject value r is consistent with itself in entry e:
  // a variable written at two positions needs one graph subject for both.
  bool self_consistent(const Entry& e, SubjectIndex r, const GraphLink& l) const {
    const int n = e.positions();
    for (int i = 0; i < n; ++i) {
      for (int j = i + 1; j < n; ++j) {
        if (e.pos[i] == e.pos[j] && implied(i, r, l) != implied(j, r, l)) return false;
      }
    }
    return true;
  }

  bool carries_identity(SubjectIndex q, SubjectIndex g) const {
    const auto& ids = query_.subjects[q].identities;
    if (ids.empty()) return true;
    return graph_.has_identity(g, ids.front());
  }

  // Keeps the values of v that carry its identity and are feasible.
  bool keep_feasible(std::uint32_t v) {
    Var& x = vars_[v];
    Vec<SubjectIndex>& kept = spare_;
    kept.clear();
    for (SubjectIndex g : x.vals) {
      if (poll_.turn()) return false;
      if (carries_identity(x.q, g) && f_.feasible(x.q, g)) kept.push_back(g);
    }
    x.vals.swap(kept);
    return !x.vals.empty();
  }

  bool initial_domains() {
    // Named subjects: what the graph's relation table allows at each of
    // their positions.
    Vec<std::uint8_t>& started = flags_;
    started.assign(vars_.size(), 0);
    const std::span<const RelationEntry> links = graph_.relations;
    for (const Entry& e : entries_) {
      for (int p = 0; p < e.positions(); ++p) {
        if (poll_.turn()) return false;
        Vec<SubjectIndex>& image = values_;
        image.clear();
        if (!poll_.for_each(links.size(), [&](std::size_t k) {
              const auto& [key, ctx] = links[k];
              const GraphLink l{key.source, key.target, ctx.context};
              if (self_consistent(e, key.subject, l)) image.push_back(implied(p, key.subject, l));
            }) ||
            poll_.tick_done(links.size()) || !polled_sort(poll_, image) ||
            !polled_unique(poll_, image)) {
          return false;
        }
        Var& x = vars_[e.pos[p]];
        if (!started[e.pos[p]]) {
          x.vals.swap(image);
          started[e.pos[p]] = 1;
        } else {
          Vec<SubjectIndex>& both = spare_;
          both.clear();
          if (!polled_intersection(poll_, x.vals, image, both)) return false;
          x.vals.swap(both);
        }
      }
    }
    for (std::uint32_t v = 0; v < vars_.size(); ++v) {
      if (poll_.turn_at(v)) return false;
      Var& x = vars_[v];
      if (x.q == 0) {
        // The root stays on the graph's root.
        const bool allowed = !started[v] || std::binary_search(x.vals.begin(), x.vals.end(), 0);
        if (!allowed) return false;
        x.vals = {0};
      }
      if (named_var_[v] && !keep_feasible(v)) return false;
    }
    // The other subjects are parents of subjects that take part: their
    // candidates that hold some value of each such child.
    for (std::uint32_t v = static_cast<std::uint32_t>(vars_.size()); v-- > 0;) {
      if (poll_.turn()) return false;
      Var& x = vars_[v];
      if (named_var_[v] || x.q == 0) continue;
      const CandidateList& l = f_.candidates(x.q);
      if (!poll_.for_each(l.cands.size(),
                                   [&](std::size_t k) { x.vals.push_back(l.cands[k].g); }) ||
          poll_.tick_done(l.cands.size()))
        return false;
      if (!polled_sort(poll_, x.vals)) return false;
      for (std::uint32_t c : x.cons) {
        if (poll_.turn()) return false;
        if (constraints_[c].tree && constraints_[c].a == v && !revise_parent(constraints_[c])) {
          return false;
        }
      }
      if (!keep_feasible(v)) return false;
    }
    return true;
  }

  const SubtreeRange& range(SubjectIndex g) const { return graph_.range(g); }
  static bool inside(const SubtreeRange& in, const SubtreeRange& out) {
    return out.start <= in.start && in.end <= out.end;
  }

  // Child values inside some parent value: among the parent values that
  // start at or before the child's start, the largest end must reach the
  // child's end. Returns false when the domain empties (or when
  // interrupted).
  bool revise_child(const Constraint& c, bool& changed) {
    Vec<std::pair<Pos, Pos>>& outer = ranges_;  // (start, end) of parent values
    outer.clear();
    const Vec<SubjectIndex>& parent_vals = vars_[c.a].vals;
    if (!poll_.for_each(parent_vals.size(), [&](std::size_t k) {
          const SubtreeRange& r = range(parent_vals[k]);
          outer.emplace_back(r.start, r.end);
        }) ||
        !polled_sort(poll_, outer) ||
        !poll_.for_each(1, outer.size(), [&](std::size_t i) {
          outer[i].second = std::max(outer[i].second, outer[i - 1].second);
        })) {
      return false;
    }
    Var& child = vars_[c.b];
    const std::size_t before = child.vals.size();
    if (!polled_keep_if(poll_, child.vals, [&](SubjectIndex g) {
          const SubtreeRange& r = range(g);
          auto it = std::upper_bound(outer.begin(), outer.end(), std::make_pair(r.start, ~Pos{0}));
          return !(it == outer.begin() || std::prev(it)->second < r.end);
        })) {
      return false;
    }
    changed = child.vals.size() != before;
    // (Called from loops that tick once per turn: the work here weighs too.)
    return !poll_.tick_done(2 * outer.size() + before) && !child.vals.empty();
  }

  // Parent values holding some child value: among the child values that
  // start at or after the parent's start, the smallest end must be within
  // the parent's end.
  bool revise_parent(const Constraint& c, bool* changed = nullptr) {
    Vec<std::pair<Pos, Pos>>& inner = ranges_;
    inner.clear();
    const Vec<SubjectIndex>& child_vals = vars_[c.b].vals;
    if (!poll_.for_each(child_vals.size(), [&](std::size_t k) {
          const SubtreeRange& r = range(child_vals[k]);
          inner.emplace_back(r.start, r.end);
        }) ||
        !polled_sort(poll_, inner) ||
        !poll_.for_each(1, inner.size(), [&](std::size_t k) {
          const std::size_t i = inner.size() - k;
          inner[i - 1].second = std::min(inner[i - 1].second, inner[i].second);
        })) {
      return false;
    }
    Var& parent = vars_[c.a];
    const std::size_t before = parent.vals.size();
    if (!polled_keep_if(poll_, parent.vals, [&](SubjectIndex g) {
          const SubtreeRange& r = range(g);
          auto it = std::lower_bound(inner.begin(), inner.end(), std::make_pair(r.start, Pos{0}));
          return !(it == inner.end() || it->second > r.end);
        })) {
      return false;
    }
    if (changed != nullptr) *changed = parent.vals.size() != before;
    return !poll_.tick_done(2 * inner.size() + before) && !parent.vals.empty();
  }

  bool in_domain(std::uint32_t v, SubjectIndex g) const {
    const auto& vals = vars_[v].vals;
    return std::binary_search(vals.begin(), vals.end(), g);
  }

  // Keeps the relation subject values whose implied subjects are all in
  // their domains, and narrows the other positions to what those imply.
  bool revise_entry(const Entry& e, Vec<std::uint32_t>& changed) {
    const int n = e.positions();
    Vec<SubjectIndex>* images = images_;
    for (int p = 0; p < n; ++p) images[p].clear();
    const Vec<SubjectIndex>& relation_vals = vars_[e.pos[Entry::kR]].vals;
    if (!poll_.for_each_block(relation_vals.size(), [&](std::size_t lo, std::size_t hi) {
          for (std::size_t k = lo; k < hi; ++k) {
            const SubjectIndex r = relation_vals[k];
            GraphLink l;
            if (!link_of(r, l) || !self_consistent(e, r, l)) continue;
            bool ok = true;
            for (int p = 1; p < n && ok; ++p) ok = in_domain(e.pos[p], implied(p, r, l));
            if (!ok) continue;
            for (int p = 0; p < n; ++p) images[p].push_back(implied(p, r, l));
          }
        }) ||
        poll_.tick_done(relation_vals.size())) {
      return false;
    }
    for (int p = 0; p < n; ++p) {
      if (!polled_sort(poll_, images[p]) || !polled_unique(poll_, images[p])) return false;
      Var& x = vars_[e.pos[p]];
      Vec<SubjectIndex>& both = spare_;
      both.clear();
      if (!polled_intersection(poll_, x.vals, images[p], both)) return false;
      if (both.size() != x.vals.size()) {
        x.vals.swap(both);
        changed.push_back(e.pos[p]);
      }
      if (x.vals.empty()) return false;
    }
    return true;
  }

  // Arc consistency over every constraint, to a fixpoint.
  bool make_consistent() {
    Vec<std::uint32_t>& queue = queue_;
    Vec<std::uint8_t>& queued = flags_;
    queued.assign(constraints_.size(), 1);
    queue.clear();
    if (!poll_.for_each(constraints_.size(), [&](std::size_t c) {
          queue.push_back(static_cast<std::uint32_t>(c));
        })) {
      return false;
    }
    Vec<std::uint32_t>& changed = changed_;
    while (!queue.empty()) {
      audit_work();
      if (poll_.tick(16)) return false;
      const std::uint32_t id = queue.back();
      queue.pop_back();
      queued[id] = 0;
      const Constraint& c = constraints_[id];
      changed.clear();
      if (c.tree) {
        bool child_changed = false, parent_changed = false;
        if (!revise_child(c, child_changed) || !revise_parent(c, &parent_changed)) return false;
        if (child_changed) changed.push_back(c.b);
        if (parent_changed) changed.push_back(c.a);
      } else if (!revise_entry(entries_[c.a], changed)) {
        return false;
      }
      for (std::uint32_t v : changed) {
        const Vec<std::uint32_t>& cons = vars_[v].cons;
        if (!poll_.for_each(cons.size(), [&](std::size_t k) {
              const std::uint32_t other = cons[k];
              if (other != id && !queued[other]) {
                queued[other] = 1;
                queue.push_back(other);
              }
            }) ||
            poll_.tick_done(cons.size())) {
          return false;
        }
      }
    }
    return true;
  }

  // --- the search -------------------------------------------------------------

  struct Removal {
    std::uint32_t var;
    std::uint32_t value;
  };
  struct ReasonBit {
    std::uint32_t var;
    std::uint32_t depth;
  };

  SubjectIndex placed(std::uint32_t v) const { return vars_[v].vals[vars_[v].value]; }

  // Unplaced variable with the fewest values left; ties go to the one in
  // more constraints, then to text order. Ends early when interrupted.
  std::uint32_t pick() {
    std::uint32_t best = kNoVar;
    poll_.for_each(vars_.size(), [&](std::size_t k) {
      const auto v = static_cast<std::uint32_t>(k);
      const Var& x = vars_[v];
      if (x.depth >= 0) return;
      if (best == kNoVar || x.live < vars_[best].live ||
          (x.live == vars_[best].live && x.cons.size() > vars_[best].cons.size())) {
        best = v;
      }
    });
    (void)poll_.tick_done(vars_.size());  // once per step: it weighs
    return best;
  }

  // Removes from unplaced variable y every live value that `keep` refuses,
  // blaming the placements at the depths in `reason`. False when y has no
  // value left.
  template <class Keep>
  bool prune(std::uint32_t y, std::uint32_t depth, std::initializer_list<std::int32_t> reason,
             Keep keep) {
    Var& x = vars_[y];
    bool any = false;
    poll_.for_each(x.vals.size(), [&](std::size_t i) {
      if (x.removed[i] >= 0 || keep(x.vals[i])) return;
      x.removed[i] = static_cast<std::int32_t>(depth);
      --x.live;
      removals_.push_back(Removal{y, static_cast<std::uint32_t>(i)});
      any = true;
    });
    (void)poll_.tick_done(x.vals.size());  // once per constraint: it weighs
    if (any) {
      for (std::int32_t d : reason) {
        if (d >= 0 && !x.past_fc.test(static_cast<std::size_t>(d))) {
          x.past_fc.set(static_cast<std::size_t>(d));
          reasons_.push_back(ReasonBit{y, static_cast<std::uint32_t>(d)});
        }
      }
    }
    return x.live > 0;
  }

  // Prunes what the placement of v at `depth` rules out; on a wipe-out,
  // adds the wiped variable's culprits to v's conflicts and returns false.
  bool forward_check(std::uint32_t v, std::uint32_t depth) {
    const auto d = static_cast<std::int32_t>(depth);
    const SubjectIndex g = placed(v);
    for (std::uint32_t id : vars_[v].cons) {
      if (poll_.turn()) return false;  // the search's loop sees the stop
      const Constraint& c = constraints_[id];
      std::uint32_t wiped = kNoVar;
      if (c.tree) {
        const SubtreeRange& r = range(g);
        if (c.a == v && vars_[c.b].depth < 0 &&
            !prune(c.b, depth, {d}, [&](SubjectIndex x) { return inside(range(x), r); })) {
          wiped = c.b;
        }
        if (c.b == v && vars_[c.a].depth < 0 &&
            !prune(c.a, depth, {d}, [&](SubjectIndex x) { return inside(r, range(x)); })) {
          wiped = c.a;
        }
      } else {
        wiped = check_entry(entries_[c.a], v, depth);
      }
      if (wiped != kNoVar) {
        vars_[v].conf.merge(vars_[wiped].past_fc, poll_);
        return false;
      }
    }
    return true;
  }

  // Entry pruning after the placement of v: a placed relation subject fixes
  // the other positions; otherwise the relation subject keeps the values
  // that agree with every placed position. Returns the wiped variable or
  // kNoVar.
  std::uint32_t check_entry(const Entry& e, std::uint32_t v, std::uint32_t depth) {
    const int n = e.positions();
    const std::uint32_t rv = e.pos[Entry::kR];
    if (rv == v) {
      const SubjectIndex r = placed(v);
      const GraphLink l = link_at(r);
      for (int p = 1; p < n; ++p) {
        const std::uint32_t y = e.pos[p];
        if (vars_[y].depth >= 0) continue;
        const SubjectIndex want = implied(p, r, l);
        if (!prune(y, depth, {static_cast<std::int32_t>(depth)},
                   [want](SubjectIndex x) { return x == want; })) {
          return y;
        }
      }
      return kNoVar;
    }
    if (vars_[rv].depth >= 0) return kNoVar;  // pruned when it was placed
    std::int32_t blame[3] = {-1, -1, -1};
    for (int p = 1; p < n; ++p) blame[p - 1] = vars_[e.pos[p]].depth;
    auto agrees = [&](SubjectIndex r) {
      const GraphLink l = link_at(r);
      for (int p = 1; p < n; ++p) {
        const Var& x = vars_[e.pos[p]];
        if (x.depth >= 0 && x.vals[x.value] != implied(p, r, l)) return false;
      }
      return true;
    };
    return prune(rv, depth, {blame[0], blame[1], blame[2]}, agrees) ? kNoVar : rv;
  }

  // Restores what the placement at `depth` pruned (ends early when
  // interrupted).
  void undo(std::uint32_t depth) {
    (void)poll_.tick_done(removals_.size() - removal_mark_[depth]);
    poll_.for_each(removals_.size() - removal_mark_[depth], [&](std::size_t) {
      const Removal r = removals_.back();
      removals_.pop_back();
      vars_[r.var].removed[r.value] = -1;
      ++vars_[r.var].live;
    });
    poll_.for_each(reasons_.size() - reason_mark_[depth], [&](std::size_t) {
      const ReasonBit b = reasons_.back();
      reasons_.pop_back();
      vars_[b.var].past_fc.reset(b.depth);
    });
  }

  void begin(std::uint32_t v, std::uint32_t depth) {
    Var& x = vars_[v];
    x.depth = static_cast<std::int32_t>(depth);
    x.next = 0;
    x.conf.clear();
    order_[depth] = v;
  }

  void unplace(std::uint32_t v) {
    vars_[v].depth = -1;
    vars_[v].conf.clear();
  }

  // Places v on its next live value that survives forward checking.
  bool place_next(std::uint32_t v, std::uint32_t depth) {
    Var& x = vars_[v];
    for (std::size_t skipped = 0; x.next < x.vals.size();) {
      const std::size_t i = x.next++;
      if (x.removed[i] >= 0) {
        if (poll_.turn_at(skipped++)) return false;  // removed values are passed over here
        continue;
      }
      x.value = i;
      removal_mark_[depth] = removals_.size();
      reason_mark_[depth] = reasons_.size();
      if (forward_check(v, depth)) return true;
      undo(depth);
      if (poll_.tick()) return false;
    }
    return false;
  }

  bool search() {
    const std::size_t n = vars_.size();
    for (std::size_t k = 0; k < n; ++k) {
      if (poll_.turn_at(k)) return false;
      Var& x = vars_[k];
      x.removed.assign(x.vals.size(), -1);
      x.live = x.vals.size();
      x.conf.resize(n);
      x.past_fc.resize(n);
    }
    order_.assign(n, kNoVar);
    removal_mark_.assign(n, 0);
    reason_mark_.assign(n, 0);

    std::uint32_t depth = 0;
    std::uint32_t v = pick();
    if (poll_.stopped()) return false;
    if (v == kNoVar) return true;
    begin(v, depth);
    while (true) {
      if (place_next(v, depth)) {
        const std::uint32_t next = pick();
        if (poll_.stopped()) return false;
        if (next == kNoVar) return true;
        begin(next, ++depth);
        v = next;
        continue;
      }
      if (poll_.stopped()) return false;
      // Every value of v failed: jump back to the latest placement among
      // the causes, handing it the rest of them.
      DepthSet causes = vars_[v].conf;
      causes.merge(vars_[v].past_fc, poll_);
      causes.cut_from(depth, poll_);
      unplace(v);
      const std::int64_t back = causes.highest(poll_);
      if (back < 0) return false;
      const auto h = static_cast<std::uint32_t>(back);
      while (depth > h + 1) {
        if (poll_.turn()) return false;
        --depth;
        undo(depth);
        unplace(order_[depth]);
      }
      depth = h;
      undo(depth);
      v = order_[depth];
      causes.reset(depth);
      vars_[v].conf.merge(causes, poll_);
      if (poll_.stopped()) return false;
    }
  }

  const Query& query_;
  const IndexedGraph& graph_;
  Feasibility& f_;
  InterruptPoll& poll_;
  alignas(std::max_align_t) std::byte buffer_[4096];
  std::pmr::monotonic_buffer_resource arena_;
  Vec<std::uint32_t> var_of_;
  Vec<std::uint8_t> named_var_;
  Vec<Var> vars_;
  Vec<Entry> entries_;
  Vec<Constraint> constraints_;
  Vec<std::uint32_t> order_;
  Vec<Removal> removals_;
  Vec<ReasonBit> reasons_;
  Vec<std::size_t> removal_mark_;
  Vec<std::size_t> reason_mark_;
  // Scratch, reused by one step after another.
  Vec<std::uint8_t> flags_;
  Vec<SubjectIndex> values_;
  Vec<SubjectIndex> spare_;  // swapped with a domain it replaces
  Vec<std::pair<Pos, Pos>> ranges_;
  Vec<std::uint32_t> queue_;
  Vec<std::uint32_t> changed_;
  Vec<SubjectIndex> images_[4];
};

}  // namespace

bool search_relations(const Query& query, const IndexedGraph& graph, Feasibility& feasibility) {
  return RelationSearch(query, graph, feasibility).run();
}

}  // namespace lumo
