// Matching a query against an indexed tag graph.
//
// A query holds in a graph when every query subject can be given a graph
// subject that carries its identity, satisfies its expression and lies inside
// the graph subject given to the subject it was written in (relation subjects
// may lie anywhere), and the query's relation entries are found among the
// graph's relations.
//
// Without relation entries the subjects constrain each other only along the
// tree of their parents, so the question splits per subtree:
//
//   feasible(q, g) = the expression of q holds on g, and every child c of q
//                    has a candidate g' (inside g's subtree unless c is a
//                    relation subject) with feasible(c, g').
//
// It is evaluated lazily from the root down, memoised per (q, g), on an
// explicit stack. When (q, g) fails because a non-relation child has no
// feasible candidate inside g's subtree, every graph subject below g fails
// for q too, so scans over q's candidates jump past g's whole subtree.
//
// With relation entries, the search backtracks over the subjects that relation
// entries name and their ancestors ("bound" subjects), offers each only
// candidates that are feasible, and checks each entry as soon as the last
// subject it names is placed. The remaining subjects need no search: a
// feasible parent guarantees them a placement, and no entry looks at them.
//
// Candidates are kept sorted by their pre-order number, so the ones inside a
// subtree [start, end) are one binary search and a contiguous run away.

#include "eval/match.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/random_hash.h"
#include "eval/match_expr.h"

namespace lumo {

bool ExprTester::test(const ExprPool& pool, ExprId expr, const PersistentSet& tags) {
  stack_.clear();
  stack_.push_back(Frame{expr, 0});
  bool value = false;      // result of the frame most recently finished
  bool returning = false;  // whether `value` is waiting for the top frame
  while (!stack_.empty()) {
    Frame& f = stack_.back();
    const ExprNode& node = pool[f.id];
    switch (node.kind) {
      case ExprKind::Tag:
        value = tags.contains(node.tag);
        stack_.pop_back();
        returning = true;
        break;
      case ExprKind::Not:
        if (returning) {
          value = !value;
          stack_.pop_back();
        } else {
          stack_.push_back(Frame{node.operand, 0});
        }
        break;
      case ExprKind::List: {
        if (returning && value != node.all) {
          // all-list met a false item, or any-list met a true one: decided.
          stack_.pop_back();
          break;
        }
        if (f.next == node.items.size()) {
          value = node.all;
          stack_.pop_back();
          returning = true;
          break;
        }
        ExprId item = node.items[f.next++];
        stack_.push_back(Frame{item, 0});
        returning = false;
        break;
      }
    }
  }
  return value;
}

namespace {

using Pos = std::uint32_t;

// One candidate graph subject with its subtree range.
struct Cand {
  Pos start;
  Pos end;
  SubjectIndex g;
};

// The candidates of one identity (or of all subjects): those with a proper
// range sorted by start, and those the index left without a range.
struct CandidateList {
  std::vector<Cand> ranged;
  std::vector<Cand> rangeless;
  std::size_t size() const { return ranged.size() + rangeless.size(); }
};

// A walk over the candidates of one list that lie in a range [lo, hi]
// (lo <= start, end <= hi), or over all of them.
struct Scan {
  const CandidateList* list = nullptr;
  Pos lo = 0;
  Pos hi = 0;
  bool anywhere = false;
  bool in_rangeless = false;
  std::size_t pos = 0;

  void init(const CandidateList* l, const SubtreeRange* within) {
    list = l;
    in_rangeless = false;
    if (within == nullptr) {
      anywhere = true;
      lo = 0;
      hi = std::numeric_limits<Pos>::max();
      pos = 0;
    } else {
      anywhere = false;
      lo = within->start;
      hi = within->end;
      pos = static_cast<std::size_t>(
          std::lower_bound(l->ranged.begin(), l->ranged.end(), lo,
                           [](const Cand& c, Pos v) { return c.start < v; }) -
          l->ranged.begin());
    }
  }

  // The current candidate, skipping ones outside the range; null at the end.
  const Cand* peek() {
    if (!in_rangeless) {
      const auto& r = list->ranged;
      // Ranges nest, so a proper range starting inside [lo, hi) ends by hi.
      if (pos < r.size() && (anywhere || r[pos].start < hi)) return &r[pos];
      in_rangeless = true;
      pos = 0;
    }
    const auto& r = list->rangeless;
    while (pos < r.size()) {
      const Cand& c = r[pos];
      if (anywhere || (lo <= c.start && c.end <= hi)) return &c;
      ++pos;
    }
    return nullptr;
  }

