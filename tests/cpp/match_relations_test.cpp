// Relation matching: is_match against the plain search on generated
// relation-heavy pairs, rules pinned by hand, and inputs that only a search
// which prunes with the relation table answers in reasonable time.
//
// Three generators write a query text and a graph text from one small model,
// and both matchers answer each pair; the plain search of
// tests/support/match_reference.h defines the right answer.
//   * WorldGen draws a world of nested subjects (some with the identity
//     "context") and relation subjects with shared targets, explicit or
//     default contexts, children of their own, and places before or after
//     their targets. The graph is that world with a few relations changed and
//     decoys added (same target and another source, same source and another
//     target, another context); the query is a part of the world written more
//     loosely ("*", identities in parentheses, tag expressions, nesting that
//     skips the levels it leaves out).
//   * StarGen has the reproducer's shape: several relation subjects in one
//     subject sharing a few targets, against blocks of candidates in which
//     most relations almost fit.
//   * ColouringGen writes graph colouring: vertex subjects with edge relation
//     subjects between them against colour subjects related to other colours;
//     a brute-force colouring gives the answer a third time.
// The plain search enumerates whole assignments before it looks at a
// relation, so a pair whose enumeration could exceed a fixed bound is counted
// and skipped rather than run. Each family checks that it produces both
// answers and mostly queries with relation entries.
//
// The scale tests assert answers only. MatchRelationsGrowth keeps sizes that a
// plain backtracking search still finishes and compares with the reference;
// MatchRelationsScale uses the large sizes (256 relation subjects, 1024 graph
// subjects), which a search that checks an entry only after placing all its
// subjects in text order would not finish for years.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <numeric>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "eval/index.h"
#include "eval/match.h"
#include "compiled.h"
#include "match_reference.h"
#include "model/build_error.h"
#include "model/query.h"
#include "model/tag_graph.h"
#include "shortcuts.h"

