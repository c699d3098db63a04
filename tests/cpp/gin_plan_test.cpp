// GIN keys and query plans: the recorded keys; on listed and random
// query/graph pairs, that a graph the query matches satisfies the plan, that
// the plan and the printed SQL condition agree over the same tags (with
// unknown keys too), and that a graph's keys are those of collect_tags();
// stops on interrupt; million-deep queries on a small stack.

#include "output/gin_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "compiled.h"
#include "pair_gen.h"
#include "reader/reader.h"
#include "shortcuts.h"
#include "small_stack.h"
#include "sql_eval.h"
#include "stop_after.h"
#include "test_scale.h"

namespace lumo {
namespace {

// ---------------------------------------------------------------------------
// Keys.

// Stored indexes hold these values: if this test fails, the keys changed,
// and every index built with the old ones is wrong (see gin_key()).
TEST(GinKey, KeepsItsRecordedValues) {
  struct Pinned {
    std::string_view tag;
    std::size_t size;  // the path of the byte hash it takes
    std::uint32_t key;
  };
  const Pinned kPinned[] = {
      {"", 0, 0x730ba7f4u},
      {"a", 1, 0x33a39147u},
      {"\xff", 1, 0x8fd5ec05u},
      {"ab", 2, 0x70091fc7u},
      {"\x80\x7f\xfe", 3, 0xa243d43cu},
      {"red", 3, 0x8b152207u},
      {"context", 7, 0xc50163c8u},
      {"employee", 8, 0xf0f63373u},
      {"\xc3\xa9t\xc3\xa9", 5, 0x5a4e923au},
      {"0123456789abcdef", 16, 0x099cc449u},
      {"0123456789abcdefg", 17, 0x2ec8cbc4u},
      {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe3\x82\xbf\xe3\x82\xb0", 18, 0xdcdc25f2u},
      {"The quick brown fox jumps over the lazy dog 1234", 48, 0x64f8c4ebu},
      {"The quick brown fox jumps over the lazy dog 12345", 49, 0xb6f178a1u},
      {"The quick brown fox jumps over the lazy dog. The quick brown fox jumps over the lazy "
       "dog. The end...",
       100, 0x1a7bb58fu},
  };
  for (const Pinned& p : kPinned) {
    ASSERT_EQ(p.tag.size(), p.size);
    EXPECT_EQ(gin_key(p.tag), p.key) << "tag of " << p.size << " bytes: " << p.tag;
  }
}

// ---------------------------------------------------------------------------
// Checks of one query, and of one query/graph pair.

std::vector<std::string> distinct_param_tags(const SqlOutput& sql) {
  std::vector<std::string> tags;
  for (const SqlParam& p : sql.params) {
    if (const auto* one = std::get_if<std::string_view>(&p)) {
      tags.emplace_back(*one);
    } else {
      for (std::string_view t : std::get<std::vector<std::string_view>>(p)) tags.emplace_back(t);
    }
  }
  std::sort(tags.begin(), tags.end());
  tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
  return tags;
}

std::vector<std::uint32_t> sorted_keys(const std::vector<std::string>& tags) {
  std::vector<std::uint32_t> keys;
  for (const std::string& t : tags) keys.push_back(gin_key(t));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

GinValue of(bool b) { return b ? GinValue::True : GinValue::False; }

// The plan of `q` against its SQL condition with every key True, False or
// Maybe at random. The condition is monotone, so its three-valued value is
// True when it holds with the Maybe tags absent, False when it fails with
// them present, and Maybe otherwise: both are asked of the SQL.
void expect_same_as_sql(const Query& q, std::mt19937& rng, int rounds) {
  auto plan = gin_plan(q);
  ASSERT_TRUE(plan.ok());
  const GinPlan& p = plan.value();
  const SqlOutput sql = to_sql(q, 0);
  EXPECT_EQ(p.always_true, sql.text == "true") << sql.text;

  // The plan's keys are those of the tags the SQL tests, each once; the
  // test's tags have distinct keys, so each key stands for one tag.
  const std::vector<std::string> tags = distinct_param_tags(sql);
  std::vector<std::uint32_t> keys = p.keys;
  std::sort(keys.begin(), keys.end());
  ASSERT_EQ(std::adjacent_find(keys.begin(), keys.end()), keys.end());
  ASSERT_EQ(keys, sorted_keys(tags)) << sql.text;
  ASSERT_EQ(keys.size(), tags.size()) << "two of the test's tags share a key";

  // No key present: only an always-true plan holds.
  EXPECT_EQ(evaluate(p, std::vector<GinValue>(p.keys.size(), GinValue::False)), of(p.always_true))
      << sql.text;

  for (int round = 0; round < rounds; ++round) {
    std::vector<GinValue> state(p.keys.size());
    std::vector<std::string> sure, possible;
    for (const std::string& t : tags) {
      const auto v = static_cast<GinValue>(std::uniform_int_distribution<int>(0, 2)(rng));
      const std::size_t i = static_cast<std::size_t>(
          std::find(p.keys.begin(), p.keys.end(), gin_key(t)) - p.keys.begin());
      state[i] = v;
      if (v == GinValue::True) sure.push_back(t);
      if (v != GinValue::False) possible.push_back(t);
    }
    const auto low = sql_holds(sql.text, sql.params, 0, sure);
    const auto high = sql_holds(sql.text, sql.params, 0, possible);
    ASSERT_TRUE(low.has_value() && high.has_value()) << sql.text;
    const GinValue expected = *low ? GinValue::True : *high ? GinValue::Maybe : GinValue::False;
    ASSERT_EQ(evaluate(p, state), expected) << sql.text;
  }
}

struct PairCounts {
  int pairs = 0;
  int matched = 0;
  int plan_false = 0;
  int read = 0;  // graphs the direct reader read too
};

// A graph's keys are those of collect_tags(), also when the direct reader
// read it (its string table holds the names too, which are no tags); the
// plan over them agrees with the SQL condition over collect_tags(), and
// holds when the query matches.
void expect_pair(const Query& q, std::string_view graph_text, const IndexedGraph& g,
                 PairCounts& counts) {
  auto read = read_graph_index(graph_text, false);
  if (read.ok()) {
    EXPECT_EQ(gin_graph_keys(read.value()), gin_graph_keys(g));
    ++counts.read;
  }
  auto plan = gin_plan(q);
  ASSERT_TRUE(plan.ok());
  const GinPlan& p = plan.value();
  const std::vector<std::string> tags = collect_tags(g);
  const std::vector<std::uint32_t> graph_keys = gin_graph_keys(g);
  ASSERT_EQ(graph_keys, sorted_keys(tags));

  std::vector<GinValue> state;
  for (std::uint32_t k : p.keys) {
    state.push_back(of(std::binary_search(graph_keys.begin(), graph_keys.end(), k)));
  }
  const GinValue value = evaluate(p, state);
  const SqlOutput sql = to_sql(q, 0);
  const auto holds = sql_holds(sql.text, sql.params, 0, tags);
  ASSERT_TRUE(holds.has_value()) << sql.text;
  EXPECT_EQ(value, of(*holds)) << sql.text;
  const bool matched = is_match(q, g);
  if (matched) EXPECT_EQ(value, GinValue::True) << sql.text;

  ++counts.pairs;
  counts.matched += matched ? 1 : 0;
  counts.plan_false += value == GinValue::False ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Listed pairs.

struct Pair {
  const char* query;
  const char* graph;
};

const Pair kPairs[] = {
    {"", "{ a: x }"},
    {"{ a }", "{ a }"},
    {"{ a }", "{ b: a }"},
    {"{ shirt: red, large }", "{ shirt: red, large, cotton }"},
    {"{ shirt: red, large }", "{ shirt: red\n large }"},
    {"{ shirt: red / blue }", "{ shirt: blue }"},
    {"{ shirt: red / blue }", "{ shirt: green }"},
    {"{ shirt: red / blue }", "{ shirt\n red }"},
    {"{ *: -red }", "{ shirt: red }"},
    {"{ *: red / -blue }", "{ a: green }"},
    {"{ *: a, -b, -(c / d), e }", "{ s: a, e, b }"},
    {"{ *: -b, (c / d) }", "{ s: d }"},
    {"{ *: a / (-b, c) }", "{ s: z }"},
    {"{ * }", "{ a }"},
    {"red, blue", "{ a: red }"},
    {"red\n{ a }", "{ a }"},
    {"{ a { *: b / c } d: e / (f, g) } { h > @a }", "{ a { x: c }\n d: f, g\n h { y > @a } }"},
    {"{ a { *: b / c } d: e / (f, g) } { h > @a }", "{ a { x: c }\n d: f\n h }"},
    {"{ *(white) @s }", "{ shirt(white) }"},
    {"{ *(white) @s }", "{ shirt: white }"},
    {"{ alice { * > @laptop: owns }\n laptop }", "{ alice { * > @laptop: owns }\n laptop: silver }"},
    {"{ alice { * > @laptop: owns }\n laptop }", "{ alice\n laptop }"},
    {"{ a { * > @b(@c): t }\n b\n c }", "{ a { x > @b(@c): t }\n b\n c }"},
    {"{ project @p { alice { * > @laptop(@p): uses }\n laptop } }",
     "{ project(context) { alice { * > @laptop: uses }\n laptop } }"},
    {"[sort:date, -status:draft] { memo }", "{ memo }"},
    {"[sort:date] { memo: (a / b), -c }", "{ memo: c\n b }"},
    {"{ *: (a / b), (c / (d, e)) }", "{ s: b, d, e }"},
    {"{ *: (a / b), (c / (d, e)) }", "{ s: b, d }"},
    {"{ *: ((a / (b, (c / (d, -e)))) ) }", "{ s: b, c }"},
    {"{ x: \"C++\", \"\", \"caf\\u00e9\" }", "{ x: \"C++\", \"\", \"caf\\u00e9\" }"},
    {"{ red: red, blue, red }", "{ red: blue }"},
    {"{ *: x\n *: y }", "{ a: x, y }"},
    {"{ a { b { c: -d } } }", "{ a { b { c: d } } }"},
    {"{ a { b { c: -d } } }", "{ a { q { c } } }"},
};

TEST(GinPlan, ListedPairs) {
  PairCounts counts;
  std::mt19937 rng(5);
  for (const Pair& pair : kPairs) {
    SCOPED_TRACE(testing::Message() << "query: " << pair.query << "\ngraph: " << pair.graph);
    const Query q = query_of(pair.query);
    const IndexedGraph g = graph_of(pair.graph);
    ASSERT_NO_FATAL_FAILURE(expect_pair(q, pair.graph, g, counts));
    ASSERT_NO_FATAL_FAILURE(expect_same_as_sql(q, rng, 20));
  }
  EXPECT_GT(counts.matched, 10);
  EXPECT_GT(counts.plan_false, 5);
  EXPECT_GT(counts.read, 20);
}

// Random pairs from one tree of subjects (tests/support/pair_gen.h): `*`
// subjects, identities, relations with and without context, negations,
// any-lists and groups, top-level expressions; a third get meta queries.
TEST(GinPlan, RandomPairs) {
  PairCounts counts;
  int with_relations = 0;
  std::mt19937 rng(11);
  for (std::uint32_t seed = 1; counts.pairs < 4000 && seed < 100000; ++seed) {
    auto [qt, gt] = PairGen(seed).texts();
    if (seed % 3 == 0) qt = "[sort:date, -status:draft]\n" + qt;
    auto q = compile_query(qt);
    auto g0 = compile_tag_graph(gt, false);
    if (!q.ok() || !g0.ok()) continue;
    const IndexedGraph g = build_index(std::move(g0).value());
    SCOPED_TRACE(testing::Message() << "query:\n" << qt << "\ngraph:\n" << gt);
    ASSERT_NO_FATAL_FAILURE(expect_pair(q.value(), gt, g, counts));
    ASSERT_NO_FATAL_FAILURE(expect_same_as_sql(q.value(), rng, 4));
    with_relations += q.value().relations.empty() ? 0 : 1;
  }
  std::printf("pairs %d, matched %d, plan false %d, with relation entries %d, read %d\n",
              counts.pairs, counts.matched, counts.plan_false, with_relations, counts.read);
  // The generator must give both answers, and relations.
  EXPECT_EQ(counts.pairs, 4000);
  EXPECT_GT(counts.matched, counts.pairs / 10);
  EXPECT_GT(counts.plan_false, counts.pairs / 10);
  EXPECT_GT(with_relations, counts.pairs / 10);
  EXPECT_GT(counts.read, counts.pairs / 2);
}

// Two tags with one key: the plan and the graph hold the key once, and a
// graph with either tag satisfies the plan (the exact match decides).
TEST(GinPlan, TagsSharingAKey) {
  std::unordered_map<std::uint32_t, std::string> seen;
  std::string first, second;
  for (int i = 0; second.empty() && i < 10000000; ++i) {
    std::string t = "t" + std::to_string(i);
    const auto [at, added] = seen.emplace(gin_key(t), t);
    if (!added) {
      first = at->second;
      second = t;
    }
  }
  ASSERT_FALSE(second.empty());
  const Query q = query_of("{ *: " + first + ", " + second + " }");
  auto plan = gin_plan(q);
  ASSERT_TRUE(plan.ok());
  EXPECT_EQ(plan.value().keys, std::vector<std::uint32_t>{gin_key(first)});

  const IndexedGraph both = graph_of("{ s: " + first + ", " + second + " }");
  const std::vector<std::uint32_t> keys = gin_graph_keys(both);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(std::adjacent_find(keys.begin(), keys.end()), keys.end());
  EXPECT_EQ(keys.size(), collect_tags(both).size() - 1);

  // A graph with the second tag only holds the plan's key.
  const IndexedGraph one = graph_of("{ s: " + second + " }");
  const std::vector<std::uint32_t> one_keys = gin_graph_keys(one);
  EXPECT_TRUE(std::binary_search(one_keys.begin(), one_keys.end(), plan.value().keys[0]));
  EXPECT_EQ(evaluate(plan.value(), std::vector<GinValue>{GinValue::True}), GinValue::True);
  EXPECT_FALSE(is_match(q, one));
}

// ---------------------------------------------------------------------------
// Three-valued logic on plans written by hand: "and" is False with a False,
// "or" True with a True, and otherwise Maybe meets Maybe.

TEST(GinEvaluate, MaybePropagates) {
  using K = GinStep::Kind;
  constexpr GinValue F = GinValue::False, M = GinValue::Maybe, T = GinValue::True;
  struct Case {
    K op;
    std::vector<GinValue> in;
    GinValue out;
  };
  const Case kCases[] = {
      {K::And, {}, T},        {K::Or, {}, F},         {K::And, {M}, M},       {K::Or, {M}, M},
      {K::And, {T, T}, T},    {K::And, {T, M}, M},    {K::And, {M, M}, M},    {K::And, {M, F}, F},
      {K::And, {F, T, M}, F}, {K::And, {T, T, M}, M}, {K::Or, {F, F}, F},     {K::Or, {F, M}, M},
      {K::Or, {M, M}, M},     {K::Or, {M, T}, T},     {K::Or, {F, T, M}, T},  {K::Or, {F, F, M}, M},
  };
  for (const Case& c : kCases) {
    GinPlan plan;
    for (std::size_t i = 0; i < c.in.size(); ++i) {
      plan.keys.push_back(static_cast<std::uint32_t>(i));
      plan.program.push_back(GinStep{K::Key, i});
    }
    plan.program.push_back(GinStep{c.op, c.in.size()});
    plan.depth = std::max<std::size_t>(c.in.size(), 1);
    EXPECT_EQ(evaluate(plan, c.in), c.out)
        << (c.op == K::And ? "and" : "or") << " of " << c.in.size() << " values";
  }
}

// ---------------------------------------------------------------------------
// Interrupts.

bool same_plan(const GinPlan& a, const GinPlan& b) {
  auto same_step = [](const GinStep& x, const GinStep& y) {
    return x.kind == y.kind && x.arg == y.arg;
  };
  return a.keys == b.keys && a.always_true == b.always_true && a.depth == b.depth &&
         std::equal(a.program.begin(), a.program.end(), b.program.begin(), b.program.end(),
                    same_step);
}

// Every stop, in the simplification or in the writing of the program, gives
// Interrupted, never a partial plan.
TEST(GinPlan, EveryStopIsReported) {
  std::string text = "{ s: ";
  for (int k = 0; k < 20000; ++k) text += k % 2 ? "(b" + std::to_string(k) + ", " : "(a/";
  text += "z" + std::string(20000, ')') + " }";
  const Query q = query_of(text);
  auto plain = gin_plan(q);
  ASSERT_TRUE(plain.ok());
  std::size_t n = 1;
  for (;; ++n) {
    StopAfter stop(n);
    auto r = gin_plan(q, &stop);
    if (stop.asked() < n) {  // the hook never said stop
      ASSERT_TRUE(r.ok());
      EXPECT_TRUE(same_plan(r.value(), plain.value()));
      break;
    }
    ASSERT_FALSE(r.ok()) << "stop at question " << n;
    ASSERT_EQ(stop.asked(), n);
  }
  EXPECT_GT(n, 20u);  // the hook was asked all along the work
}

// ---------------------------------------------------------------------------
// Deep and wide queries: no recursion, on a 256 KiB stack.

const std::size_t kDeep = scaled(1000000);

// The plan's value and the SQL condition's over the same tags.
void expect_deep(const Query& q, const std::vector<std::vector<std::string>>& rows,
                 const std::vector<GinValue>& expected) {
  auto plan = gin_plan(q);
  ASSERT_TRUE(plan.ok());
  const GinPlan& p = plan.value();
  const SqlOutput sql = to_sql(q, 0);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::vector<std::uint32_t> present = sorted_keys(rows[r]);
    std::vector<GinValue> state;
    for (std::uint32_t k : p.keys) {
      state.push_back(of(std::binary_search(present.begin(), present.end(), k)));
    }
    EXPECT_EQ(evaluate(p, state), expected[r]) << "row " << r;
    EXPECT_EQ(sql_holds(sql.text, sql.params, 0, rows[r]), expected[r] == GinValue::True)
        << "row " << r;
  }
}

TEST(GinPlanDeep, MillionNestedAlternatingLists) {
  // (a/(b,(a/(b, ... (b, z))))): an any-list for even levels, an all-list
  // for odd ones; the innermost holds b and z.
  std::string text = "{ *: ";
  for (std::size_t k = 0; k < kDeep; ++k) text += k % 2 ? "(b," : "(a/";
  text += "z" + std::string(kDeep, ')') + " }";
  const Query q = query_of(text);
  run_on_small_stack([&] {
    expect_deep(q, {{"a"}, {"b"}, {"b", "z"}, {"z"}, {}},
                {GinValue::True, GinValue::False, GinValue::True, GinValue::False,
                 GinValue::False});
    auto plan = gin_plan(q);
    ASSERT_TRUE(plan.ok());
    EXPECT_EQ(plan.value().keys.size(), 3u);
    // a Maybe reaches the top through every level.
    const GinPlan& p = plan.value();
    std::vector<GinValue> state(3, GinValue::False);
    for (std::size_t i = 0; i < 3; ++i) {
      if (p.keys[i] == gin_key("z")) state[i] = GinValue::Maybe;
      if (p.keys[i] == gin_key("b")) state[i] = GinValue::True;
    }
    EXPECT_EQ(evaluate(p, state), GinValue::Maybe);
  });
}

TEST(GinPlanDeep, MillionNestedNegations) {
  // { *: -(-(-( ... a))) } imposes nothing; { s: a, -(b, -(b, ... z)) } is
  // "s and a".
  std::string text = "{ *: ";
  for (std::size_t i = 0; i < kDeep; ++i) text += "-(";
  text += "a" + std::string(kDeep, ')') + " }";
  const Query only_negations = query_of(text);
  text += "\n{ s: a, ";
  for (std::size_t i = 0; i < kDeep; ++i) text += "-(b, ";
  text += "z" + std::string(kDeep, ')') + " }";
  const Query q = query_of(text);
  run_on_small_stack([&] {
    auto plan = gin_plan(only_negations);
    ASSERT_TRUE(plan.ok());
    EXPECT_TRUE(plan.value().always_true);
    EXPECT_TRUE(plan.value().keys.empty());
    EXPECT_EQ(evaluate(plan.value(), {}), GinValue::True);
    expect_deep(q, {{"s", "a"}, {"s", "b", "z"}, {"a"}},
                {GinValue::True, GinValue::False, GinValue::False});
  });
}

TEST(GinPlanDeep, ThousandsOfListsSideBySide) {
  // (a0 / b0), (a1 / b1), ...: the program holds every list's value before
  // the last "and", more than evaluate() keeps on the machine stack.
  constexpr int kWide = 3000;
  std::string text = "{ *: ";
  std::vector<std::string> all_a, all_but_one;
  for (int i = 0; i < kWide; ++i) {
    const std::string n = std::to_string(i);
    text += (i ? ", (a" : "(a") + n + " / b" + n + ")";
    all_a.push_back("a" + n);
    all_but_one.push_back((i == kWide / 2 ? "c" : "b") + n);
  }
  text += " }";
  const Query q = query_of(text);
  auto plan = gin_plan(q);
  ASSERT_TRUE(plan.ok());
  EXPECT_GE(plan.value().depth, static_cast<std::size_t>(kWide));
  run_on_small_stack([&] {
    expect_deep(q, {all_a, all_but_one}, {GinValue::True, GinValue::False});
  });
}

}  // namespace
}  // namespace lumo
