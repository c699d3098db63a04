// explain(): the reports, its verdict against is_match on random pairs (with
// every assignment it gives checked against the matching rules), deep
// inputs on a small stack, and interrupts.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "compiled.h"
#include "eval/explain.h"
#include "eval/match.h"
#include "eval/match_expr.h"
#include "pair_gen.h"
#include "shortcuts.h"
#include "small_stack.h"
#include "stop_after.h"
#include "test_scale.h"

namespace lumo {
namespace {

std::string text_of(const std::string& query, const std::string& graph) {
  const Query q = query_of(query);
  const IndexedGraph g = graph_of(graph);
  auto text = explain_text(q, g, nullptr);
  EXPECT_TRUE(text.ok());
  return text.ok() ? text.value() : "";
}

struct Case {
  const char* what;
  const char* query;
  const char* graph;
  const char* expected;
};

const Case kCases[] = {
    {"match: one assignment", "{ alice: employee { laptop } }",
     "{ bob\n alice: employee, engineer { desk\n laptop } }",
     "match\n"
     "  `(root)` -> `(root)` #0\n"
     "  `alice` -> `alice` #2\n"
     "  `alice > laptop` -> `alice > laptop` #4\n"},
    {"match: the graph root", "{ *: alice, bob }", "{\n alice\n bob\n}",
     "match\n"
     "  `(root)` -> `(root)` #0\n"
     "  `*` -> `(root)` #0\n"},
    {"root expression: a missing tag and an excluded one", "x, -y\n{ a }", "{ a: y }",
     "no match\n"
     "  the query's top-level expression does not hold on the graph:\n"
     "    `(root)` #0: lacks `x`; has `y`, which the query excludes\n"},
    {"root expression: an any-list", "x / z", "{ a: y }",
     "no match\n"
     "  the query's top-level expression does not hold on the graph:\n"
     "    `(root)` #0: does not satisfy `x / z`\n"},
    {"no subject with the identity", "{ alice { laptop } }", "{ alice { desk }\n laptop }",
     "no match\n"
     "  `(root)` -> `(root)` #0\n"
     "  `alice` -> `alice` #1\n"
     "  `alice > laptop` cannot be placed inside `alice` #1\n"
     "  no graph subject there has the identity `laptop`\n"},
    {"closest candidates, fewest reasons first", "{ *: a, b, -c }",
     "{ x: c\n y: a, c\n z: a, b, c }",
     // The root itself is a candidate of "*": it holds every tag.
     "no match\n"
     "  `(root)` -> `(root)` #0\n"
     "  `*` cannot be placed inside `(root)` #0\n"
     "  closest graph subjects (3 of 4):\n"
     "    `(root)` #0: has `c`, which the query excludes\n"
     "    `z` #3: has `c`, which the query excludes\n"
     "    `y` #2: lacks `b`; has `c`, which the query excludes\n"},
    {"the failure lies below a candidate whose expression holds",
     "{ team: red { person: senior } }",
     "{ team: red { person: junior }\n team: blue { person: senior } }",
     "no match\n"
     "  `(root)` -> `(root)` #0\n"
     "  `team` -> `team` #1\n"
     "  `team > person` cannot be placed inside `team` #1\n"
     "  closest graph subjects (1 of 1):\n"
     "    `team > person` #2: lacks `senior`\n"},
    {"negated lists", "{ a: -(b / c), -(d, e) }", "{ a: c, d, e }",
     "no match\n"
     "  `(root)` -> `(root)` #0\n"
     "  `a` cannot be placed inside `(root)` #0\n"
     "  closest graph subjects (1 of 1):\n"
     "    `a` #1: has `c`, which the query excludes; does not satisfy `-(d, e)`\n"},
    {"relation subject: anywhere", "{ alice { * > @laptop: owns, sold }\n laptop }",
     "{ alice { deed > @laptop: owns }\n laptop }",
     "no match\n"
     "  `(root)` -> `(root)` #0\n"
     "  `alice` -> `alice` #1\n"
     "  `alice > *` cannot be placed anywhere in the graph\n"
     "  closest graph subjects (3 of 4):\n"
     "    `(root)` #0: lacks `sold`\n"
     "    `deed` #3: lacks `sold`\n"
     "    `alice` #1: lacks `owns`; lacks `sold`\n"},
    {"relations: an entry with no partner", "{ alice { * > @laptop: owns }\n laptop }",
     "{ alice { *: owns }\n laptop\n bob { deed > @laptop }\n}",
     "no match\n"
     "  every subject has a place, but no placement meets the relation entries\n"
     "  no graph relation fits `alice > *`\n"},
    {"relations: the graph has none", "{ alice { * > @laptop }\n laptop }",
     "{ alice { x }\n laptop }",
     "no match\n"
     "  every subject has a place, but no placement meets the relation entries\n"
     "  the graph has no relations\n"},
    {"match: relation subjects lie under their context",
     "{ a { * > @b: r1 }\n a { * > @c: r2 }\n b\n c }",
     "{ a { x > @b: r1 }\n a { y > @c: r2 }\n b\n c }",
     "match\n"
     "  `(root)` -> `(root)` #0\n"
     "  `a` -> `a` #1\n"
     "  `a > *` -> `x` #5\n"
     "  `a` -> `a` #2\n"
     "  `a > *` -> `y` #6\n"
     "  `b` -> `b` #3\n"
     "  `c` -> `c` #4\n"},
    {"relations: each entry met alone, not together", "{ a { * > @b\n * > @c }\n b\n c }",
     "{ a { x > @b }\n a { y > @c }\n b\n c }",
     "no match\n"
     "  every subject has a place, but no placement meets the relation entries\n"
     "  each relation entry fits some graph relation, but no placement fits them all\n"},
};

TEST(ExplainCases, Table) {
  for (const Case& c : kCases) {
    EXPECT_EQ(text_of(c.query, c.graph), c.expected) << c.what;
  }
}

// --- the assignments obey the rules -------------------------------------------

// An empty string when `assignment` places every query subject by the
// matching rules, else what is wrong.
std::string check_assignment(const Query& q, const IndexedGraph& g,
                             const std::vector<std::pair<SubjectIndex, SubjectIndex>>& assignment) {
  if (assignment.size() != q.subjects.size()) return "not every subject is placed";
  std::vector<SubjectIndex> at(assignment.size());
  for (std::size_t k = 0; k < assignment.size(); ++k) {
    if (assignment[k].first != k) return "out of order";
    if (assignment[k].second >= g.size()) return "no such graph subject";
    at[k] = assignment[k].second;
  }
  if (at[0] != 0) return "root not on the root";
  ExprTester tester;
  InterruptPoll poll(nullptr);
  for (SubjectIndex s = 0; s < q.subjects.size(); ++s) {
    const QuerySubject& subject = q.subjects[s];
    const SubjectIndex place = at[s];
    if (!subject.identities.empty() && !g.has_identity(place, subject.identities.front()))
      return "identity of subject " + std::to_string(s);
    const bool holds = tester.test(
        q.exprs, subject.expression,
        [&](ExprId, std::string_view tag) { return subtree_holds(g, place, tag); }, poll);
    if (!holds) return "expression of subject " + std::to_string(s);
    if (s != 0 && !subject.relation) {
      const SubtreeRange& in = g.range(place);
      const SubtreeRange& out = g.range(at[subject.parent]);
      if (in.start < out.start || in.end > out.end)
        return "subject " + std::to_string(s) + " outside its parent's place";
    }
  }
  for (const auto& [key, ctx] : q.relations) {
    bool found = false;
    for (const auto& [link, link_ctx] : g.relations) {
      found = found || (link.subject == at[key.subject] && link.source == at[key.source] &&
                        link.target == at[key.target] &&
                        (ctx.implicit || link_ctx.context == at[ctx.context]));
    }
    if (!found) return "relation of subject " + std::to_string(key.subject);
  }
  return "";
}

// On the random pairs of the matching tests: explain's verdict is is_match's,
// every assignment it gives is a valid one, and every report of a failure
// names a subject that cannot be placed, or relation entries, or the root.
TEST(ExplainRandom, AgreesWithIsMatch) {
  int compared = 0, matched = 0, unplaced = 0, relations = 0, root = 0;
  for (std::uint32_t seed = 1; compared < 5000 && seed < 100000; ++seed) {
    auto [qt, gt] = PairGen(seed).texts();
    auto q = compile_query(qt);
    auto g0 = compile_tag_graph(gt, false);
    if (!q.ok() || !g0.ok()) continue;
    const IndexedGraph g = build_index(std::move(g0).value());
    const bool expected = is_match(q.value(), g);
    auto e = explain(q.value(), g, nullptr);
    ASSERT_TRUE(e.ok());
    const Explanation& x = e.value();
    ASSERT_EQ(x.kind == ExplainKind::Match, expected) << "query:\n" << qt << "\ngraph:\n" << gt;
    ++compared;
    switch (x.kind) {
      case ExplainKind::Match:
        ++matched;
        ASSERT_EQ(check_assignment(q.value(), g, x.assignment), "")
            << "query:\n" << qt << "\ngraph:\n" << gt;
        break;
      case ExplainKind::Unplaced:
        ++unplaced;
        ASSERT_GT(x.subject, 0u);
        ASSERT_LE(x.closest.size(), std::min(x.candidates, kExplainShown));
        for (const CandidateNote& n : x.closest) ASSERT_FALSE(n.reasons.empty());
        break;
      case ExplainKind::Relations:
        ++relations;
        ASSERT_FALSE(q.value().relations.empty());
        break;
      case ExplainKind::RootExpression:
        ++root;
        break;
      case ExplainKind::EmptyGraph:
        FAIL() << "empty graph reported for:\n" << gt;
    }
    ASSERT_TRUE(explain_text(q.value(), g, nullptr).ok());
  }
  std::printf("compared %d: matched %d, unplaced %d, relations %d, root expression %d\n",
              compared, matched, unplaced, relations, root);
  EXPECT_EQ(compared, 5000);
  EXPECT_GT(unplaced, compared / 10);
  EXPECT_GT(relations, 0);
  EXPECT_GT(root, 0);
}

// --- deep inputs ----------------------------------------------------------------

std::string chain(int depth, const std::string& leaf) {
  std::string out = "{";
  for (int i = 0; i < depth; ++i) out += "a{";
  out += "b: " + leaf;
  out += std::string(static_cast<std::size_t>(depth) + 1, '}');
  return out;
}

TEST(ExplainScale, DeepChainsOnSmallStack) {
  const int graph_depth = static_cast<int>(scaled(1000000));
  const int query_depth = static_cast<int>(scaled(100000));
  const IndexedGraph g = graph_of(chain(graph_depth, "x"));
  const Query holds = query_of(chain(query_depth, "x"));
  const Query fails = query_of(chain(query_depth, "y"));
  std::string matched, failed;
  std::size_t placements = 0;
  run_on_small_stack([&] {
    auto e = explain(holds, g, nullptr);
    placements = e.value().assignment.size();
    matched = render_explanation(holds, g, e.value(), nullptr).value();
    failed = explain_text(fails, g, nullptr).value();
  });
  // The root, every `a` and the `b`; the report lists the first thousand.
  const std::size_t expected = static_cast<std::size_t>(query_depth) + 2;
  EXPECT_EQ(placements, expected);
  EXPECT_EQ(matched.substr(0, 6), "match\n");
  EXPECT_NE(matched.find("  ... and " + std::to_string(expected - 1000) + " more\n"),
            std::string::npos);
  EXPECT_EQ(failed,
            "no match\n"
            "  ... " + std::to_string(query_depth - 2) + " placements above\n"
            // A subject lies in its own subtree: every `a` of the query is
            // placed on the graph's first one.
            "  `... > a > a > a` -> `a` #1\n"
            "  `... > a > a > a` -> `a` #1\n"
            "  `... > a > a > a` -> `a` #1\n"
            "  `... > a > a > b` cannot be placed inside `a` #1\n"
            "  closest graph subjects (1 of 1):\n"
            "    `... > a > a > b` #" + std::to_string(graph_depth + 1) + ": lacks `y`\n");
}

// --- interrupts -----------------------------------------------------------------

// Stopped at any poll, explain reports Interrupted; left alone it finishes.
TEST(ExplainInterrupt, StopsAtEveryPoll) {
  const IndexedGraph g = graph_of(chain(20000, "x"));
  const Query q = query_of(chain(5000, "y"));
  StopAfter never(SIZE_MAX);
  ASSERT_TRUE(explain_text(q, g, &never).ok());
  const std::size_t polls = never.asked();
  ASSERT_GT(polls, 10u);
  for (std::size_t n : {std::size_t{1}, std::size_t{2}, polls / 2, polls - 1}) {
    StopAfter stop(n);
    EXPECT_FALSE(explain_text(q, g, &stop).ok()) << n;
  }
}

}  // namespace
}  // namespace lumo