namespace lumo {
namespace {

std::string repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

// --- hand-written cases -----------------------------------------------------

struct Case {
  const char* what;
  const char* query;
  const char* graph;
  bool expected;
};

const Case kCases[] = {
    // A relation whose target is its own subject.
    {"relation to itself", "{ a {\n r > @r\n} }", "{ a {\n r > @r\n} }", true},
    {"relation to itself, graph relation to another", "{ a {\n r > @r\n} }",
     "{ a {\n r > @q\n q\n} }", false},
    {"star relation to itself", "{ a {\n * @x > @x\n} }", "{ a {\n r > @r\n} }", true},
    {"star relation to itself, graph relation to another", "{ a {\n * @x > @x\n} }",
     "{ a {\n r > @q\n q\n} }", false},
    {"target matched by the relation subject itself", "{ a {\n * > @t\n}\n * @t }",
     "{ a {\n r > @r\n} }", true},
    {"target is the source", "{ a {\n * > @a\n} }", "{ a {\n x > @a\n} }", true},
    {"target is the source, graph relation to another", "{ a {\n * > @a\n} }",
     "{ a {\n x > @b\n}\n b }", false},
    {"target is a child of the relation subject", "{ a {\n * @r > @r.k {\n k\n}\n} }",
     "{ a {\n x > @x.k {\n k\n}\n} }", true},
    {"target is a sibling named like the child", "{ a {\n * @r > @r.k {\n k\n}\n} }",
     "{ a {\n x > @k {\n k\n}\n k\n} }", false},
    // Source = root: the default context is the source, so no entry.
    {"top-level relation makes no entry", "{ * > @b\n b }", "{ b }", true},
    {"top-level relation still needs its tags", "{ * > @b : w\n b }", "{ b }", false},
    {"source root with explicit context", "{ * > @b(@c)\n b\n c }",
     "{ x > @b(@c)\n b\n c }", true},
    {"source root, graph context is the source", "{ * > @b(@c)\n b\n c }",
     "{ x > @b\n b\n c }", false},
    {"source root, graph source elsewhere", "{ * > @b(@c)\n b\n c }",
     "{ d {\n x > @b(@c)\n}\n b\n c\n d }", false},
    // Context = source: no entry, on either side.
    {"context = source makes no entry", "{ p {\n * > @t(@p)\n}\n t }", "{ p\n t }", true},
    {"no entry: the relation subject needs its tags anywhere", "{ p {\n * > @t(@p) : w\n}\n t }",
     "{ p\n t\n u : w }", true},
    {"no entry: tags found nowhere", "{ p {\n * > @t(@p) : w\n}\n t }", "{ p\n t }", false},
    {"context identity on the source makes no entry", "{ *(context) @p {\n * > @t\n t\n} }",
     "{ p {\n t\n} }", true},
    {"graph: context identity on the source makes no entry", "{ p {\n * > @t\n t\n} }",
     "{ p(context) {\n r > @t\n t\n} }", false},
    {"graph: the same relation in a plain source", "{ p {\n * > @t\n t\n} }",
     "{ p {\n r > @t\n t\n} }", true},
    {"graph: default context from an ancestor, query names it", "{ q {\n a {\n * > @b(@q)\n}\n b\n} }",
     "{ q(context) {\n a {\n x > @b\n}\n b\n} }", true},
    {"graph: default context is the root, query names another", "{ q {\n a {\n * > @b(@q)\n}\n b\n} }",
     "{ q {\n a {\n x > @b\n}\n b\n} }", false},
    // Relation subjects are matched anywhere, with their children.
    {"relation subject lies in its context, outside its source", "{ a {\n * > @b\n}\n b }",
     "{ a {\n x > @b(@c)\n}\n b\n c }", true},
    {"children of a relation subject move with it", "{ a {\n * > @b {\n k\n}\n}\n b }",
     "{ a {\n x > @b(@c) {\n k\n}\n}\n b\n c }", true},
    {"child of a relation subject must lie inside it", "{ a {\n * > @b {\n k\n}\n}\n b }",
     "{ a {\n x > @b(@c)\n k\n}\n b\n c }", false},
    {"moved relation subject found inside its context", "{ c {\n x\n} }",
     "{ a {\n x > @b(@c)\n}\n b\n c }", true},
    {"moved relation subject no longer inside its source", "{ a {\n x\n} }",
     "{ a {\n x > @b(@c)\n}\n b\n c }", false},
    {"relation nested two levels", "{ a {\n b {\n * > @t\n}\n}\n t }",
     "{ a {\n b {\n x > @t\n}\n}\n t }", true},
    {"relation nested two levels, graph source one level up",
     "{ a {\n b {\n * > @t\n}\n}\n t }", "{ a {\n b\n x > @t\n}\n t }", false},
    // One graph relation subject serves several query relation subjects.
    {"one graph relation for two query relations", "{ a {\n * > @b\n * > @b\n}\n b }",
     "{ a {\n x > @b\n}\n b }", true},
    {"one graph relation carries both tag sets", "{ a {\n * > @b : u\n * > @b : v\n}\n b }",
     "{ a {\n x > @b : u, v\n}\n b }", true},
    {"two graph relations, one tag set each", "{ a {\n * > @b : u\n * > @b : v\n}\n b }",
     "{ a {\n x > @b : u\n y > @b : v\n}\n b }", true},
    {"second tag set only on a relation to another target",
     "{ a {\n * > @b : u\n * > @b : v\n}\n b }", "{ a {\n x > @b : u\n y > @c : v\n}\n b\n c }",
     false},
    // Explicit contexts must be equal; implicit ones accept any.
    {"explicit context differs", "{ a {\n * > @b(@c)\n}\n b\n c\n d }",
     "{ a {\n x > @b(@d)\n}\n b\n c\n d }", false},
    {"explicit context equal", "{ a {\n * > @b(@c)\n}\n b\n c\n d }",
     "{ a {\n x > @b(@c)\n}\n b\n c\n d }", true},
    {"explicit context given by a star may be the graph root", "{ a {\n * > @b(@k)\n}\n b\n * @k }",
     "{ a {\n x > @b\n}\n b\n d }", true},
    {"explicit context equal to the target", "{ a {\n * > @b(@b)\n}\n b }",
     "{ a {\n x > @b(@b)\n}\n b }", true},
    {"explicit context equal to the target, graph context root", "{ a {\n * > @b(@b)\n}\n b }",
     "{ a {\n x > @b\n}\n b }", false},
    {"implicit context accepts an explicit graph context", "{ a {\n * > @b\n}\n b\n c }",
     "{ a {\n x > @b(@c)\n}\n b\n c }", true},
    {"default context from a query subject matched by the graph root",
     "{ *(context) @w {\n a {\n * > @b\n}\n b\n} }", "{ a {\n x > @b\n}\n b }", true},
    // Decoys.
    {"same target, other source", "{ a {\n * > @b\n}\n b\n c }", "{ a\n c {\n x > @b\n}\n b }",
     false},
    {"same source, other target", "{ a {\n * > @b\n}\n b\n c }", "{ a {\n x > @c\n}\n b\n c }",
     false},
    {"relation found among decoys", "{ a {\n * > @b\n}\n b\n c }",
     "{ a {\n x > @c\n y > @b\n}\n b\n c {\n z > @b\n} }", true},
    {"identity of the relation subject", "{ a {\n r > @b\n}\n b }", "{ a {\n x > @b\n}\n b }",
     false},
    {"identity of the relation subject among others", "{ a {\n r > @b\n}\n b }",
     "{ a {\n x > @b\n r > @b\n}\n b }", true},
    // Text order of targets.
    {"reproducer with one relation subject", "{ s {\n * > @z\n z\n} }",
     "{ s {\n z\n x0\n r > @x0\n} }", false},
    {"target written after", "{ s {\n * > @z\n z\n} }", "{ s {\n z\n r > @z\n} }", true},
    {"target written first", "{ s {\n z\n * > @z\n} }", "{ s {\n r > @z\n z\n} }", true},
};

TEST(MatchRelationsCases, Table) {
  for (const Case& c : kCases) {
    Query q = query_of(c.query);
    IndexedGraph g = graph_of(c.graph);
    EXPECT_EQ(is_match(q, g), c.expected) << c.what;
    EXPECT_EQ(is_match_plain(q, g), c.expected) << c.what << " (plain search)";
  }
}

// --- the plain search's work --------------------------------------------------

// Expression test for the work bound; generated expressions are three levels
// deep at most.
bool holds(const ExprPool& pool, ExprId id, const IndexedGraph& g, SubjectIndex c) {
  const ExprNode& n = pool[id];
  if (n.kind == ExprKind::Tag) return subtree_holds(g, c, n.tag);
  if (n.kind == ExprKind::Not) return !holds(pool, n.operand, g, c);
  for (ExprId item : n.items) {
    if (holds(pool, item, g, c) != n.all) return !n.all;
  }
  return n.all;
}

// An upper bound on the partial assignments the plain search visits: each
// query subject contributes the most candidates it can have under any
// candidate of its parent (identity and expression ignore the parent;
// relation subjects ignore the range).
double plain_work_bound(const Query& q, const IndexedGraph& g) {
  const std::size_t n = q.subjects.size();
  std::vector<std::vector<SubjectIndex>> cands(n);
  cands[0] = {0};
  double level = 1;
  double total = 1;
  std::vector<std::uint32_t> all_subjects(g.size());
  std::iota(all_subjects.begin(), all_subjects.end(), std::uint32_t{0});
  for (SubjectIndex s = 1; s < n; ++s) {
    const QuerySubject& qs = q.subjects[s];
    std::span<const std::uint32_t> list(all_subjects);
    if (!qs.identities.empty()) {
      list = with_identity(g, qs.identities.front());
      if (list.empty()) return total;
    }
    for (SubjectIndex c : list) {
      if (holds(q.exprs, qs.expression, g, c)) cands[s].push_back(c);
    }
    std::size_t most = cands[s].size();
    if (!qs.relation) {
      most = 0;
      for (SubjectIndex p : cands[qs.parent]) {
        const SubtreeRange& pr = g.range(p);
        std::size_t inside = 0;
        for (SubjectIndex c : cands[s]) {
          const SubtreeRange& r = g.range(c);
          inside += pr.start <= r.start && r.end <= pr.end ? 1 : 0;
        }
        most = std::max(most, inside);
      }
    }
    level *= static_cast<double>(most);
    total += level;
  }
  return total;
}

// --- comparing many pairs -----------------------------------------------------

constexpr double kMaxPlainWork = 300000;

struct Tally {
  const char* family;
  int compared = 0;
  int matched = 0;
  int with_entries = 0;
  int matched_with_entries = 0;
  long entries = 0;
  int skipped = 0;  // over the work bound
  int unbuilt = 0;

