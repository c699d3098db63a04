// The direct graph reader against the full parser, builder and index build:
// whatever the reader reads must index exactly as the long way does, and
// whatever it declines is left, errors and all, to the long way.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "eval/collect.h"
#include "eval/index.h"
#include "index_dump.h"
#include "model/tag_graph.h"
#include "reader/reader.h"
#include "small_stack.h"
#include "stop_after.h"
#include "syntax/report.h"
#include "shortcuts.h"
#include "test_scale.h"

namespace lumo {
namespace {

// The long way's index, or null when the text does not build.
std::optional<IndexedGraph> long_way(std::string_view text, bool validate) {
  auto built = compile_tag_graph(text, validate);
  if (!built) return std::nullopt;
  return build_index(std::move(built).value());
}

// Checks that the reader's answer agrees with the long way's; returns
// whether the reader read the text.
bool agrees(std::string_view text, bool validate) {
  auto read = read_graph_index(text, validate);
  std::optional<IndexedGraph> expected = long_way(text, validate);
  if (!read) {
    EXPECT_EQ(read.error(), ReadStop::Declined);
    return false;
  }
  EXPECT_TRUE(expected.has_value()) << "read a text the builder refuses";
  EXPECT_EQ(ranges_fault(read.value()), "");
  if (expected) EXPECT_EQ(dump_index(read.value()), dump_index(*expected));
  return true;
}

// Texts the reader must read itself.
const char* const kRead[] = {
    "",
    "   \n\t ",
    "red",
    "red, green ,blue",
    "a, (b, (c, ())), ((d))",
    "() , x",
    "a //comment\n{ b }",
    "// only a comment",
    "// crlf\r\n{ x }\r\n",
    "{}",
    "{ }{ }",
    "{ alice }",
    "{ alice : employee, engineer }",
    "{ alice(bob) @a : employee {\n  * > @a : badge\n} }",
    "{\n  alice : employee, engineer\n  bob : employee\n}",
    "{ a { b { c { d } } } e }",
    "{ \"quoted name\" : \"tag\\u00e9\", \"x\\ny\" }",
    "{ \"q\"(a, b) @n }",
    "{ alice (x) }",
    "top { a } other, tags",
    "{ a{ } b }",
    "{ été : 日本, Ⅻ, ² }",
    "{ a -b : c d  , e }",
    "{ a } x, y { b } z",
    "{ a { b } c(ctx, context) { d > @a.b(@c) : r } }",
    "{ p { q } * > @p.q : rel }",
    "{ ctx(context) { a { r > @b : works } b } }",
    "{ b\n c(context)\n a { r > @b(@c) } }",
    "{ a { r > @b(@c) }\n b\n c(context) }",
    "{ a : b //c\n}",
    "{ a @x { y } b > @x . y }",
    "{ a(a) }",
    "{ a : t, t }",
    "x, x",
    "{ x y(z , w ) @\"n\" : (k), l }\n{ m > @n(@n) }",
    // Scopes: the innermost wins, and among siblings the last written.
    "{ x { y } a { x { z } r > @x.z } }",
    "{ x : one\n x : two\n a { r > @x } }",
    "{ x { y } a { b { r > @x.y(@x) } } x { y : later } }",
    // Several subjects moved to one context, with subtrees, and into a
    // subject that moved itself.
    "{ c(context) { t\n a { r1 > @t { k } r2 > @t } } }",
    "{ t\n b { c(context) }\n a { r > @t(@b.c) { k } s > @t(@b) } }",
    "{ t\n a { r > @t(@b) { k } }\n b(context) { s > @t(@a) } }",
};

TEST(GraphReader, ReadsEveryFormOfGraph) {
  for (const char* text : kRead) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(agrees(text, false));
  }
}

// With validation the duplicate cases go to the builder, which refuses
// them; the rest are still read.
// A graph whose strings are too large to copy takes the reader's table
// over; the reads after it start from a fresh one.
TEST(GraphReader, ReadsOnAfterAGraphTakesTheTableOver) {
  std::string big = "{\n";
  for (int i = 0; i < 120; ++i) big += "  s : " + std::string(3000, 'a') + std::to_string(i) + "\n";
  big += "}";
  EXPECT_TRUE(agrees(big, true));
  for (const char* text : kRead) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(agrees(text, false));
  }
}

TEST(GraphReader, DuplicatesAreLeftToTheBuilder) {
  for (const char* text : kRead) {
    SCOPED_TRACE(text);
    agrees(text, true);
  }
  for (const char* dup : {"{ a(a) }", "{ a : t, t }", "x, x", "{ a : t, (u, t) }",
                          "{ a(b, c, d, e, f, g, h, i, j, b) }"}) {
    SCOPED_TRACE(dup);
    EXPECT_FALSE(read_graph_index(dup, true).ok());
    EXPECT_TRUE(read_graph_index(dup, false).ok());
  }
}

