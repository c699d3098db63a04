// Matching: edge cases, agreement with the plain backtracking search on
// random inputs, and inputs that would blow up a naive search or the stack.

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdio>
#include <functional>
#include <utility>
#include <random>
#include <string>
#include <vector>

#include "small_stack.h"
#include "eval/index.h"
#include "eval/match.h"
#include "compiled.h"
#include "match_reference.h"
#include "pair_gen.h"
#include "model/query.h"
#include "model/tag_graph.h"
#include "shortcuts.h"
#include "test_scale.h"

namespace lumo {
namespace {

struct Case {
  const char* what;
  const char* query;
  const char* graph;
  bool expected;
};

const Case kCases[] = {
    // The root alone.
    {"empty query, empty graph", "", "", true},
    {"empty query, any graph", "", "{ a: x }", true},
    {"root tag present below", "x", "{ a { b: x } }", true},
    {"root tag absent", "x", "{ a: y }", false},
    {"root any-list", "x / y", "{ a: y }", true},
    {"root negation", "-y", "{ a: y }", false},
    {"root double negation", "--y", "{ a: y }", true},
    {"any-list of empty all-lists", "() / ()", "{ a: y }", true},
    {"root holds context", "context", "", true},
    {"root negated context", "-context", "{ a }", false},
    {"root identity counts as tag", "a", "{ a }", true},
    {"root fails before subjects are tried", "z\n{ a }", "{ a }", false},
    // Identities narrow the candidates.
    {"identity and tag", "{ alice: employee }", "{ alice: employee, engineer }", true},
    {"identity absent from graph", "{ bob: employee }", "{ alice: employee }", false},
    {"identity present, tag on another subject", "{ alice: boss }",
     "{ alice: employee\n bob: boss }", false},
    {"star with identity", "{ *(bob): employee }", "{ alice(bob): employee }", true},
    {"star with identity not carried", "{ *(carol): employee }", "{ alice(bob): employee }",
     false},
    {"tag of a subject below counts", "{ a: z }", "{ a { b: z } }", true},
    // "*" considers every subject inside its parent's match.
    {"star finds a deep subject", "{ a { *: z } }", "{ a { b { c { d: z } } } }", true},
    {"star not outside parent", "{ a { *: z, -y } }", "{ a: y { b } }\n{ c: z }", false},
    {"star picks the right one of many", "{ *: p, q }", "{ a: p\n b: q\n c: p, q }", true},
    {"child matched by parent's subject", "{ a { *: y } }", "{ a: y }", true},
    {"child by identity is the parent's subject", "{ a { a: y } }", "{ a: y }", true},
    {"child must be inside parent", "{ a { b } }", "{ a\n b }", false},
    {"grandchild inside the right branch", "{ a { b { c } } }", "{ a { b }\n b { c } }", false},
    {"second candidate of parent works", "{ a { b } }", "{ a\n a { b } }", true},
    {"subject matching root", "{ *: a, b }", "{ a\n b }", true},
    // Relation subjects are placed anywhere.
    {"relation subject anywhere", "{ a { * > @a(@a): z } }", "{ a: y\n b: z }", true},
    // A relation to itself needs a graph relation whose target is itself.
    {"self relation, graph target elsewhere", "{ p { * @r > @r } }", "{ p { x > @y }\n y }",
     false},
    {"self relation found beside a decoy", "{ p { * @r > @r } }",
     "{ p { x > @y\n z @z > @z }\n y }", true},
    {"non-relation counterpart fails", "{ a { *: z } }", "{ a: y\n b: z }", false},
    {"relation subject still needs its tags", "{ a { * > @a(@a): w } }", "{ a: y\n b: z }",
     false},
    // Relation entries.
    {"query relation, graph without relations", "{ a { * > @b }\n b }", "{ a { x }\n b }",
     false},
    {"query relation found", "{ a { * > @b }\n b }", "{ a { x > @b }\n b }", true},
    {"query relation, wrong target", "{ a { * > @b }\n b\n c }",
     "{ a { x > @c }\n b\n c }", false},
    {"query relation, wrong source", "{ a { * > @b }\n b\n d }",
     "{ d { x > @b }\n a\n b }", false},
    {"graph relations ignored without entries", "{ a\n b }", "{ a { x > @b }\n b }", true},
    {"explicit context must match", "{ a { * > @b(@c) }\n b\n c }",
     "{ a { x > @b(@c) }\n b\n c }", true},
    {"explicit context differs", "{ a { * > @b(@c) }\n b\n c }",
     "{ a { x > @b }\n b\n c }", false},
    {"implicit context accepts any", "{ a { * > @b }\n b\n c }",
     "{ a { x > @b(@c) }\n b\n c }", true},
    {"relation subject tags checked", "{ a { * > @b: t }\n b }", "{ a { x > @b }\n b }",
     false},
    {"relation chosen among several", "{ a { * > @b: t }\n b }",
     "{ a { z: t\n x > @b\n y > @b: t }\n b }", true},
    {"two relations sharing a target", "{ a { * > @b }\n c { * > @b }\n b }",
     "{ a { x > @b }\n c { y > @b }\n b }", true},
    {"two relations, one missing", "{ a { * > @b }\n c { * > @b }\n b }",
     "{ a { x > @b }\n c { y }\n b }", false},
    // Assignments need not be one-to-one.
    {"two query subjects, one graph subject", "{ *: x\n *: y }", "{ a: x, y }", true},
    {"same identity twice", "{ a: x\n a: y }", "{ a: x, y }", true},
    {"same identity twice, second fails", "{ a: x\n a: z }", "{ a: x, y }", false},
    // A graph subject listed twice under one identity.
    {"duplicated identity", "{ a: z }", "{ a(a): z }", true},
    {"duplicated identity, tag missing", "{ a: w }", "{ a(a): z }", false},
    {"duplicated identity with relation", "{ a { * > @b }\n b }",
     "{ a(a) { x > @b }\n b(b) }", true},
};

TEST(MatchCases, Table) {
  for (const Case& c : kCases) {
    Query q = query_of(c.query);
    IndexedGraph g = graph_of(c.graph);
    EXPECT_EQ(is_match(q, g), c.expected) << c.what;
    EXPECT_EQ(is_match_plain(q, g), c.expected) << c.what << " (plain search)";
  }
}

// --- random comparison with the plain search --------------------------------

// Random related texts (pairs that do not build are skipped): both searches
// must give the same answer.
TEST(MatchRandom, AgreesWithPlainSearch) {
  int compared = 0, matched = 0, with_relations = 0, matched_with_relations = 0;
  for (std::uint32_t seed = 1; compared < 5000 && seed < 100000; ++seed) {
    auto [qt, gt] = PairGen(seed).texts();
    auto q = compile_query(qt);
    auto g0 = compile_tag_graph(gt, false);
    if (!q.ok() || !g0.ok()) continue;
    IndexedGraph g = build_index(std::move(g0).value());
    bool fast = is_match(q.value(), g);
    ASSERT_EQ(fast, is_match_plain(q.value(), g)) << "query:\n" << qt << "\ngraph:\n" << gt;
    ++compared;
    matched += fast ? 1 : 0;
    if (!q.value().relations.empty()) {
      ++with_relations;
      matched_with_relations += fast ? 1 : 0;
    }
  }
  std::printf("compared %d, matched %d, with relation entries %d (matched %d)\n", compared,
              matched, with_relations, matched_with_relations);
  // The generator must exercise both answers and the relation search.
  EXPECT_EQ(compared, 5000);
  EXPECT_GT(matched, compared / 10);
  EXPECT_LT(matched, compared * 9 / 10);
  EXPECT_GT(with_relations, compared / 5);
  EXPECT_GT(matched_with_relations, with_relations / 10);
}

// --- inputs that must not blow up -------------------------------------------

TEST(MatchScale, ManyStarsThenUnsatisfiable) {
  std::string body;
  for (int i = 0; i < 20; ++i) body += "*\n";
  const std::string graph = "{ a { b { c }\n d }\n e { f }\n g { h { i } }\n j\n k\n l\n m }";
  IndexedGraph g = graph_of(graph);
  // By identity nothing qualifies; by tag every candidate is tried and fails.
  EXPECT_FALSE(is_match(query_of("{\n" + body + "nobody\n}"), g));
  EXPECT_FALSE(is_match(query_of("{\n" + body + "*: a, -a\n}"), g));
  // The same with a relation entry among the stars.
  EXPECT_FALSE(is_match(query_of("{\n" + body + "a { * > @e }\ne\n*: a, -a\n}"),
                        graph_of("{ a { x > @e }\n e }")));
  EXPECT_TRUE(is_match(query_of("{\n" + body + "a { * > @e }\ne\n}"),
                       graph_of("{ a { x > @e }\n e }")));
}

// A query chain of `depth` subjects: identities n0, n1, ... or all "*".
std::string chain_query(int depth, bool stars, const std::string& leaf_expr) {
  std::string out = "{";
  for (int i = 0; i < depth; ++i) {
    out += stars ? "*" : "n" + std::to_string(i);
    if (i + 1 == depth) out += ": " + leaf_expr;
    out += "{";
  }
  out.resize(out.size() - 1);  // the innermost subject has no body
  out += std::string(static_cast<std::size_t>(depth), '}');
  return out;
}

TEST(MatchScale, DeepChainsOnSmallStack) {
  const int query_depth = static_cast<int>(scaled(100000));
  const int graph_depth = static_cast<int>(scaled(1000000));
  // Graph: n0 { n1 { ... n99999 { f { f ... { f: bottom } } } } } beside "other: lonely".
  std::string gt = "{ other: lonely\n";
  for (int i = 0; i < graph_depth; ++i) {
    gt += i < query_depth ? "n" + std::to_string(i) : std::string("f");
    if (i + 1 == graph_depth) gt += ": bottom";
    gt += "{";
  }
  gt.resize(gt.size() - 1);  // the innermost subject has no body
  gt += std::string(graph_depth, '}');
  IndexedGraph g = graph_of(gt);
  ASSERT_EQ(g.size(), static_cast<std::size_t>(graph_depth) + 2);

  Query ids_true = query_of(chain_query(query_depth, false, "bottom"));
  Query ids_false = query_of(chain_query(query_depth, false, "lonely"));
  Query stars_true = query_of(chain_query(query_depth, true, "bottom"));
  Query stars_false = query_of(chain_query(query_depth, true, "bottom, -bottom"));
  ASSERT_EQ(ids_true.subjects.size(), static_cast<std::size_t>(query_depth) + 1);

  std::vector<int> answers;
  run_on_small_stack([&] {
    answers.push_back(is_match(ids_true, g));
    answers.push_back(is_match(ids_false, g));
    answers.push_back(is_match(stars_true, g));
    answers.push_back(is_match(stars_false, g));
  });
  EXPECT_EQ(answers, (std::vector<int>{1, 0, 1, 0}));
}

TEST(MatchScale, DeepExpressionsOnSmallStack) {
  const int depth = static_cast<int>(scaled(1000000));
  IndexedGraph g = graph_of("{ a: x }");
  // Built by hand: a root expression of a million negations around "x", and
  // a subject whose expression nests a million alternating lists.
  Query q;
  q.subjects.resize(2);
  q.subjects[0].identities = {"context"};
  q.subjects[1].identities = {"a"};
  q.subjects[1].index = 1;
  ExprId e = q.exprs.add_tag("x", Span{});
  for (int i = 0; i < depth; ++i) e = q.exprs.add_not(e);
  q.subjects[0].expression = e;  // even count: holds
  ExprId l = q.exprs.add_tag("x", Span{});
  for (int i = 0; i < depth; ++i) {
    ExprId other = q.exprs.add_tag(i % 2 ? "nope" : "x", Span{});
    l = q.exprs.add_list({l, other}, i % 2 == 0);
  }
  q.subjects[1].expression = l;
  q.subjects[0].children = {1};

  std::vector<int> answers;
  run_on_small_stack([&] {
    answers.push_back(is_match(q, g));
    answers.push_back(is_match_plain(q, g));
    q.subjects[0].expression = q.exprs.add_not(e);  // odd count: fails
    answers.push_back(is_match(q, g));
    answers.push_back(is_match_plain(q, g));
  });
  EXPECT_EQ(answers, (std::vector<int>{1, 1, 0, 0}));
}

}  // namespace
}  // namespace lumo