  void print() const {
    std::printf(
        "%s: compared %d (skipped %d over the work bound), matched %d, with relation entries "
        "%d (matched %d), %.2f entries per query\n",
        family, compared, skipped, matched, with_entries, matched_with_entries,
        compared ? static_cast<double>(entries) / compared : 0.0);
  }

  // The family must produce both answers, mostly with relation entries, and
  // the bound must not hollow it out.
  void expect_mix(int wanted) const {
    EXPECT_EQ(unbuilt, 0) << family;
    EXPECT_EQ(compared, wanted) << family;
    EXPECT_GT(matched, compared / 10) << family;
    EXPECT_LT(matched, compared * 9 / 10) << family;
    EXPECT_GT(with_entries, compared * 3 / 5) << family;
    EXPECT_GT(matched_with_entries, with_entries / 10) << family;
    EXPECT_LT(matched_with_entries, with_entries * 9 / 10) << family;
    EXPECT_LT(skipped, compared / 4) << family;
  }
};

enum class Outcome { Agreed, Disagreed, Skipped };

// Builds and compares one pair; `answer` receives the agreed answer.
Outcome compare(const std::string& qt, const std::string& gt, Tally& t, bool* answer = nullptr) {
  auto q = compile_query(qt);
  auto g0 = compile_tag_graph(gt, false);
  if (!q.ok() || !g0.ok()) {
    if (t.unbuilt++ == 0) {
      ADD_FAILURE() << t.family << ": generated pair does not build ("
                    << render_build_error(q.ok() ? g0.error() : q.error()) << ")\nquery:\n"
                    << qt << "\ngraph:\n"
                    << gt;
    }
    return Outcome::Skipped;
  }
  IndexedGraph g = build_index(std::move(g0).value());
  if (plain_work_bound(q.value(), g) > kMaxPlainWork) {
    ++t.skipped;
    return Outcome::Skipped;
  }
  const bool fast = is_match(q.value(), g);
  const bool plain = is_match_plain(q.value(), g);
  EXPECT_EQ(fast, plain) << t.family << "\nquery:\n" << qt << "\ngraph:\n" << gt;
  if (fast != plain) return Outcome::Disagreed;
  ++t.compared;
  const std::size_t entries = q.value().relations.size();
  t.entries += static_cast<long>(entries);
  t.matched += fast ? 1 : 0;
  if (entries > 0) {
    ++t.with_entries;
    t.matched_with_entries += fast ? 1 : 0;
  }
  if (answer != nullptr) *answer = fast;
  return Outcome::Agreed;
}

// --- text of subject trees ------------------------------------------------------

// A subject tree written as text. Every subject gets a unique name, and
// relation paths are the shortest ones that resolve from where the relation
// is written: the first name is a child of one of the relation subject's
// ancestors, the rest walk down to the target.
class TextTree {
 public:
  // Adds a subject under `parent` (-1: the top level); siblings are written
  // in ascending `rank`.
  int add(int parent, std::string head, double rank) {
    const int id = static_cast<int>(nodes_.size());
    nodes_.push_back(Node{parent, {}, std::move(head), rank, -1, -1, {}});
    std::vector<int>& list = parent < 0 ? top_ : nodes_[static_cast<std::size_t>(parent)].kids;
    auto at = std::find_if(list.begin(), list.end(), [&](int k) { return at_(k).rank > rank; });
    list.insert(at, id);
    return id;
  }
  void relate(int id, int target, int context) {
    at_(id).target = target;
    at_(id).context = context;
  }
  void set_expr(int id, std::string expr) { at_(id).expr = std::move(expr); }

  std::string text() const {
    std::string out = "{\n";
    for (int id : top_) write(id, out);
    return out + "}";
  }

 private:
  struct Node {
    int parent;
    std::vector<int> kids;
    std::string head;
    double rank;
    int target;
    int context;
    std::string expr;
  };

  Node& at_(int id) { return nodes_[static_cast<std::size_t>(id)]; }
  const Node& at_(int id) const { return nodes_[static_cast<std::size_t>(id)]; }
  static std::string name(int id) { return "n" + std::to_string(id); }

  bool encloses(int a, int b) const {  // a is a proper ancestor of b
    for (int p = at_(b).parent; p >= 0; p = at_(p).parent) {
      if (p == a) return true;
    }
    return false;
  }

  std::string path(int from, int to) const {
    std::vector<int> up{to};
    for (int x = to; at_(x).parent >= 0 && !encloses(at_(x).parent, from);) {
      x = at_(x).parent;
      up.push_back(x);
    }
    std::string out = "@";
    for (auto it = up.rbegin(); it != up.rend(); ++it) {
      out += (it == up.rbegin() ? "" : ".") + name(*it);
    }
    return out;
  }

  // Nesting is a few levels deep by construction.
  void write(int id, std::string& out) const {
    const Node& n = at_(id);
    out += n.head + " @" + name(id);
    if (n.target >= 0) {
      out += " > " + path(id, n.target);
      if (n.context >= 0) out += "(" + path(id, n.context) + ")";
    }
    if (!n.expr.empty()) out += " : " + n.expr;
    if (!n.kids.empty()) {
      out += " {\n";
      for (int k : n.kids) write(k, out);
      out += "}";
    }
    out += "\n";
  }