// Forms the reader leaves to the builder even when they are valid, and
// errors of every stage: load_tag_graph must give what compile_tag_graph
// gives, message and all.
const char* const kDeclined[] = {
    "[color:red] { a }",
    "{ a : -b }",
    "{ a : b / c }",
    "-x",
    "x / y",
    "(red",
    "{ * (x) }",
    "{ x @ \"n\" }",
    "{ alice",
    "{ a, b }",
    "{ alice: }",
    "{ x @ }",
    "{ x > @ }",
    "*",
    "a / /b",
    "// lone cr\r{ x }",
    "{ \"bad \\x escape\" }",
    "{ \"open",
    "{ a > @nowhere }",
    "{ a { r > @b } b > @a.r }",
    "{ a { r > @a(@r) } }",
    "{ a(context) { r > @b(@a.r) } b }",
    "{ a > @b.c }",
    "{ a { r > @a(@r.x) { x } } }",
    "{ t\n a { r > @t { q > @t } } }",
    "{ a . b }",
    "{ a : , b }",
    "{ a : (b }",
    "{ a : b, }",
};

TEST(GraphReader, DeclinesAndTheBuilderAnswers) {
  for (const char* text : kDeclined) {
    SCOPED_TRACE(text);
    for (bool validate : {true, false}) {
      EXPECT_FALSE(read_graph_index(text, validate).ok());
      auto loaded = load_tag_graph(text, validate);
      auto built = compile_tag_graph(text, validate);
      ASSERT_EQ(loaded.ok(), built.ok());
      if (!built) {
        EXPECT_EQ(render_build_error(loaded.error()), render_build_error(built.error()));
        continue;
      }
      const IndexedGraph& x = ensure_index(loaded.value());
      EXPECT_EQ(dump_index(x), dump_index(build_index(std::move(built).value())));
    }
  }
}

// Every seed and regression input of the fuzzer, both ways.
TEST(GraphReader, AgreesOnTheFuzzCorpus) {
  namespace fs = std::filesystem;
  std::size_t read = 0, built = 0;
  for (const char* dir : {"/tests/fuzz/corpus", "/tests/fuzz/regressions"}) {
    const fs::path root = fs::path(LUMO_SOURCE_DIR + std::string(dir));
    ASSERT_TRUE(fs::is_directory(root)) << root;
    for (const auto& file : fs::directory_iterator(root)) {
      std::ifstream in(file.path(), std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      SCOPED_TRACE(file.path().string());
      for (bool validate : {true, false}) {
        read += agrees(text.str(), validate);
        built += long_way(text.str(), validate).has_value();
      }
    }
  }
  // The reader must take on most graphs that build, or it is not earning
  // its keep.
  EXPECT_GT(read, built / 2) << read << " read of " << built;
}

TEST(GraphReader, InterruptedReadStopsTheLoad) {
  std::string text = "{";
  for (int i = 0; i < 5000; ++i) text += "\n s" + std::to_string(i) + " : t";
  text += " }";
  StopAfter stop(1);
  auto read = read_graph_index(text, true, &stop);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error(), ReadStop::Interrupted);
  StopAfter stop_load(1);
  auto loaded = load_tag_graph(text, true, &stop_load);
  ASSERT_FALSE(loaded.ok());
  EXPECT_EQ(loaded.error().kind, BuildErrorKind::Interrupted);
  // Stopping late, after the text is read, still stops.
  StopAfter late(6);
  EXPECT_FALSE(read_graph_index(text, true, &late).ok());
  EXPECT_TRUE(read_graph_index(text, true, nullptr).ok());
}

TEST(GraphReader, MillionDeepOnASmallStack) {
  const int kDepth = static_cast<int>(scaled(1000000));
  std::string chain;
  for (int i = 0; i < kDepth; ++i) chain += "{ a : t" + std::to_string(i) + ' ';
  chain += std::string(kDepth, '}');
  // A relation at the bottom that moves to the root, so the final tree is
  // walked too.
  std::string moved = "{ top(context) ";
  for (int i = 0; i < kDepth; ++i) moved += "{ a" + std::to_string(i) + ' ';
  moved += "{ r > @top" + std::string(kDepth + 2, '}');
  std::string parens = "{ a : " + std::string(kDepth, '(') + "x" + std::string(kDepth, ')') + " }";
  run_on_small_stack([&] {
    auto a = read_graph_index(chain, true);
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(a.value().size(), kDepth + 1u);
    EXPECT_EQ(a.value().range(kDepth).start, static_cast<std::uint32_t>(kDepth));
    EXPECT_TRUE(subtree_holds(a.value(), 1, "t" + std::to_string(kDepth - 1)));
    auto b = read_graph_index(moved, true);
    ASSERT_TRUE(b.ok());
    const IndexedGraph& g = b.value();
    ASSERT_EQ(g.size(), kDepth + 3u);
    // r moved from the bottom of the chain to top, after top's own child.
    EXPECT_EQ(g.range(kDepth + 2).start, kDepth + 2u);
    EXPECT_EQ(g.range(1).end, kDepth + 3u);
    EXPECT_EQ(g.range(2).end, kDepth + 2u);
    EXPECT_TRUE(subtree_holds(g, 1, "r"));
    EXPECT_FALSE(subtree_holds(g, 2, "r"));
    EXPECT_EQ(g.relations.size(), 1u);
    auto c = read_graph_index(parens, true);
    ASSERT_TRUE(c.ok());
    EXPECT_TRUE(subtree_holds(c.value(), 1, "x"));
  });
}

}  // namespace
}  // namespace lumo