  void advance() { ++pos; }

  // Leaves out every remaining candidate inside the subtree of `c` (the
  // current one).
  void skip_subtree(const Cand& c) {
    if (in_rangeless || c.end <= c.start) {
      ++pos;
      return;
    }
    const auto& r = list->ranged;
    pos = static_cast<std::size_t>(
        std::lower_bound(r.begin() + static_cast<std::ptrdiff_t>(pos) + 1, r.end(), c.end,
                         [](const Cand& x, Pos v) { return x.start < v; }) -
        r.begin());
  }
};

enum class Memo : std::uint8_t {
  Unknown = 0,
  True,
  False,  // this (q, g) fails
  Dead,   // this (q, g) fails, and so does every graph subject below g
};

// Memo of feasible(q, g): open addressing over (q, g) with a seeded hash.
class PairMemo {
 public:
  explicit PairMemo(std::size_t graph_size) : stride_(graph_size), seed_(draw_hash_key()) {
    slots_.resize(64);
    mask_ = slots_.size() - 1;
  }

  Memo get(SubjectIndex q, SubjectIndex g) const {
    std::uint64_t key = make_key(q, g);
    std::size_t i = hash_u64(key, seed_) & mask_;
    while (true) {
      const Slot& s = slots_[i];
      if (s.key == key) return s.value;
      if (s.key == 0) return Memo::Unknown;
      i = (i + 1) & mask_;
    }
  }

  void set(SubjectIndex q, SubjectIndex g, Memo value) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    insert(make_key(q, g), value);
  }

 private:
  struct Slot {
    std::uint64_t key = 0;  // 0: empty
    Memo value = Memo::Unknown;
  };

  std::uint64_t make_key(SubjectIndex q, SubjectIndex g) const {
    return static_cast<std::uint64_t>(q) * stride_ + g + 1;
  }

  void insert(std::uint64_t key, Memo value) {
    std::size_t i = hash_u64(key, seed_) & mask_;
    while (true) {
      Slot& s = slots_[i];
      if (s.key == key) {
        s.value = value;
        return;
      }
      if (s.key == 0) {
        s.key = key;
        s.value = value;
        ++count_;
        return;
      }
      i = (i + 1) & mask_;
    }
  }

  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    count_ = 0;
    for (const Slot& s : old) {
      if (s.key != 0) insert(s.key, s.value);
    }
  }

  std::uint64_t stride_;
  std::uint64_t seed_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
};

class Matcher {
 public:
  Matcher(const Query& query, const IndexedGraph& graph, Interrupt* interrupt)
      : query_(query), graph_(graph), memo_(graph.subjects.size()), poll_(interrupt) {}

  // The answer; false as well when interrupted (see interrupted()).
  bool run();
  bool interrupted() const { return poll_.stopped(); }

 private:
  void prepare();
  const CandidateList* list_for(const QuerySubject& s);
  const CandidateList* all_list();
  bool expression_holds(SubjectIndex q, SubjectIndex g) {
    const QuerySubject& s = query_.subjects[q];
    return tester_.test(query_.exprs, s.expression, graph_.subjects[g].subtree_tags);
  }
  void start_scan(Scan& scan, SubjectIndex q, SubjectIndex parent_match);
  bool feasible(SubjectIndex q, SubjectIndex g);
  bool search_relations();
  bool entries_hold(SubjectIndex q, const std::vector<SubjectIndex>& a) const;

  const Query& query_;
  const IndexedGraph& graph_;
  ExprTester tester_;
  PairMemo memo_;
  InterruptPoll poll_;

  // Written children of every query subject, most selective first.
  std::vector<std::size_t> kid_begin_;
  std::vector<SubjectIndex> kids_;
  std::vector<const CandidateList*> cands_;
  std::vector<std::uint8_t> is_relation_;
  std::vector<std::uint8_t> trivial_expr_;
  // Relation children: whether some graph subject is feasible (0 unknown,
  // 1 yes, 2 no); a parent with a hopeless relation child is hopeless.
  std::vector<std::uint8_t> anywhere_;
  std::vector<std::uint8_t> hopeless_;