  std::vector<Node> nodes_;
  std::vector<int> top_;
};

class Rng {
 public:
  explicit Rng(std::uint32_t seed) : gen_(seed) {}
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(gen_) < p; }
  double unit() { return std::uniform_real_distribution<double>(0, 1)(gen_); }
  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(gen_); }
  template <class T>
  const T& pick(const std::vector<T>& xs) {
    return xs[static_cast<std::size_t>(below(static_cast<int>(xs.size())))];
  }
  std::string pick(std::initializer_list<const char*> xs) {
    return *(xs.begin() + below(static_cast<int>(xs.size())));
  }
  template <class T>
  void shuffle(std::vector<T>& xs) {
    std::shuffle(xs.begin(), xs.end(), gen_);
  }

 private:
  std::mt19937 gen_;
};

// A tag expression over `tags` (the subject's own, so that it often holds)
// and a few others: a term, "-term", and "/" and "," combinations.
std::string expression(Rng& rng, const std::vector<std::string>& tags) {
  auto term = [&] {
    std::string t = !tags.empty() && rng.chance(0.7) ? rng.pick(tags) : rng.pick({"x", "y", "w"});
    return rng.chance(0.2) ? "-" + t : t;
  };
  std::string out = term();
  if (rng.chance(0.3)) out += " / " + term();
  if (rng.chance(0.3)) out = (rng.chance(0.5) ? "(" + out + ")" : out) + ", " + term();
  return out;
}

std::string joined(const std::vector<std::string>& tags) {
  std::string out;
  for (const std::string& t : tags) out += (out.empty() ? "" : ", ") + t;
  return out;
}

// --- WorldGen -------------------------------------------------------------------

class WorldGen {
 public:
  explicit WorldGen(std::uint32_t seed) : rng_(seed) {}

  std::pair<std::string, std::string> texts() {
    build_world();
    std::string g = graph_text();
    return {query_text(), g};
  }

 private:
  struct Node {
    int parent = -1;  // -1: top level (the source is the root)
    bool relation = false;
    int target = -1;
    int context = -1;  // -1: the default context
    std::string tag;
    bool context_identity = false;
    std::vector<std::string> tags;
    double rank = 0;
  };

  Node& at(int id) { return world_[static_cast<std::size_t>(id)]; }

  int depth(int id) {
    int d = 0;
    for (int x = at(id).parent; x >= 0; x = at(x).parent) ++d;
    return d;
  }
  std::vector<int> ordinary() {
    std::vector<int> out;
    for (std::size_t i = 0; i < world_.size(); ++i) {
      if (!world_[i].relation) out.push_back(static_cast<int>(i));
    }
    return out;
  }
  // Ordinary subjects with no relation subject above them: they stay where
  // they are written, so as contexts they never lie inside a relation subject
  // (a context inside one makes the moves circular and the text is refused).
  std::vector<int> settled() {
    std::vector<int> out;
    for (int i : ordinary()) {
      bool moves = false;
      for (int x = at(i).parent; x >= 0; x = at(x).parent) moves = moves || at(x).relation;
      if (!moves) out.push_back(i);
    }
    return out;
  }

  Node plain(int parent) {
    Node n;
    n.parent = parent;
    n.tag = rng_.pick({"a", "b", "c", "d"});
    n.context_identity = rng_.chance(0.2);
    for (const char* t : {"x", "y", "w"}) {
      if (rng_.chance(0.35)) n.tags.emplace_back(t);
    }
    n.rank = rng_.unit();
    return n;
  }

  void build_world() {
    world_.clear();
    const int count = 4 + rng_.below(5);
    for (int i = 0; i < count; ++i) {
      int parent = -1;
      if (i > 0 && !rng_.chance(0.35)) {
        parent = rng_.below(i);
        if (depth(parent) >= 2) parent = -1;
      }
      world_.push_back(plain(parent));
    }
    const int relations = 2 + rng_.below(4);
    for (int i = 0; i < relations; ++i) {
      Node r;
      r.relation = true;
      r.parent = rng_.chance(0.15) ? -1 : rng_.pick(ordinary());
      r.tag = rng_.chance(0.7) ? "r" : "e";
      for (const char* t : {"x", "y"}) {
        if (rng_.chance(0.3)) r.tags.emplace_back(t);
      }
      r.rank = rng_.unit();
      const int id = static_cast<int>(world_.size());
      world_.push_back(r);
      if (rng_.chance(0.3)) {
        world_.push_back(plain(id));
        if (rng_.chance(0.3)) world_.push_back(plain(id));
      }
    }
    const std::vector<int> plain_ids = ordinary();
    const std::vector<int> hubs = {rng_.pick(plain_ids), rng_.pick(plain_ids)};
    for (std::size_t i = 0; i < world_.size(); ++i) {
      const int id = static_cast<int>(i);
      if (!at(id).relation) continue;
      if (rng_.below(20) == 0) {
        at(id).target = id;
      } else {
        at(id).target = rng_.chance(0.6) ? rng_.pick(hubs) : rng_.pick(plain_ids);
      }
      if (rng_.chance(0.35)) {
        const int parent = at(id).parent;
        at(id).context = parent >= 0 && rng_.chance(0.25)
                             ? parent
                             : rng_.pick(settled());
      }
    }
  }

