// Query and tag graph building: flattening, relation resolution, relation
// moves, the validation rules and their order, and deep / large inputs on a
// small stack.
#include <gtest/gtest.h>

#include <optional>
#include <pthread.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "small_stack.h"
#include "model/build_error.h"
#include "model/query.h"
#include "model/tag_graph.h"
#include "syntax/parser.h"
#include "syntax/report.h"
#include "test_scale.h"

namespace lumo {

void PrintTo(const Span& s, std::ostream* os) { *os << s.start << ".." << s.end; }

namespace {

std::vector<SubjectIndex> idx(std::initializer_list<SubjectIndex> l) { return l; }

std::string query_error(std::string_view text) {
  auto r = compile_query(text);
  if (r) return "<ok>";
  return render_build_error(r.error());
}

std::string graph_error(std::string_view text, bool validate = true) {
  auto r = compile_tag_graph(text, validate);
  if (r) return "<ok>";
  return render_build_error(r.error());
}

const char* const kNotFound = "subject not found: ";
const char* const kRelOfRel = "relation's source, target & context cannot be another relation";
const char* const kMulti = "can only query one identity";
const char* const kDupIds = "duplicate identities";
const char* const kDupTags = "duplicate tags";
const char* const kInvalid = "invalid tags";
const char* const kInside = "relation's context cannot be the relation itself or inside it";

// ---------------------------------------------------------------------------
// Error catalogue

TEST(BuildErrorText, KindAndTextOfEachRaisedError) {
  struct Row {
    bool query;
    const char* text;
    BuildErrorKind kind;
    const char* message;
  } rows[] = {
      {true, "{ r > @a.b }", BuildErrorKind::SubjectNotFound, "subject not found: a.b"},
      {true, "{ a > @b\n b > @a }", BuildErrorKind::RelationOfRelation, kRelOfRel},
      {true, "{ a(b) }", BuildErrorKind::MultipleIdentities, kMulti},
      {false, "{ a(a) }", BuildErrorKind::DuplicateIdentities, kDupIds},
      {false, "{ a: x, x }", BuildErrorKind::DuplicateTags, kDupTags},
      {false, "{ a: -b }", BuildErrorKind::InvalidTags, kInvalid},
      {true, "{ r > @r(@r) }", BuildErrorKind::ContextInsideRelation, kInside},
  };
  for (const auto& row : rows) {
    std::optional<BuildError> e;
    if (row.query) {
      if (auto q = compile_query(row.text); !q) e = q.error();
    } else {
      if (auto g = compile_tag_graph(row.text, true); !g) e = g.error();
    }
    ASSERT_TRUE(e.has_value()) << row.text;
    EXPECT_EQ(e->kind, row.kind) << row.text;
    EXPECT_EQ(render_build_error(*e), row.message) << row.text;
  }
}

// Relation subjects moved under a shared context join it in index order, so
// the checks that walk the tree afterwards meet them in the same order on
// every build, whatever the hash keys of the relation table.
TEST(GraphBuild, SameTextSameError) {
  const char* text =
      "{ p {\n a(a) > @q(@q)\n b > @q(@q) : x, x\n c(c) > @q(@q)\n"
      " d > @q(@q) : y, y\n e(e) > @q(@q)\n}\n q }";
  for (int i = 0; i < 300; ++i) {
    auto g = compile_tag_graph(text, true);
    ASSERT_FALSE(g.ok());
    ASSERT_EQ(render_build_error(g.error()), kDupIds) << "build " << i;
  }
  auto g = compile_tag_graph(text, false);
  ASSERT_TRUE(g.ok());
  const auto& q = g.value().subjects[7];
  EXPECT_EQ(q.name, "q");
  EXPECT_EQ(q.children, (std::vector<SubjectIndex>{2, 3, 4, 5, 6}));
}

TEST(BuildErrorText, ParseFailureCarriesReport) {
  for (const char* text : {"{ alice", "red,", "(red"}) {
    auto parsed = parse_document(text);
    ASSERT_FALSE(parsed) << text;
    const std::string expected = "invalid syntax\n" + render_report(parsed.error());
    auto q = compile_query(text);
    ASSERT_FALSE(q);
    EXPECT_EQ(q.error().kind, BuildErrorKind::ParseFailed);
    EXPECT_EQ(render_build_error(q.error()), expected);
    auto g = compile_tag_graph(text, false);
    ASSERT_FALSE(g);
    EXPECT_EQ(render_build_error(g.error()), expected);
  }
}

// ---------------------------------------------------------------------------
// Worked example, on both sides

const char* const kShirt = "{\n  shirt {\n    * > @collar\n    collar\n  }\n}";

template <class Model>
void check_shirt(const Model& m) {
  ASSERT_EQ(m.subjects.size(), 4u);
  const char* names[] = {"", "shirt", "*", "collar"};
  const SubjectIndex parents[] = {0, 0, 1, 1};
  for (SubjectIndex i = 0; i < 4; ++i) {
    EXPECT_EQ(m.subjects[i].name, names[i]);
    EXPECT_EQ(m.subjects[i].index, i);
    EXPECT_EQ(m.subjects[i].parent, parents[i]);  // unchanged by the move
  }
  EXPECT_EQ(m.subjects[0].identities, std::vector<std::string>{"context"});
  EXPECT_EQ(m.subjects[0].children, idx({1, 2}));
  EXPECT_EQ(m.subjects[1].children, idx({3}));
  EXPECT_TRUE(m.subjects[2].children.empty());
  EXPECT_TRUE(m.subjects[3].children.empty());
  ASSERT_TRUE(m.subjects[2].relation.has_value());
  EXPECT_EQ(*m.subjects[2].relation, (RelationLink{1, 3}));
  EXPECT_FALSE(m.subjects[1].relation.has_value());
  EXPECT_FALSE(m.subjects[3].relation.has_value());
  ASSERT_EQ(m.relations.size(), 1u);
  auto it = m.relations.find(RelationKey{2, 1, 3});
  ASSERT_NE(it, m.relations.end());
  EXPECT_EQ(it->second, (RelationContext{true, 0}));
}

TEST(QueryBuild, WorkedExample) {
  auto q = compile_query(kShirt);
  ASSERT_TRUE(q) << render_build_error(q.error());
  check_shirt(q.value());
}

TEST(GraphBuild, WorkedExample) {
  auto g = compile_tag_graph(kShirt, true);
  ASSERT_TRUE(g) << render_build_error(g.error());
  check_shirt(g.value());
}

TEST(QueryBuild, ExpressionsAndMetaQueriesTakenOver) {
  auto r = compile_query("[-color:red] x\n{ s: y, -z }\nw");
  ASSERT_TRUE(r) << render_build_error(r.error());
  const Query& q = r.value();
  ASSERT_EQ(q.meta_queries.size(), 1u);
  EXPECT_EQ(q.meta_queries[0], (MetaQuery{true, "color", "red"}));

  const ExprNode& root = q.exprs[q.subjects[0].expression];
  ASSERT_EQ(root.kind, ExprKind::List);
  ASSERT_EQ(root.items.size(), 2u);
  EXPECT_EQ(q.exprs[root.items[0]].tag, "x");
  EXPECT_EQ(q.exprs[root.items[1]].tag, "w");

  ASSERT_EQ(q.subjects.size(), 2u);
  const ExprNode& s = q.exprs[q.subjects[1].expression];
  ASSERT_EQ(s.kind, ExprKind::List);
  EXPECT_TRUE(s.all);
  ASSERT_EQ(s.items.size(), 2u);
  EXPECT_EQ(q.exprs[s.items[0]].tag, "y");
  const ExprNode& neg = q.exprs[s.items[1]];
  ASSERT_EQ(neg.kind, ExprKind::Not);
  EXPECT_EQ(q.exprs[neg.operand].tag, "z");
}

TEST(QueryBuild, EmptyQueryIsRootAlone) {
  auto r = compile_query("");
  ASSERT_TRUE(r);
  ASSERT_EQ(r.value().subjects.size(), 1u);
  EXPECT_TRUE(r.value().subjects[0].children.empty());
  EXPECT_TRUE(r.value().relations.empty());
  const ExprNode& e = r.value().exprs[r.value().subjects[0].expression];
  EXPECT_EQ(e.kind, ExprKind::List);
  EXPECT_TRUE(e.all);
  EXPECT_TRUE(e.items.empty());
}

// ---------------------------------------------------------------------------
// Relation resolution: which subject a path names, and what gets recorded.

struct RelationCase {
  const char* name;
  const char* text;
  SubjectIndex subject;  // the relation subject
  RelationLink link;
  bool has_entry;
  RelationContext context;  // when has_entry
  std::vector<std::pair<SubjectIndex, std::vector<SubjectIndex>>> children;  // after moves
};

const RelationCase kRelationCases[] = {
    // root0 a1 a2 r3
    {"last sibling wins", "{ a\n a\n r > @a }", 3, {0, 2}, false, {}, {{0, {1, 2, 3}}}},
    // root0 x1 p2 x3 r4
    {"inner name shadows outer", "{ x\n p { x\n r > @x } }", 4, {2, 3}, true, {true, 0},
     {{0, {1, 2, 4}}, {2, {3}}}},
    // root0 y1 p2 r3
    {"outer name visible", "{ y\n p { r > @y } }", 3, {2, 1}, true, {true, 0},
     {{0, {1, 2, 3}}, {2, {}}}},
    // root0 a1 b2 b3 r4
    {"later path name: last child wins", "{ a { b\n b }\n r > @a.b }", 4, {0, 3}, false, {},
     {{1, {2, 3}}}},
    // root0 r1 c2: the relation's own children are reached through its name
    {"own child through own name", "{ r > @r.c { c } }", 1, {0, 2}, false, {}, {{1, {2}}}},
    {"relation to itself", "{ r > @r }", 1, {0, 1}, false, {}, {{0, {1}}}},
    // root0 p1 r2 t3: explicit context equal to the source
    {"explicit context = source", "{ p {\n r > @t(@p)\n t } }", 2, {1, 3}, false, {},
     {{1, {2, 3}}}},
    // root0 p1 r2 q3 t4
    {"explicit context elsewhere", "{ p { r > @t(@q) }\n q\n t }", 2, {1, 4}, true,
     {false, 3}, {{0, {1, 3, 4}}, {1, {}}, {3, {2}}}},
    // root0 *1 p2 r3 t4: nearest ancestor with identity "context"
    {"context identity is default context", "{ *(context) {\n p { r > @t }\n t\n } }", 3,
     {2, 4}, true, {true, 1}, {{1, {2, 4, 3}}, {2, {}}}},
    // root0 *1 r2 t3: written directly inside the context subject
    {"context identity equal to source", "{ *(context) {\n r > @t\n t\n } }", 2, {1, 3},
     false, {}, {{1, {2, 3}}}},
    // root0 *1 t2: a subject's own relation does not use its own "context"
    {"own context identity not used", "{ *(context) @c > @t\n t }", 1, {0, 2}, false, {},
     {{0, {1, 2}}}},
    // root0 x1 p2 x3 r4: the scope of p's children is closed again
    {"closed scope restores outer name", "{ x\n p { x }\n r > @x }", 4, {0, 1}, false, {},
     {{0, {1, 2, 4}}}},
};

template <class Model>
void check_relation_case(const RelationCase& c, const Model& m) {
  ASSERT_LT(c.subject, m.subjects.size());
  ASSERT_TRUE(m.subjects[c.subject].relation.has_value());
  EXPECT_EQ(*m.subjects[c.subject].relation, c.link);
  std::size_t relation_subjects = 0;
  for (const auto& s : m.subjects) relation_subjects += s.relation.has_value();
  EXPECT_EQ(relation_subjects, 1u);
  if (c.has_entry) {
    ASSERT_EQ(m.relations.size(), 1u);
    auto it = m.relations.find(RelationKey{c.subject, c.link.source, c.link.target});
    ASSERT_NE(it, m.relations.end());
    EXPECT_EQ(it->second, c.context);
  } else {
    EXPECT_TRUE(m.relations.empty());
  }
  for (const auto& [s, ch] : c.children) EXPECT_EQ(m.subjects[s].children, ch) << "subject " << s;
  EXPECT_EQ(m.subjects[c.subject].parent, c.link.source);
}

TEST(RelationResolution, Table) {
  for (const auto& c : kRelationCases) {
    SCOPED_TRACE(c.name);
    auto q = compile_query(c.text);
    ASSERT_TRUE(q) << render_build_error(q.error());
    check_relation_case(c, q.value());
    auto g = compile_tag_graph(c.text, true);
    ASSERT_TRUE(g) << render_build_error(g.error());
    check_relation_case(c, g.value());
  }
}

// ---------------------------------------------------------------------------
// Errors and their order

struct ErrorCase {
  const char* text;
  std::string error;  // "<ok>" when the build succeeds
};

TEST(QueryBuild, Errors) {
  const std::string nf = kNotFound;
  const ErrorCase rows[] = {
      // relation of relation: target declared earlier or later, source, context
      {"{ b > @c\n a > @b\n c }", kRelOfRel},
      {"{ a > @b\n b > @c\n c }", kRelOfRel},
      {"{ r > @x {\n s > @x }\n x }", kRelOfRel},
      {"{ r > @x\n s > @x(@r)\n x }", kRelOfRel},
      {"{ r > @r }", "<ok>"},
      // identity rule, also below the root
      {"{ a(b) }", kMulti},
      {"{ *(x) }", "<ok>"},
      {"{ a }", "<ok>"},
      {"{ *(x, y) }", kMulti},
      {"{ a {\n b {\n c(d) } } }", kMulti},
      // the relation walk comes before the identity rule
      {"{ a(b) > @zz }", "subject not found: zz"},
      {"{ a(b)\n r > @zz }", "subject not found: zz"},
      {"{ a(b)\n r > @r\n s > @r }", kRelOfRel},
      // a context that is the relation itself or inside it
      {"{ r > @r(@r) }", kInside},
      {"{ r > @x(@r.c) { c }\n x }", kInside},
      {"{ r > @x(@r.c.d) { c { d } }\n x }", kInside},
      {"{ a > @t(@b.cb) { ca }\n b { cb }\n t }", "<ok>"},
      {"{ a > @t(@b.cb) { ca }\n b > @t(@a.ca) { cb }\n t }", kInside},
      {"{ a > @t(@b.cb) { cb }\n b > @t(@a.cb) { cb }\n t }", kInside},
      // ... and it comes before the identity rule
      {"{ r(i) > @r(@r) }", kInside},
      {"{ a(b)\n r > @r(@r) }", kInside},
  };
  for (const auto& row : rows) EXPECT_EQ(query_error(row.text), row.error) << row.text;

  // paths that do not resolve name the whole path
  const ErrorCase missing[] = {
      {"{ a > @b }", nf + "b"},
      {"{ a { x }\n r > @a.x.z }", nf + "a.x.z"},
      {"{ a { x }\n r > @a.y.z }", nf + "a.y.z"},
      {"{ a > @a(@zz) }", nf + "zz"},    // context path after the target
      {"{ a > @yy(@zz) }", nf + "yy"},
      {"{ b > @c\n a > @b(@zz)\n c }", nf + "zz"},  // before relation of relation
      {"{ p { x }\n r > @x }", nf + "x"},  // x was in scope inside p only
      {"{ p { x\n x }\n r > @x }", nf + "x"},  // both siblings leave the scope
      {"{ r > @c { c } }", nf + "c"},      // own children need the own name
      {"{ a > @zz\n b > @yy }", nf + "zz"},
  };
  for (const auto& row : missing) EXPECT_EQ(query_error(row.text), row.error) << row.text;
}

TEST(GraphBuild, Errors) {
  struct Row {
    const char* text;
    bool validate;
    const char* error;
  } rows[] = {
      // tags from expressions
      {"{ a: -b }", false, kInvalid},
      {"{ a: b / c }", false, kInvalid},
      {"{ a: b, -c }", true, kInvalid},
      {"{ a: b, (c / d) }", true, kInvalid},
      {"{ a: () / () }", true, kInvalid},
      {"-x", true, kInvalid},
      {"{ a: b, c }", true, "<ok>"},
      {"{ a: () }", true, "<ok>"},
      // invalid tags come before any relation work
      {"{ a > @zz\n b: -c }", true, kInvalid},
      {"{ a > @a(@a)\n b: x / y }", false, kInvalid},
      // relation errors as on the query side
      {"{ a > @b.c\n b }", false, "subject not found: b.c"},
      {"{ a > @b\n b > @a }", false, kRelOfRel},
      {"{ r > @r(@r) }", false, kInside},
      {"{ a > @t(@b.cb) { cb }\n b > @t(@a.cb) { cb }\n t }", true, kInside},
      // no identity rule for graphs
      {"{ a(b) }", true, "<ok>"},
      // duplicates, only when validating
      {"{ a: x, x }", true, kDupTags},
      {"{ a: x, x }", false, "<ok>"},
      {"{ a(a) }", true, kDupIds},
      {"{ a(a) }", false, "<ok>"},
      {"{ a(a): x, x }", true, kDupTags},
      {"{ a: x\n b: x }", true, "<ok>"},
      {"{ a: x, X }", true, "<ok>"},
      {"{ a(b, \"b \") }", true, "<ok>"},
      // per subject in pre-order: tags, then identities
      {"{ a(a)\n b: x, x }", true, kDupIds},
      {"{ a: x, x\n b(b) }", true, kDupTags},
      {"{ a {\n b(b) }\n c: x, x }", true, kDupIds},
      // the walk follows the tree after the moves: r is visited after q
      {"{ p {\n r(r) > @q(@q) }\n q: t, t }", true, kDupTags},
      {"{ p {\n r(r) > @q(@p) }\n q: t, t }", true, kDupIds},
      // the relation walk comes before the duplicate checks
      {"{ a: x, x\n r > @zz }", true, "subject not found: zz"},
      {"{ a: x, x\n r > @r(@r) }", true, kInside},
  };
  for (const auto& row : rows)
    EXPECT_EQ(graph_error(row.text, row.validate), row.error)
        << row.text << " validate=" << row.validate;
}

TEST(GraphBuild, DuplicatesInLongLists) {
  std::string distinct = "{ a: ", dup;
  for (int i = 0; i < 40; ++i) distinct += (i ? ", t" : "t") + std::to_string(i);
  dup = distinct + ", t17 }";
  distinct += " }";
  EXPECT_EQ(graph_error(distinct), "<ok>");
  EXPECT_EQ(graph_error(dup), kDupTags);

  std::string ids = "{ *(";
  for (int i = 0; i < 40; ++i) ids += (i ? ", i" : "i") + std::to_string(i);
  EXPECT_EQ(graph_error(ids + ") }"), "<ok>");
  EXPECT_EQ(graph_error(ids + ", i0) }"), kDupIds);
}

TEST(GraphBuild, ErrorSpans) {
  struct Row {
    const char* text;
    BuildErrorKind kind;
    Span span;
  } rows[] = {
      // "bc " absorbs the space; the negation starts one byte before it
      {"{ a: -bc }", BuildErrorKind::InvalidTags, {5, 9}},
      {"{ a: x / y }", BuildErrorKind::InvalidTags, {5, 11}},
      {"{ a: x, --y }", BuildErrorKind::InvalidTags, {5, 12}},
      // the first offending subject in pre-order
      {"{ a {\n b: -c }\n d: -e }", BuildErrorKind::InvalidTags, {10, 13}},
      {"{ a > @zz.y }", BuildErrorKind::SubjectNotFound, {6, 12}},
      {"{ a: x, x }", BuildErrorKind::DuplicateTags, {2, 3}},
      {"{ ab > @ab(@ab) }", BuildErrorKind::ContextInsideRelation, {2, 5}},
      {"{ p\n q > @p(@q.r) { r } }", BuildErrorKind::ContextInsideRelation, {5, 7}},
  };
  for (const auto& row : rows) {
    auto g = compile_tag_graph(row.text, true);
    ASSERT_FALSE(g) << row.text;
    EXPECT_EQ(g.error().kind, row.kind) << row.text;
    EXPECT_EQ(g.error().span, row.span) << row.text;
  }
}

TEST(GraphBuild, TagsFromExpressions) {
  auto r = compile_tag_graph("top, level\n{ a: x\n b: y, z, \"\"\n c: ()\n d\n }", true);
  ASSERT_TRUE(r) << render_build_error(r.error());
  const TagGraph& g = r.value();
  ASSERT_EQ(g.subjects.size(), 5u);
  using V = std::vector<std::string>;
  EXPECT_EQ(g.subjects[0].tags, (V{"top", "level"}));
  EXPECT_EQ(g.subjects[1].tags, (V{"x"}));
  EXPECT_EQ(g.subjects[2].tags, (V{"y", "z", ""}));
  EXPECT_TRUE(g.subjects[3].tags.empty());
  EXPECT_TRUE(g.subjects[4].tags.empty());
  EXPECT_EQ(g.subjects[1].identities, (V{"a"}));
}

TEST(GraphBuild, RootOnly) {
  auto r = compile_tag_graph("a\nb", true);
  ASSERT_TRUE(r);
  ASSERT_EQ(r.value().subjects.size(), 1u);
  const GraphSubject& root = r.value().subjects[0];
  EXPECT_EQ(root.index, 0u);
  EXPECT_TRUE(root.children.empty());
  EXPECT_EQ(root.identities, std::vector<std::string>{"context"});
  EXPECT_EQ(root.tags, (std::vector<std::string>{"a", "b"}));
}

TEST(RelationMoves, SeveralUnderOneContextKeepOthersInOrder) {
  // root0 p1 a2 r3 b4 s5 c6 q7: r and s leave p for q; a, b, c keep order.
  auto r = compile_tag_graph("{ p {\n a\n r > @a(@q)\n b\n s > @b(@q)\n c }\n q }", true);
  ASSERT_TRUE(r) << render_build_error(r.error());
  const TagGraph& g = r.value();
  EXPECT_EQ(g.subjects[1].children, idx({2, 4, 6}));
  auto moved = g.subjects[7].children;
  std::sort(moved.begin(), moved.end());
  EXPECT_EQ(moved, idx({3, 5}));
  EXPECT_EQ(g.relations.size(), 2u);
  EXPECT_EQ(g.subjects[3].parent, 1u);
  EXPECT_EQ(g.subjects[5].parent, 1u);
}

// ---------------------------------------------------------------------------
// Deep and large inputs on a small stack

TEST(Scale, DeepQueryChain) {
  constexpr std::size_t kDepth = 100000;
  // { top {
  // a { a { ... { r > @top(@top) } ... } }
  // } }
  std::string text = "{ top {\n";
  for (std::size_t i = 0; i < kDepth; ++i) text += "a {";
  text += " r > @a(@top) ";
  for (std::size_t i = 0; i < kDepth; ++i) text += "}";
  text += "\n} }";
  bool ok = false;
  std::size_t subjects = 0, top_children = 0, last_parent_children = 1;
  RelationLink link;
  run_on_small_stack([&] {
    auto q = compile_query(text);
    ok = q.ok();
    if (!ok) return;
    const Query& m = q.value();
    subjects = m.subjects.size();
    top_children = m.subjects[1].children.size();
    last_parent_children = m.subjects[kDepth + 1].children.size();
    link = m.subjects.back().relation.value_or(RelationLink{});
  });
  ASSERT_TRUE(ok);
  EXPECT_EQ(subjects, kDepth + 3);
  EXPECT_EQ(top_children, 2u);           // the first a and the moved r
  EXPECT_EQ(last_parent_children, 0u);   // r left the innermost a
  EXPECT_EQ(link, (RelationLink{kDepth + 1, kDepth + 1}));

  // The same depth failing at its bottom: the identity rule walks it all.
  std::string bad = "{ top {\n";
  for (std::size_t i = 0; i < kDepth; ++i) bad += "a {";
  bad += " x(y) ";
  for (std::size_t i = 0; i < kDepth; ++i) bad += "}";
  bad += "\n} }";
  std::string err;
  run_on_small_stack([&] { err = query_error(bad); });
  EXPECT_EQ(err, kMulti);
}

TEST(Scale, LargeFlatGraph) {
  const std::size_t kCount = scaled(1000000);
  // One body of a million subjects; every thousandth is a relation moved
  // under the first subject.
  std::string text;
  text.reserve(kCount * 24);
  text += "{\n";
  std::size_t relations = 0;
  for (std::size_t i = 0; i < kCount; ++i) {
    if (i % 1000 == 999) {
      text += "r" + std::to_string(i) + " > @n" + std::to_string(i - 1) + "(@n0): t\n";
      ++relations;
    } else {
      text += "n" + std::to_string(i) + ": t, u\n";
    }
  }
  text += "}";
  bool ok = false;
  std::size_t subjects = 0, root_children = 0, first_children = 0, table = 0;
  run_on_small_stack([&] {
    auto g = compile_tag_graph(text, true);
    ok = g.ok();
    if (!ok) return;
    subjects = g.value().subjects.size();
    root_children = g.value().subjects[0].children.size();
    first_children = g.value().subjects[1].children.size();
    table = g.value().relations.size();
  });
  ASSERT_TRUE(ok);
  EXPECT_EQ(subjects, kCount + 1);
  EXPECT_EQ(table, relations);
  EXPECT_EQ(root_children, kCount - relations);
  EXPECT_EQ(first_children, relations);

  // A million siblings sharing one name, and a path through the last one.
  std::string same = "{\n";
  for (std::size_t i = 0; i < kCount; ++i) same += "a\n";
  same += "r > @a\n}";
  SubjectIndex target = 0;
  run_on_small_stack([&] {
    auto g = compile_tag_graph(same, true);
    if (g) target = g.value().subjects.back().relation.value_or(RelationLink{}).target;
  });
  EXPECT_EQ(target, kCount);
}

TEST(Scale, DeepGraphChain) {
  const std::size_t kDepth = scaled(1000000);
  std::string text;
  text.reserve(kDepth * 4 + 32);
  for (std::size_t i = 0; i < kDepth; ++i) text += "{ a";
  text += " > @a(@a) ";  // innermost: context is itself
  for (std::size_t i = 0; i < kDepth; ++i) text += "}";
  std::string err;
  run_on_small_stack([&] { err = graph_error(text); });
  EXPECT_EQ(err, kInside);

  std::string fine;
  fine.reserve(kDepth * 8 + 32);
  for (std::size_t i = 0; i < kDepth; ++i) fine += "{ a: x, y";
  for (std::size_t i = 0; i < kDepth; ++i) fine += "}";
  std::size_t subjects = 0;
  run_on_small_stack([&] {
    auto g = compile_tag_graph(fine, true);
    if (g) subjects = g.value().subjects.size();
  });
  EXPECT_EQ(subjects, kDepth + 1);
}

}  // namespace
}  // namespace lumo