  std::vector<CandidateList> lists_;
  std::unordered_map<std::string_view, std::size_t, SeededStringHash, StringEq> by_identity_;
  std::size_t all_list_ = SIZE_MAX;

  struct Frame {
    SubjectIndex q;
    SubjectIndex g;
    std::size_t kid;  // position in kids_
    bool scanning;
    Scan scan;
  };
  std::vector<Frame> stack_;

  // Relation entries by the highest query subject they name.
  struct Entry {
    RelationKey key;
    RelationContext context;
  };
  std::vector<std::vector<Entry>> entries_at_;
};

const CandidateList* Matcher::all_list() {
  if (all_list_ != SIZE_MAX) return &lists_[all_list_];
  const auto& subjects = graph_.subjects;
  const std::size_t n = subjects.size();
  CandidateList l;
  // Pre-order numbers of a proper index are distinct and below n: place each
  // subject at its number, and sort only if that assumption does not hold.
  std::vector<SubjectIndex> at(n, SIZE_MAX);
  bool placed = true;
  std::size_t ranged = 0;
  for (SubjectIndex g = 0; g < n; ++g) {
    const SubtreeRange& r = subjects[g].subtree_range;
    if (r.end <= r.start) {
      l.rangeless.push_back(Cand{r.start, r.end, g});
      continue;
    }
    ++ranged;
    if (placed && r.start < n && at[r.start] == SIZE_MAX) {
      at[r.start] = g;
    } else {
      placed = false;
    }
  }
  l.ranged.reserve(ranged);
  if (placed) {
    for (SubjectIndex g : at) {
      if (g == SIZE_MAX) continue;
      const SubtreeRange& r = subjects[g].subtree_range;
      l.ranged.push_back(Cand{r.start, r.end, g});
    }
  } else {
    for (SubjectIndex g = 0; g < n; ++g) {
      const SubtreeRange& r = subjects[g].subtree_range;
      if (r.end > r.start) l.ranged.push_back(Cand{r.start, r.end, g});
    }
    std::stable_sort(l.ranged.begin(), l.ranged.end(),
                     [](const Cand& a, const Cand& b) { return a.start < b.start; });
  }
  all_list_ = lists_.size();
  lists_.push_back(std::move(l));
  return &lists_[all_list_];
}

const CandidateList* Matcher::list_for(const QuerySubject& s) {
  if (s.identities.empty()) return all_list();
  std::string_view id = s.identities.front();
  auto found = by_identity_.find(id);
  if (found != by_identity_.end()) return &lists_[found->second];
  CandidateList l;
  auto in_graph = graph_.identity_index.find(id);
  if (in_graph != graph_.identity_index.end()) {
    std::vector<SubjectIndex> gs = in_graph->second;
    std::sort(gs.begin(), gs.end());
    gs.erase(std::unique(gs.begin(), gs.end()), gs.end());  // listed twice: try once
    for (SubjectIndex g : gs) {
      const SubtreeRange& r = graph_.subjects[g].subtree_range;
      (r.end > r.start ? l.ranged : l.rangeless).push_back(Cand{r.start, r.end, g});
    }
    std::stable_sort(l.ranged.begin(), l.ranged.end(),
                     [](const Cand& a, const Cand& b) { return a.start < b.start; });
  }
  std::size_t at = lists_.size();
  lists_.push_back(std::move(l));
  by_identity_.emplace(id, at);
  return &lists_[at];
}