  std::string graph_text() {
    std::vector<Node> g = world_;
    const std::vector<int> plain_ids = ordinary();
    std::vector<int> relation_ids;
    for (std::size_t i = 0; i < world_.size(); ++i) {
      if (world_[i].relation) relation_ids.push_back(static_cast<int>(i));
    }
    for (int id : relation_ids) {
      Node& r = g[static_cast<std::size_t>(id)];
      if (rng_.chance(0.08)) r.target = rng_.pick(plain_ids);
      if (rng_.chance(0.08)) r.context = rng_.chance(0.5) ? -1 : rng_.pick(settled());
      if (rng_.chance(0.04)) {
        r.relation = false;
        r.target = r.context = -1;
      }
    }
    // Decoys: a copy of a relation with one thing changed.
    for (int d = rng_.below(4); d > 0; --d) {
      const int of = rng_.pick(relation_ids);
      Node y = world_[static_cast<std::size_t>(of)];
      if (y.target == of) y.target = static_cast<int>(g.size());  // to itself, not to `of`
      switch (rng_.below(3)) {
        case 0:
          y.parent = rng_.chance(0.2) ? -1 : rng_.pick(plain_ids);
          break;
        case 1:
          y.target = rng_.pick(plain_ids);
          break;
        default:
          y.context = y.context >= 0 && rng_.chance(0.4) ? -1 : rng_.pick(settled());
          break;
      }
      y.rank = rng_.unit();
      g.push_back(y);
    }
    for (int e = rng_.below(3); e > 0; --e) {
      g.push_back(plain(rng_.chance(0.5) ? -1 : rng_.pick(plain_ids)));
    }

    TextTree t;
    for (const Node& n : g) {
      std::string head = n.tag;
      if (!n.relation && n.context_identity) head += "(context)";
      const int id = t.add(n.parent, head, n.rank);
      if (!n.tags.empty()) t.set_expr(id, joined(n.tags));
    }
    for (std::size_t i = 0; i < g.size(); ++i) {
      if (g[i].relation) t.relate(static_cast<int>(i), g[i].target, g[i].context);
    }
    return t.text();
  }

  std::string query_text() {
    const std::size_t n = world_.size();
    std::vector<int> relation_ids;
    for (std::size_t i = 0; i < n; ++i) {
      if (world_[i].relation) relation_ids.push_back(static_cast<int>(i));
    }
    rng_.shuffle(relation_ids);
    relation_ids.resize(
        static_cast<std::size_t>(1 + rng_.below(std::min(4, static_cast<int>(relation_ids.size())))));

    std::vector<char> chosen(n, 0);
    std::vector<int> context(n, -1);
    for (int r : relation_ids) {
      const Node& x = at(r);
      chosen[static_cast<std::size_t>(r)] = 1;
      if (x.parent >= 0 && rng_.chance(0.85)) chosen[static_cast<std::size_t>(x.parent)] = 1;
      chosen[static_cast<std::size_t>(x.target)] = 1;
      if (x.context >= 0 && rng_.chance(0.8)) {
        context[static_cast<std::size_t>(r)] = x.context;
        chosen[static_cast<std::size_t>(x.context)] = 1;
      }
    }
    for (std::size_t i = 0; i < n; ++i) {
      const Node& x = world_[i];
      if (x.relation) continue;
      const bool relation_child = x.parent >= 0 && at(x.parent).relation;
      if (rng_.chance(relation_child ? 0.4 : 0.12)) chosen[i] = 1;
    }
    // A relation subject's source must not be a relation subject: when the
    // nearest chosen ancestor is one, keep the parent it was written in.
    for (int r : relation_ids) {
      const int parent = at(r).parent;
      int p = parent;
      while (p >= 0 && !chosen[static_cast<std::size_t>(p)]) p = at(p).parent;
      if (p >= 0 && at(p).relation) chosen[static_cast<std::size_t>(parent)] = 1;
    }

    TextTree t;
    std::vector<int> to_text(n, -1);
    for (std::size_t i = 0; i < n; ++i) {  // parents come before their children
      if (!chosen[i]) continue;
      const Node& x = world_[i];
      int p = x.parent;
      while (p >= 0 && !chosen[static_cast<std::size_t>(p)]) p = at(p).parent;
      std::string head;
      if (x.relation) {
        head = rng_.chance(0.55) ? "*" : x.tag;
      } else if (x.context_identity && rng_.chance(0.5)) {
        head = "*(context)";
      } else {
        const double u = rng_.unit();
        head = u < 0.3 ? "*" : u < 0.45 ? "*(" + x.tag + ")" : x.tag;
      }
      const int id = t.add(p < 0 ? -1 : to_text[static_cast<std::size_t>(p)], head, x.rank);
      to_text[i] = id;
      if (rng_.chance(x.relation ? 0.4 : 0.3)) t.set_expr(id, expression(rng_, x.tags));
    }
    for (int r : relation_ids) {
      const std::size_t i = static_cast<std::size_t>(r);
      const int c = context[i];
      t.relate(to_text[i], to_text[static_cast<std::size_t>(world_[i].target)],
               c < 0 ? -1 : to_text[static_cast<std::size_t>(c)]);
    }
    return t.text();
  }

  Rng rng_;
  std::vector<Node> world_;
};

// --- StarGen --------------------------------------------------------------------

class StarGen {
 public:
  explicit StarGen(std::uint32_t seed) : rng_(seed) {}

  std::pair<std::string, std::string> texts() { return {query_text(), graph_text()}; }

 private:
  std::string query_text() {
    TextTree t;
    const double u = rng_.unit();
    const int s = t.add(-1, u < 0.6 ? "s" : u < 0.85 ? "*" : "*(context)", rng_.unit());
    int o = -1;
    std::vector<int> targets;
    const std::vector<std::string> names = {"z", "y", "x"};
    for (int i = 0, m = 1 + rng_.below(3); i < m; ++i) {
      targets.push_back(t.add(s, rng_.chance(0.7) ? names[static_cast<std::size_t>(i)] : "*",
                              rng_.unit()));
    }
    if (rng_.chance(0.2)) {
      o = t.add(-1, "o", rng_.unit());
      targets.push_back(o);
    }
    for (int i = 0, k = 1 + rng_.below(4); i < k; ++i) {
      const int r = t.add(s, rng_.chance(0.55) ? "*" : "r", rng_.unit());
      int context = -1;
      const double c = rng_.unit();
      if (c > 0.85) {
        context = s;  // the source: no entry
      } else if (c > 0.6) {
        if (o < 0) o = t.add(-1, "o", rng_.unit());
        context = o;
      }
      t.relate(r, rng_.pick(targets), context);
      if (rng_.chance(0.35)) t.set_expr(r, rng_.pick({"p", "q", "-p", "p / q", "p, q"}));
      if (rng_.chance(0.15)) t.add(r, "k", rng_.unit());
    }
    return t.text();
  }