namespace lumo {
namespace {

// Many relation paths through one long children list: resolution switches
// from scanning to an index of (parent, name) pairs, which must find the
// same subjects, the last child written with a name winning. With 2,000
// relations the graph is small enough to be resolved by climbing and its
// relations are copied into the index's block; with 7,000 the shared
// resolver runs and the index takes the reader's list over.
class ManyPaths : public ::testing::TestWithParam<int> {};

TEST_P(ManyPaths, ThroughLongChildLists) {
  constexpr int kChildren = 300, kAgain = 10;
  const int kRelations = GetParam();
  std::string text = "{ p {\n";
  for (int j = 0; j < kChildren; ++j) text += "  c" + std::to_string(j) + "\n";
  for (int j = 0; j < kAgain; ++j) text += "  c" + std::to_string(j) + " : again\n";
  text += "}\n";
  for (int r = 0; r < kRelations; ++r)
    text += "* > @p.c" + std::to_string(r % kChildren) + "(@p)\n";
  text += "}";
  // Subjects: root 0, p 1, c0.. at 2.., the repeated names after them, then
  // the relation subjects.
  const SubjectIndex first_relation = 2 + kChildren + kAgain;
  auto expected_target = [&](int r) -> SubjectIndex {
    const int j = r % kChildren;
    return j < kAgain ? 2 + kChildren + j : 2 + j;
  };
  auto read = read_graph_index(text, true);
  ASSERT_TRUE(read.ok());
  const std::span<const RelationEntry> table = read.value().relations;
  ASSERT_EQ(table.size(), static_cast<std::size_t>(kRelations));
  for (int r = 0; r < kRelations; ++r) {
    const RelationKey key{first_relation + r, 0, expected_target(r)};
    EXPECT_EQ(table[r].first, key) << r;
    EXPECT_EQ(table[r].second.context, 1u);
  }
  auto long_way = compile_tag_graph(text, true);
  ASSERT_TRUE(long_way.ok());
  EXPECT_EQ(dump_index(read.value()), dump_index(build_index(std::move(long_way).value())));
}

INSTANTIATE_TEST_SUITE_P(GraphReader, ManyPaths, ::testing::Values(2000, 7000));

// A graph with enough distinct names for the string table's large mode:
// new names wait for their slots behind a filter, a name met again soon is
// found among the waiting ones, and the relation paths' first names are
// looked up all at once, some naming subjects written before the relation
// and some after. The index is the long way's.
TEST(GraphReader, LargeTableOfDistinctNames) {
  constexpr int kSubjects = 110000;
  std::string text = "{\n";
  for (int i = 0; i < kSubjects; ++i) {
    const std::string name = "n" + std::to_string(i);
    text += "  " + name + " : t" + std::to_string(i % 97) + ", " + name + "x";
    if (i % 7 == 0) text += " { " + name + " : again }";  // the name again, still waiting
    text += "\n";
    if (i % 11 == 5) {
      const int target = i % 2 || i + 40 >= kSubjects ? i - 3 : i + 40;
      text += "  * > @n" + std::to_string(target) + " : rel\n";
    }
  }
  text += "}";
  EXPECT_TRUE(agrees(text, true));
  EXPECT_TRUE(agrees(text, false));
}

// Lines enough to put a text's string table in its large mode (a filter in
// front of the slots, new strings waiting for theirs): every form of graph,
// and every duplicate, read as in a small one.
std::string large_padding() {
  std::string pad = "\n{\n";
  for (std::size_t i = 0; i < scaled(100000); ++i) pad += " p" + std::to_string(i) + " : q\n";
  return pad + "}\n";
}

TEST(GraphReader, LargeReadsAgreeOnEveryForm) {
  const std::string pad = large_padding();
  for (const char* text : kRead) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(agrees(text + pad, false));
  }
  for (const char* dup : {"{ a(a) }", "{ a : t, t }", "x, x", "{ a : t, (u, t) }",
                          "{ a(b, c, d, e, f, g, h, i, j, b) }", "{ a(b) @c : d { e(f, f) } }"}) {
    SCOPED_TRACE(dup);
    const std::string text = dup + pad;
    EXPECT_FALSE(read_graph_index(text, true).ok());
    EXPECT_TRUE(agrees(text, false));
  }
}

}  // namespace
}  // namespace lumo