void Matcher::prepare() {
  const auto& subjects = query_.subjects;
  const std::size_t n = subjects.size();
  // Lists are built first and pointed at afterwards: lists_ may reallocate.
  std::vector<std::size_t> list_index(n, 0);
  lists_.reserve(n + 1);
  for (SubjectIndex q = 1; q < n; ++q) {
    const CandidateList* l = list_for(subjects[q]);
    list_index[q] = static_cast<std::size_t>(l - lists_.data());
  }
  cands_.assign(n, nullptr);
  for (SubjectIndex q = 1; q < n; ++q) cands_[q] = &lists_[list_index[q]];

  is_relation_.assign(n, 0);
  trivial_expr_.assign(n, 0);
  for (SubjectIndex q = 0; q < n; ++q) {
    is_relation_[q] = subjects[q].relation.has_value() ? 1 : 0;
    const ExprNode& e = query_.exprs[subjects[q].expression];
    trivial_expr_[q] = (e.kind == ExprKind::List && e.all && e.items.empty()) ? 1 : 0;
  }

  kid_begin_.assign(n + 1, 0);
  for (SubjectIndex q = 1; q < n; ++q) ++kid_begin_[subjects[q].parent + 1];
  for (std::size_t i = 0; i < n; ++i) kid_begin_[i + 1] += kid_begin_[i];
  kids_.assign(n > 0 ? n - 1 : 0, 0);
  std::vector<std::size_t> fill(kid_begin_.begin(), kid_begin_.end() - 1);
  for (SubjectIndex q = 1; q < n; ++q) kids_[fill[subjects[q].parent]++] = q;
  for (SubjectIndex q = 0; q < n; ++q) {
    auto b = kids_.begin() + static_cast<std::ptrdiff_t>(kid_begin_[q]);
    auto e = kids_.begin() + static_cast<std::ptrdiff_t>(kid_begin_[q + 1]);
    std::stable_sort(b, e, [this](SubjectIndex x, SubjectIndex y) {
      return cands_[x]->size() < cands_[y]->size();
    });
  }
  anywhere_.assign(n, 0);
  hopeless_.assign(n, 0);
}

void Matcher::start_scan(Scan& scan, SubjectIndex q, SubjectIndex parent_match) {
  if (is_relation_[q]) {
    scan.init(cands_[q], nullptr);
  } else {
    scan.init(cands_[q], &graph_.subjects[parent_match].subtree_range);
  }
}

// Decides feasible(q, g) for a g taken from q's candidates (so its identity
// is already right), memoising every pair it settles on the way.
bool Matcher::feasible(SubjectIndex q0, SubjectIndex g0) {
  Memo known = memo_.get(q0, g0);
  if (known != Memo::Unknown) return known == Memo::True;
  if (hopeless_[q0]) return false;
  if (!trivial_expr_[q0] && !expression_holds(q0, g0)) {
    memo_.set(q0, g0, Memo::False);
    return false;
  }
  stack_.clear();
  stack_.push_back(Frame{q0, g0, kid_begin_[q0], false, Scan{}});
  bool result = false;
  bool returning = false;
  while (!stack_.empty()) {
    if (poll_.tick()) return false;
    std::size_t top = stack_.size() - 1;
    Frame* f = &stack_[top];
    if (returning) {
      // `result` answers the candidate that the current child's scan holds.
      returning = false;
      SubjectIndex c = kids_[f->kid];
      if (result) {
        if (is_relation_[c]) anywhere_[c] = 1;
        ++f->kid;
        f->scanning = false;
      } else if (hopeless_[c]) {
        f->scan.pos = SIZE_MAX;  // nothing for c anywhere
        f->scan.in_rangeless = true;
      } else {
        const Cand* cur = f->scan.peek();
        if (memo_.get(c, cur->g) == Memo::Dead) {
          f->scan.skip_subtree(*cur);
        } else {
          f->scan.advance();
        }
      }
    }

    bool pushed = false;
    bool failed = false;
    const std::size_t kid_end = kid_begin_[f->q + 1];
    while (f->kid < kid_end) {
      SubjectIndex c = kids_[f->kid];
      if (is_relation_[c] && anywhere_[c] != 0) {
        if (anywhere_[c] == 2) {
          failed = true;
          break;
        }
        ++f->kid;
        continue;
      }
      if (!f->scanning) {
        if (hopeless_[c]) {
          failed = true;
          break;
        }
        start_scan(f->scan, c, f->g);
        f->scanning = true;
      }
      bool found = false;
      while (const Cand* cand = f->scan.peek()) {
        if (poll_.tick()) return false;
        Memo m = memo_.get(c, cand->g);
        if (m == Memo::True) {
          found = true;
          break;
        }
        if (m == Memo::Dead) {
          f->scan.skip_subtree(*cand);
          continue;
        }
        if (m == Memo::False) {
          f->scan.advance();
          continue;
        }
        if (!trivial_expr_[c] && !expression_holds(c, cand->g)) {
          memo_.set(c, cand->g, Memo::False);
          f->scan.advance();
          continue;
        }
        if (kid_begin_[c] == kid_begin_[c + 1]) {
          memo_.set(c, cand->g, Memo::True);
          found = true;
          break;
        }
        stack_.push_back(Frame{c, cand->g, kid_begin_[c], false, Scan{}});
        pushed = true;
        break;
      }
      if (pushed) break;
      if (!found) {
        failed = true;
        break;
      }
      if (is_relation_[c]) anywhere_[c] = 1;
      ++f->kid;
      f->scanning = false;
    }
    if (pushed) continue;

    if (failed) {
      SubjectIndex c = kids_[f->kid];
      if (is_relation_[c]) {
        // No graph subject at all suits c: its parent fails wherever it is.
        anywhere_[c] = 2;
        hopeless_[f->q] = 1;
        memo_.set(f->q, f->g, Memo::False);
      } else {
        memo_.set(f->q, f->g, Memo::Dead);
      }
      result = false;
    } else {
      memo_.set(f->q, f->g, Memo::True);
      result = true;
    }
    stack_.pop_back();
    returning = true;
  }
  return result;
}