  std::string graph_text() {
    TextTree t;
    const int o = t.add(-1, "o", rng_.unit());
    const int o2 = rng_.chance(0.5) ? t.add(-1, "o2", rng_.unit()) : -1;
    std::vector<int> blocks;
    std::vector<std::vector<int>> kids;
    for (int b = 0, count = 1 + rng_.below(3); b < count; ++b) {
      std::string head = rng_.chance(0.8) ? "s" : "t";
      if (rng_.chance(0.15)) head += "(context)";
      blocks.push_back(t.add(-1, head, rng_.unit()));
      kids.emplace_back();
      for (const char* name : {"z", "y", "x"}) {
        if (rng_.chance(0.7)) kids.back().push_back(t.add(blocks.back(), name, rng_.unit()));
      }
    }
    std::vector<int> all_kids{o};
    for (const auto& k : kids) all_kids.insert(all_kids.end(), k.begin(), k.end());
    for (std::size_t b = 0; b < blocks.size(); ++b) {
      for (int i = 0, count = 1 + rng_.below(4); i < count; ++i) {
        const int r = t.add(blocks[b], rng_.chance(0.7) ? "r" : "e", rng_.unit());
        const int target =
            !kids[b].empty() && rng_.chance(0.6) ? rng_.pick(kids[b]) : rng_.pick(all_kids);
        int context = -1;
        const double c = rng_.unit();
        if (c > 0.9) {
          context = blocks[b];
        } else if (c > 0.8) {
          context = o2 >= 0 ? o2 : o;
        } else if (c > 0.6) {
          context = o;
        }
        t.relate(r, target, context);
        std::vector<std::string> tags;
        if (rng_.chance(0.5)) tags.emplace_back("p");
        if (rng_.chance(0.3)) tags.emplace_back("q");
        if (!tags.empty()) t.set_expr(r, joined(tags));
        if (rng_.chance(0.15)) t.add(r, "k", rng_.unit());
      }
    }
    if (o2 >= 0 && rng_.chance(0.6)) {
      const int r = t.add(o2, "r", rng_.unit());
      t.relate(r, rng_.pick(all_kids), -1);
    }
    return t.text();
  }

  Rng rng_;
};

// --- colouring ----------------------------------------------------------------------

struct Colouring {
  int vertices = 0;
  std::vector<std::pair<int, int>> edges;  // u -> v, written inside u
  int colours = 0;
  std::vector<std::pair<int, int>> colour_edges;  // c -> d
};

// Tries every colouring: some map of vertices to colours that takes every
// edge to a colour edge.
bool colourable(const Colouring& c) {
  if (c.colours == 0) return c.vertices == 0;
  const std::set<std::pair<int, int>> allowed(c.colour_edges.begin(), c.colour_edges.end());
  std::vector<int> at(static_cast<std::size_t>(c.vertices), 0);
  while (true) {
    bool ok = true;
    for (auto [u, v] : c.edges) {
      ok = ok && allowed.count({at[static_cast<std::size_t>(u)], at[static_cast<std::size_t>(v)]});
    }
    if (ok) return true;
    std::size_t i = 0;
    while (i < at.size() && ++at[i] == c.colours) at[i++] = 0;
    if (i == at.size()) return false;
  }
}

// The distinct-colour relation between `colours` colours, both directions.
std::vector<std::pair<int, int>> distinct_colours(int colours) {
  std::vector<std::pair<int, int>> out;
  for (int c = 0; c < colours; ++c) {
    for (int d = 0; d < colours; ++d) {
      if (c != d) out.emplace_back(c, d);
    }
  }
  return out;
}

// Layout choices that leave the answer alone: containers with the identity
// "context" on either side, explicit contexts naming the query's container,
// "*" or "e" for edge subjects, the text order of vertices, a decoy relation
// from a subject that is no colour.
struct ColouringLayout {
  bool query_container = false;
  bool graph_container = false;
  bool explicit_context = false;
  bool decoy = false;
  double star_edges = 0.5;
};

std::pair<std::string, std::string> colouring_texts(const Colouring& c, const ColouringLayout& l,
                                                    Rng& rng) {
  TextTree q;
  const int w = l.query_container ? q.add(-1, "*(context)", 0) : -1;
  std::vector<int> vertex;
  for (int v = 0; v < c.vertices; ++v) vertex.push_back(q.add(w, "colour", rng.unit()));
  for (auto [u, v] : c.edges) {
    const int e = q.add(vertex[static_cast<std::size_t>(u)], rng.chance(l.star_edges) ? "*" : "e",
                        rng.unit());
    q.relate(e, vertex[static_cast<std::size_t>(v)], l.explicit_context ? w : -1);
  }
  TextTree g;
  const int pal = l.graph_container ? g.add(-1, "*(context)", 0) : -1;
  std::vector<int> colour;
  for (int k = 0; k < c.colours; ++k) colour.push_back(g.add(pal, "colour", rng.unit()));
  for (auto [a, b] : c.colour_edges) {
    const int e = g.add(colour[static_cast<std::size_t>(a)], "e", rng.unit());
    g.relate(e, colour[static_cast<std::size_t>(b)], -1);
  }
  if (l.decoy && c.colours > 0) {
    const int o = g.add(-1, "other", rng.unit());
    const int e = g.add(o, "e", 0);
    g.relate(e, rng.pick(colour), -1);
  }
  return {q.text(), g.text()};
}

class ColouringGen {
 public:
  explicit ColouringGen(std::uint32_t seed) : rng_(seed) {}

  Colouring instance() {
    Colouring c;
    c.colours = 2 + rng_.below(2);
    c.vertices = 2 + rng_.below(c.colours == 2 ? 4 : 3);
    const int n = c.vertices;
    auto edge = [&](int u, int v) {
      c.edges.push_back(rng_.chance(0.5) ? std::make_pair(u, v) : std::make_pair(v, u));
    };
    switch (rng_.below(4)) {
      case 0:  // random
        for (int u = 0; u < n; ++u) {
          for (int v = u + 1; v < n; ++v) {
            if (rng_.chance(0.5)) edge(u, v);
          }
        }
        break;
      case 1:  // cycle (a path for two vertices)
        for (int u = 0; u + 1 < n; ++u) edge(u, u + 1);
        if (n > 2) edge(n - 1, 0);
        break;
      case 2:  // complete
        for (int u = 0; u < n; ++u) {
          for (int v = u + 1; v < n; ++v) edge(u, v);
        }
        break;
      default:  // a tree
        for (int v = 1; v < n; ++v) edge(rng_.below(v), v);
        break;
    }
    const double u = rng_.unit();
    if (u < 0.65) {
      c.colour_edges = distinct_colours(c.colours);
    } else if (u < 0.85) {
      for (auto e : distinct_colours(c.colours)) {
        if (rng_.chance(0.6)) c.colour_edges.push_back(e);
      }
    } else {
      c.colour_edges = distinct_colours(c.colours);
      const int loop = rng_.below(c.colours);
      c.colour_edges.emplace_back(loop, loop);
    }
    if (rng_.chance(0.15)) ++c.colours;  // a colour without relations
    return c;
  }

  ColouringLayout layout() {
    ColouringLayout l;
    l.query_container = rng_.chance(0.3);
    l.graph_container = rng_.chance(0.3);
    l.explicit_context = l.query_container && rng_.chance(0.5);
    l.decoy = rng_.chance(0.3);
    l.star_edges = rng_.chance(0.5) ? 0.0 : 0.5;
    return l;
  }

  Rng& rng() { return rng_; }

 private:
  Rng rng_;
};

// --- the random families ------------------------------------------------------------

constexpr int kPairs = 3000;

template <class Gen>
void run_family(Tally& t) {
  for (std::uint32_t seed = 1; t.compared < kPairs && seed < 40 * kPairs; ++seed) {
    auto [qt, gt] = Gen(seed).texts();
    if (compare(qt, gt, t) == Outcome::Disagreed) break;
  }
  t.print();
  t.expect_mix(kPairs);
}

TEST(MatchRelationsRandom, WorldAgreesWithPlainSearch) {
  Tally t{"world"};
  run_family<WorldGen>(t);
}

TEST(MatchRelationsRandom, StarAgreesWithPlainSearch) {
  Tally t{"star"};
  run_family<StarGen>(t);
}

TEST(MatchRelationsRandom, ColouringAgreesWithPlainSearchAndBruteForce) {
  Tally t{"colouring"};
  int colourable_count = 0;
  for (std::uint32_t seed = 1; t.compared < kPairs && seed < 40 * kPairs; ++seed) {
    ColouringGen gen(seed);
    const Colouring c = gen.instance();
    const ColouringLayout l = gen.layout();
    auto [qt, gt] = colouring_texts(c, l, gen.rng());
    bool answer = false;
    const Outcome o = compare(qt, gt, t, &answer);
    if (o == Outcome::Disagreed) break;
    if (o == Outcome::Skipped) continue;
    const bool expected = colourable(c);
    ASSERT_EQ(answer, expected) << "query:\n" << qt << "\ngraph:\n" << gt;
    colourable_count += expected ? 1 : 0;
  }
  t.print();
  std::printf("colouring: %d colourable\n", colourable_count);
  t.expect_mix(kPairs);
}

// Named instances, each in two layouts; the plain search runs where its
// enumeration stays small (K4 into four colours is checked against the
// brute force alone).
struct NamedColouring {
  const char* what;
  int vertices;
  std::vector<std::pair<int, int>> edges;
  int colours;
  bool colourable;
};

std::vector<std::pair<int, int>> complete(int n) {
  std::vector<std::pair<int, int>> out;
  for (int u = 0; u < n; ++u) {
    for (int v = u + 1; v < n; ++v) out.emplace_back(u, v);
  }
  return out;
}

std::vector<std::pair<int, int>> cycle(int n) {
  std::vector<std::pair<int, int>> out;
  for (int u = 0; u < n; ++u) out.emplace_back(u, (u + 1) % n);
  return out;
}

TEST(MatchRelationsColouring, NamedInstances) {
  const std::vector<NamedColouring> cases = {
      {"triangle into 2", 3, cycle(3), 2, false},
      {"triangle into 3", 3, cycle(3), 3, true},
      {"odd cycle C5 into 2", 5, cycle(5), 2, false},
      {"odd cycle C5 into 3", 5, cycle(5), 3, true},
      {"even cycle C4 into 2", 4, cycle(4), 2, true},
      {"even cycle C6 into 2", 6, cycle(6), 2, true},
      {"bipartite K2,3 into 2", 5, {{0, 2}, {0, 3}, {0, 4}, {1, 2}, {1, 3}, {1, 4}}, 2, true},
      {"path P5 into 2", 5, {{0, 1}, {1, 2}, {2, 3}, {3, 4}}, 2, true},
      {"K4 into 3", 4, complete(4), 3, false},
      {"K4 into 4", 4, complete(4), 4, true},
      {"one edge into 1", 2, {{0, 1}}, 1, false},
  };
  Rng rng(7);
  for (const NamedColouring& n : cases) {
    Colouring c{n.vertices, n.edges, n.colours, distinct_colours(n.colours)};
    ASSERT_EQ(colourable(c), n.colourable) << n.what;  // the table itself
    for (bool containers : {false, true}) {
      ColouringLayout l;
      l.query_container = l.graph_container = l.explicit_context = containers;
      l.star_edges = 0;
      auto [qt, gt] = colouring_texts(c, l, rng);
      Query q = query_of(qt);
      IndexedGraph g = graph_of(gt);
      EXPECT_EQ(is_match(q, g), n.colourable) << n.what << "\n" << qt << "\n" << gt;
      if (plain_work_bound(q, g) <= 5e6) {
        EXPECT_EQ(is_match_plain(q, g), n.colourable) << n.what << " (plain search)";
      }
    }
  }
}