bool Matcher::entries_hold(SubjectIndex q, const std::vector<SubjectIndex>& a) const {
  for (const Entry& e : entries_at_[q]) {
    RelationKey key{a[e.key.subject], a[e.key.source], a[e.key.target]};
    auto found = graph_.relations.find(key);
    if (found == graph_.relations.end()) return false;
    if (!e.context.implicit && found->second.context != a[e.context.context]) return false;
  }
  return true;
}

bool Matcher::search_relations() {
  const auto& subjects = query_.subjects;
  const std::size_t n = subjects.size();
  if (graph_.relations.empty()) return false;

  entries_at_.assign(n, {});
  std::vector<std::uint8_t> bound(n, 0);
  for (const auto& [key, context] : query_.relations) {
    SubjectIndex last = std::max({key.subject, key.source, key.target});
    bound[key.subject] = bound[key.source] = bound[key.target] = 1;
    if (!context.implicit) {
      last = std::max(last, context.context);
      bound[context.context] = 1;
    }
    entries_at_[last].push_back(Entry{key, context});
  }
  for (SubjectIndex q = n; q-- > 1;) {
    if (bound[q]) bound[subjects[q].parent] = 1;
  }
  std::vector<SubjectIndex> order;
  for (SubjectIndex q = 1; q < n; ++q) {
    if (bound[q]) order.push_back(q);
  }
  std::vector<SubjectIndex> a(n, 0);
  // Entries naming only the root (none can: the relation subject is never
  // the root) would sit in entries_at_[0].
  if (!entries_hold(0, a)) return false;
  if (order.empty()) return true;

  std::vector<Scan> scans(order.size());
  std::size_t k = 0;
  start_scan(scans[0], order[0], a[subjects[order[0]].parent]);
  while (true) {
    SubjectIndex q = order[k];
    Scan& scan = scans[k];
    bool found = false;
    while (const Cand* cand = scan.peek()) {
      if (poll_.tick()) return false;
      SubjectIndex g = cand->g;
      if (!feasible(q, g)) {
        if (poll_.stopped()) return false;
        if (hopeless_[q]) break;
        if (memo_.get(q, g) == Memo::Dead) {
          scan.skip_subtree(*cand);
        } else {
          scan.advance();
        }
        continue;
      }
      scan.advance();
      a[q] = g;
      if (entries_hold(q, a)) {
        found = true;
        break;
      }
    }
    if (found) {
      if (k + 1 == order.size()) return true;
      ++k;
      start_scan(scans[k], order[k], a[subjects[order[k]].parent]);
    } else {
      if (k == 0) return false;
      --k;
    }
  }
}

bool Matcher::run() {
  const auto& subjects = query_.subjects;
  if (subjects.empty() || graph_.subjects.empty()) return false;
  prepare();
  if (!feasible(0, 0)) return false;
  if (query_.relations.empty()) return true;
  return search_relations();
}

}  // namespace

bool is_match(const Query& query, const IndexedGraph& graph) {
  return Matcher(query, graph, nullptr).run();
}

Result<bool, Interrupted> is_match(const Query& query, const IndexedGraph& graph,
                                   Interrupt* interrupt) {
  Matcher matcher(query, graph, interrupt);
  const bool matched = matcher.run();
  if (matcher.interrupted()) return make_err(Interrupted{});
  return matched;
}

}  // namespace lumo