// --- growth families -------------------------------------------------------------------

const char* const kReproducerGraph = "{ s {\n z\n x0\n r > @x0\n} }";
const char* const kReproducerGraphTrue = "{ s {\n z\n x0\n r > @z\n} }";

std::string reproducer_query(int k, bool target_first) {
  return target_first ? "{ s {\n z\n" + repeat(" * > @z\n", k) + "} }"
                      : "{ s {\n" + repeat(" * > @z\n", k) + " z\n} }";
}

// n graph subjects (the root included) in blocks of five: in block I, "r"
// relates the block to its own x, "q" to the z of the next block; with
// `fits`, block 0 also relates to its own z.
std::string almost_fitting_graph(int n, bool fits) {
  const int blocks = std::max(1, (n - 1) / 5);
  std::string g = "{\n";
  for (int i = 0; i < blocks; ++i) {
    g += "s @b" + std::to_string(i) + " {\n z\n x\n r > @x\n";
    if (blocks > 1) g += " q > @b" + std::to_string((i + 1) % blocks) + ".z\n";
    if (fits && i == 0) g += " w > @z\n";
    g += "}\n";
  }
  for (int i = 1 + blocks * (blocks > 1 ? 5 : 4); i < n; ++i) g += "f\n";
  return g + "}";
}

// k targets named only by "@tI", then k relation subjects to them.
std::string other_source_query(int k) {
  std::string q = "{ s {\n";
  for (int i = 0; i < k; ++i) q += " * @t" + std::to_string(i) + "\n";
  for (int i = 0; i < k; ++i) q += " * > @t" + std::to_string(i) + "\n";
  return q + "} }";
}
const char* const kOtherSourceGraph = "{ s {\n a\n b\n}\n o {\n r > @s.a\n} }";
const char* const kSameSourceGraph = "{ s {\n a\n b\n r > @a\n}\n o {\n r > @s.a\n} }";

struct Sized {
  std::string what;
  std::string query;
  std::string graph;
  bool expected;
};

// Checks the answers of is_match; with `with_plain`, also those of the plain
// search wherever its enumeration stays small, and returns how many it ran.
int expect_answers(const std::vector<Sized>& cases, bool with_plain) {
  int plain_runs = 0;
  for (const Sized& c : cases) {
    Query q = query_of(c.query);
    IndexedGraph g = graph_of(c.graph);
    EXPECT_EQ(is_match(q, g), c.expected) << c.what;
    if (with_plain && plain_work_bound(q, g) <= 10 * kMaxPlainWork) {
      EXPECT_EQ(is_match_plain(q, g), c.expected) << c.what << " (plain search)";
      ++plain_runs;
    }
  }
  return plain_runs;
}

TEST(MatchRelationsGrowth, SmallSizesAgreeWithPlainSearch) {
  std::vector<Sized> cases;
  for (int k = 1; k <= 8; ++k) {
    const std::string ks = " k=" + std::to_string(k);
    for (bool first : {false, true}) {
      const std::string order = first ? "target first" : "target last";
      cases.push_back({"reproducer, " + order + ks, reproducer_query(k, first), kReproducerGraph,
                       false});
      cases.push_back({"reproducer, relation to z, " + order + ks, reproducer_query(k, first),
                       kReproducerGraphTrue, true});
    }
    cases.push_back({"other source" + ks, other_source_query(k), kOtherSourceGraph, false});
    cases.push_back({"same source" + ks, other_source_query(k), kSameSourceGraph, true});
  }
  for (int n : {16, 21}) {
    cases.push_back({"almost fitting", reproducer_query(4, false), almost_fitting_graph(n, false),
                     false});
    cases.push_back({"almost fitting, block 0 fits", reproducer_query(4, false),
                     almost_fitting_graph(n, true), true});
  }
  const int plain_runs = expect_answers(cases, true);
  std::printf("growth: %zu cases, %d also by the plain search\n", cases.size(), plain_runs);
  EXPECT_GT(plain_runs, static_cast<int>(cases.size()) / 2);
}

// Sizes at which a search that only checks a relation once all its subjects
// are placed runs for hours or years.
TEST(MatchRelationsScale, ReproducerTargetLast) {
  expect_answers({{"reproducer k=256", reproducer_query(256, false), kReproducerGraph, false},
                  {"reproducer k=256, relation to z", reproducer_query(256, false),
                   kReproducerGraphTrue, true}},
                 false);
}

TEST(MatchRelationsScale, ReproducerTargetFirst) {
  expect_answers({{"reproducer k=256", reproducer_query(256, true), kReproducerGraph, false},
                  {"reproducer k=256, relation to z", reproducer_query(256, true),
                   kReproducerGraphTrue, true}},
                 false);
}

TEST(MatchRelationsScale, FourRelationSubjectsInLargeGraph) {
  expect_answers({{"n=1024", reproducer_query(4, false), almost_fitting_graph(1024, false), false},
                  {"n=1024, block 0 fits", reproducer_query(4, false),
                   almost_fitting_graph(1024, true), true}},
                 false);
}

TEST(MatchRelationsScale, NamedTargetsWithOtherSource) {
  expect_answers({{"k=20", other_source_query(20), kOtherSourceGraph, false},
                  {"k=64", other_source_query(64), kOtherSourceGraph, false},
                  {"k=64, same source", other_source_query(64), kSameSourceGraph, true}},
                 false);
}

TEST(MatchRelationsScale, PigeonholeFiveIntoFour) {
  Rng rng(3);
  for (int colours : {4, 5}) {
    Colouring c{5, complete(5), colours, distinct_colours(colours)};
    auto [qt, gt] = colouring_texts(c, ColouringLayout{}, rng);
    EXPECT_EQ(is_match(query_of(qt), graph_of(gt)), colours == 5) << "K5 into " << colours;
  }
}

}  // namespace
}  // namespace lumo
