// Tests of SQL generation: worked examples, placeholder numbering, the
// simplification rules, a comparison with a small recursive reference on
// random queries, and very deep queries on a small stack.

#include "small_stack.h"
#include "output/sql.h"
#include "shortcuts.h"
#include "test_scale.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cctype>
#include <cstddef>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace lumo {
namespace {

// Owned form of the parameters, for comparisons.
using Param = std::variant<std::string, std::vector<std::string>>;

std::vector<Param> owned(const std::vector<SqlParam>& params) {
  std::vector<Param> out;
  for (const SqlParam& p : params) {
    if (const auto* s = std::get_if<std::string_view>(&p)) {
      out.emplace_back(std::string(*s));
    } else {
      std::vector<std::string> group;
      for (std::string_view t : std::get<std::vector<std::string_view>>(p)) group.emplace_back(t);
      out.emplace_back(std::move(group));
    }
  }
  return out;
}

Param one(std::string s) { return Param(std::move(s)); }
Param group(std::vector<std::string> g) { return Param(std::move(g)); }

// Builds queries by hand: a root (index 0) and subjects with expressions.
struct QueryMaker {
  Query q;

  QueryMaker() { subject({"context"}, q.exprs.add_empty_all()); }

  ExprId tag(std::string t) { return q.exprs.add_tag(std::move(t), Span{}); }
  ExprId neg(ExprId e) { return q.exprs.add_not(e); }
  ExprId all(std::vector<ExprId> items) { return q.exprs.add_list(std::move(items), true); }
  ExprId any(std::vector<ExprId> items) { return q.exprs.add_list(std::move(items), false); }

  void subject(std::vector<std::string> identities, ExprId expr) {
    QuerySubject s;
    s.identities = std::move(identities);
    s.expression = expr;
    s.index = q.subjects.size();
    q.subjects.push_back(std::move(s));
  }
  void subject(std::vector<std::string> identities) { subject(std::move(identities), q.exprs.add_empty_all()); }
};

// ---------------------------------------------------------------------------
// The recursive definition, for small queries only.

struct RExpr {
  enum Kind { Tag, List, Not } kind = List;
  std::string tag;
  bool all = true;
  std::vector<RExpr> items;  // List items; Not: the operand
};

RExpr ref_convert(const ExprPool& pool, ExprId id) {
  const ExprNode& n = pool[id];
  RExpr r;
  switch (n.kind) {
    case ExprKind::Tag:
      r.kind = RExpr::Tag;
      r.tag = n.tag;
      break;
    case ExprKind::Not:
      r.kind = RExpr::Not;
      r.items.push_back(ref_convert(pool, n.operand));
      break;
    case ExprKind::List:
      r.all = n.all;
      for (ExprId i : n.items) r.items.push_back(ref_convert(pool, i));
      break;
  }
  return r;
}

RExpr ref_collect(const Query& q) {
  RExpr root;
  for (std::size_t i = 1; i < q.subjects.size(); ++i) {
    for (const std::string& id : q.subjects[i].identities) {
      RExpr t;
      t.kind = RExpr::Tag;
      t.tag = id;
      root.items.push_back(t);
    }
    root.items.push_back(ref_convert(q.exprs, q.subjects[i].expression));
  }
  return root;
}

bool ref_always(const RExpr& e) { return e.kind == RExpr::List && e.all && e.items.empty(); }

RExpr ref_simplify(const RExpr& e) {
  if (e.kind == RExpr::Tag) return e;
  if (e.kind == RExpr::Not) return RExpr{};
  std::vector<RExpr> kept;
  for (const RExpr& item : e.items) {
    RExpr s = ref_simplify(item);
    if (ref_always(s)) {
      if (!e.all) return RExpr{};
      continue;
    }
    kept.push_back(std::move(s));
  }
  std::vector<RExpr> flat;
  for (RExpr& s : kept) {
    if (s.kind == RExpr::List && s.all == e.all) {
      for (RExpr& i : s.items) flat.push_back(std::move(i));
    } else {
      flat.push_back(std::move(s));
    }
  }
  if (flat.size() == 1) return std::move(flat[0]);
  RExpr out;
  out.all = e.all;
  out.items = std::move(flat);
  return out;
}

std::string ref_print(const RExpr& e, std::vector<Param>& args) {
  if (e.kind == RExpr::Tag) {
    args.emplace_back(e.tag);
    return "(tags @> array[$" + std::to_string(args.size()) + "])";
  }
  std::vector<std::string> parts;
  std::vector<std::string> grp;
  for (const RExpr& item : e.items) {
    if (item.kind == RExpr::Tag) {
      grp.push_back(item.tag);
    } else {
      parts.push_back(ref_print(item, args));
    }
  }
  if (!grp.empty()) {
    args.emplace_back(grp);
    parts.push_back(std::string("(tags ") + (e.all ? "@>" : "&&") + " $" + std::to_string(args.size()) + ")");
  }
  if (parts.empty()) return e.all ? "true" : "false";
  if (parts.size() == 1) return parts[0];
  std::string out = "(";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += e.all ? " and " : " or ";
    out += parts[i];
  }
  return out + ")";
}

// The reference output, with `args_len` values already present.
std::pair<std::string, std::vector<Param>> reference(const Query& q, std::size_t args_len) {
  std::vector<Param> args(args_len, Param(std::string("old")));
  std::string text = ref_print(ref_simplify(ref_collect(q)), args);
  args.erase(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(args_len));
  return {text, args};
}

// ---------------------------------------------------------------------------

void expect_sql(const Query& q, std::size_t args_len, const std::string& text,
                const std::vector<Param>& params) {
  SqlOutput out = to_sql(q, args_len);
  EXPECT_EQ(out.text, text);
  EXPECT_EQ(owned(out.params), params);
}

Query compiled(const std::string& text) {
  auto r = compile_query(text);
  EXPECT_TRUE(r.ok()) << text;
  return r ? std::move(r).value() : Query{};
}

TEST(Sql, QueryTexts) {
  struct Case {
    std::string query;
    std::string text;
    std::vector<Param> params;
  };
  const std::vector<Case> cases = {
      {"{ shirt }", "(tags @> array[$1])", {one("shirt")}},
      {"{ shirt: red, large }", "(tags @> $1)", {group({"shirt", "red", "large"})}},
      {"{ shirt: red / blue }", "((tags && $1) and (tags @> $2))", {group({"red", "blue"}), group({"shirt"})}},
      {"{ *: -red }", "true", {}},
      {"{ *: red / -blue }", "true", {}},
      {"{ shirt { button } }", "(tags @> $1)", {group({"shirt", "button"})}},
      {"red, blue", "true", {}},
      {"{ * }", "true", {}},
      {"", "true", {}},
      {"{ *: a, (b, c) }", "(tags @> $1)", {group({"a", "b", "c"})}},
      {"{ red: red, blue, red }", "(tags @> $1)", {group({"red", "red", "blue", "red"})}},
      {"{ *: a, -b, -(c / d), e }", "(tags @> $1)", {group({"a", "e"})}},
      {"{ *: -b, (c / d) }", "(tags && $1)", {group({"c", "d"})}},
      {"{ *: a / (-b, c) }", "(tags && $1)", {group({"a", "c"})}},
      {"{ *(white) @s }", "(tags @> array[$1])", {one("white")}},
      {"{ *(x): \"'; drop table t; --\" }", "(tags @> $1)", {group({"x", "'; drop table t; --"})}},
      {"{ a { *: b / c } d: e / (f, g) } { h > @a }",
       "((tags && $1) and ((tags @> $2) or (tags && $3)) and (tags @> $4))",
       {group({"b", "c"}), group({"f", "g"}), group({"e"}), group({"a", "d", "h"})}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    Query q = compiled(c.query);
    expect_sql(q, 0, c.text, c.params);
    // With k values already in the list, every number is k higher.
    std::string shifted;
    for (std::size_t i = 0; i < c.text.size(); ++i) {
      shifted += c.text[i];
      if (c.text[i] == '$') {
        std::size_t j = i + 1;
        while (j < c.text.size() && std::isdigit(static_cast<unsigned char>(c.text[j]))) ++j;
        shifted += std::to_string(std::stoul(c.text.substr(i + 1, j - i - 1)) + 9);
        i = j - 1;
      }
    }
    expect_sql(q, 9, shifted, c.params);
  }
}

TEST(Sql, SimplificationRules) {
  struct Case {
    const char* name;
    std::function<void(QueryMaker&)> build;
    std::string text;
    std::vector<Param> params;
  };
  const std::vector<Case> cases = {
      {"one item left stands for itself",
       [](QueryMaker& m) { m.subject({}, m.all({m.neg(m.tag("b")), m.tag("c")})); },
       "(tags @> array[$1])", {one("c")}},
      {"any-list with a negated item imposes nothing",
       [](QueryMaker& m) {
         m.subject({"x"}, m.all({m.tag("a"), m.any({m.tag("b"), m.all({m.tag("c"), m.tag("d")}), m.neg(m.tag("e"))})}));
       },
       "(tags @> $1)", {group({"x", "a"})}},
      {"an all-list left with an any-list is spliced into the outer any-list",
       [](QueryMaker& m) {
         m.subject({}, m.any({m.tag("a"), m.all({m.neg(m.tag("z")), m.any({m.tag("b"), m.tag("c")})})}));
       },
       "(tags && $1)", {group({"a", "b", "c"})}},
      {"groups are not merged across levels",
       [](QueryMaker& m) {
         m.subject({"s"}, m.all({m.any({m.tag("a"), m.all({m.tag("b"), m.tag("c")})}), m.tag("d")}));
       },
       "(((tags @> $1) or (tags && $2)) and (tags @> $3))",
       {group({"b", "c"}), group({"a"}), group({"s", "d"})}},
      {"lists are printed in order before the group",
       [](QueryMaker& m) {
         m.subject({"s"});
         m.subject({}, m.any({m.tag("a"), m.tag("b")}));
         m.subject({"t"}, m.any({m.tag("c"), m.tag("d")}));
       },
       "((tags && $1) and (tags && $2) and (tags @> $3))",
       {group({"a", "b"}), group({"c", "d"}), group({"s", "t"})}},
      {"double negation is dropped too",
       [](QueryMaker& m) { m.subject({}, m.neg(m.neg(m.tag("a")))); }, "true", {}},
      {"empty any-list never holds",
       [](QueryMaker& m) { m.subject({"a"}, m.all({m.any({}), m.any({m.tag("b"), m.any({})})})); },
       "(false and (tags @> $1))", {group({"a", "b"})}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QueryMaker m;
    c.build(m);
    expect_sql(m.q, 0, c.text, c.params);
    auto [rt, rp] = reference(m.q, 0);
    EXPECT_EQ(rt, c.text);
    EXPECT_EQ(rp, c.params);
  }
}

// ---------------------------------------------------------------------------
// Random queries against the reference.

class RandomQueries {
 public:
  RandomQueries(unsigned seed, std::vector<std::string> tags) : rng_(seed), tags_(std::move(tags)) {}

  Query make() {
    QueryMaker m;
    int subjects = pick(0, 4);
    for (int s = 0; s < subjects; ++s) {
      std::vector<std::string> ids;
      int n = pick(0, 2);
      for (int i = 0; i < n; ++i) ids.push_back(any_tag());
      m.subject(std::move(ids), expr(m, pick(0, 5)));
    }
    return std::move(m.q);
  }

  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

 private:
  std::string any_tag() { return tags_[static_cast<std::size_t>(pick(0, static_cast<int>(tags_.size()) - 1))]; }

  ExprId expr(QueryMaker& m, int depth) {
    int k = depth == 0 ? 0 : pick(0, 9);
    if (k <= 3) return m.tag(any_tag());
    if (k == 4) return m.neg(expr(m, depth - 1));
    std::vector<ExprId> items;
    int n = pick(0, 10) == 0 ? 0 : pick(1, 4);
    for (int i = 0; i < n; ++i) items.push_back(expr(m, depth - 1));
    bool all = pick(0, 1) == 0;
    if (n == 0 && pick(0, 3) != 0) all = true;  // mostly the usual empty all-list
    return m.q.exprs.add_list(std::move(items), all);
  }

  std::mt19937 rng_;
  std::vector<std::string> tags_;
};

TEST(Sql, MatchesRecursiveDefinitionOnRandomQueries) {
  RandomQueries gen(20240611u, {"a", "b", "c", "d", "e"});
  int non_trivial = 0;
  for (int round = 0; round < 20000; ++round) {
    Query q = gen.make();
    std::size_t args_len = static_cast<std::size_t>(gen.pick(0, 3));
    SqlOutput out = to_sql(q, args_len);
    auto [text, params] = reference(q, args_len);
    ASSERT_EQ(out.text, text) << "round " << round;
    ASSERT_EQ(owned(out.params), params) << "round " << round;
    if (params.size() >= 2) ++non_trivial;
  }
  EXPECT_GT(non_trivial, 2000);  // the generator does produce varied queries
}

// Splits the text into the fixed pieces of the output; false when something
// else is found. Returns the placeholder numbers in text order.
bool only_fixed_pieces(std::string_view t, std::vector<std::size_t>& numbers) {
  static const std::string_view pieces[] = {"(tags @> array[", "])", "(tags ", "@>", "&&", " and ",
                                            " or ", "true", "false", " ", ")", "("};
  while (!t.empty()) {
    if (t[0] == '$') {
      std::size_t i = 1;
      std::size_t n = 0;
      while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) n = n * 10 + static_cast<std::size_t>(t[i++] - '0');
      if (i == 1) return false;
      numbers.push_back(n);
      t.remove_prefix(i);
      continue;
    }
    bool found = false;
    for (std::string_view p : pieces) {
      if (t.starts_with(p)) {
        t.remove_prefix(p.size());
        found = true;
        break;
      }
    }
    if (!found) return false;
  }
  return true;
}

TEST(Sql, ValuesNeverAppearInText) {
  const std::vector<std::string> nasty = {
      "'",  "\"", "\\", ";", "'; DROP TABLE subjects; --", "a' OR '1'='1", "SELECT * FROM x",
      "\\'", "--", "/* x */", "NULL", "UNION", "\xc3\xa9t\xc3\xa9", "", "$$", "E'\\x41'"};
  RandomQueries gen(77u, nasty);
  for (int round = 0; round < 3000; ++round) {
    Query q = gen.make();
    std::size_t args_len = static_cast<std::size_t>(gen.pick(0, 50));
    SqlOutput out = to_sql(q, args_len);
    std::vector<std::size_t> numbers;
    ASSERT_TRUE(only_fixed_pieces(out.text, numbers)) << out.text;
    // Each value has exactly one placeholder, numbered in append order.
    ASSERT_EQ(numbers.size(), out.params.size()) << out.text;
    for (std::size_t i = 0; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], args_len + i + 1) << out.text;
    auto [text, params] = reference(q, args_len);
    ASSERT_EQ(out.text, text);
    ASSERT_EQ(owned(out.params), params);
  }
}

// ---------------------------------------------------------------------------
// Deep queries on a 256 KiB stack.

const std::size_t kDeep = scaled(1000000);

TEST(Sql, MillionNestedNegations) {
  // { *: -(-(-( ... a))) } and { s: a, -(b, -(b, ... z)) }
  std::string text = "{ *: ";
  for (std::size_t i = 0; i < kDeep; ++i) text += "-(";
  text += "a" + std::string(kDeep, ')') + " }\n{ s: a, ";
  for (std::size_t i = 0; i < kDeep; ++i) text += "-(b, ";
  text += "z" + std::string(kDeep, ')') + " }";
  Query q = compiled(text);
  SqlOutput out;
  run_on_small_stack([&] { out = to_sql(q, 0); });
  EXPECT_EQ(out.text, "(tags @> $1)");
  EXPECT_EQ(owned(out.params), std::vector<Param>{group({"s", "a"})});
}

TEST(Sql, MillionNestedAlternatingLists) {
  // { *: (a/(b,(a/(b, ... (b, z)))) }: level k is an any-list for even k and
  // an all-list for odd k; the innermost holds two tags.
  std::string text = "{ *: ";
  for (std::size_t k = 0; k < kDeep; ++k) text += k % 2 ? "(b," : "(a/";
  text += "z" + std::string(kDeep, ')') + " }";
  Query q = compiled(text);
  SqlOutput out;
  run_on_small_stack([&] { out = to_sql(q, 3); });

  // Each level prints its inner list first, then its own one-tag group.
  std::string expected(kDeep - 1, '(');
  expected += "(tags @> $4)";  // kDeep - 1 is odd
  for (std::size_t k = kDeep - 1, n = 5; k-- > 0; ++n) {
    expected += k % 2 ? " and (tags @> $" : " or (tags && $";
    expected += std::to_string(n) + "))";
  }
  EXPECT_TRUE(out.text == expected) << "texts differ; sizes " << out.text.size() << " vs " << expected.size();
  ASSERT_EQ(out.params.size(), kDeep);
  EXPECT_EQ(owned({out.params.front()}), std::vector<Param>{group({"b", "z"})});
  EXPECT_EQ(owned({out.params[1]}), std::vector<Param>{group({"a"})});
  EXPECT_EQ(owned({out.params.back()}), std::vector<Param>{group({"a"})});
}

TEST(Sql, MillionNestedSameKindListsSpliceInLinearTime) {
  // (a0, (a1, (a2, ...))) built without folding: every level is spliced.
  QueryMaker m;
  ExprId e = m.tag("last");
  for (std::size_t k = 0; k < kDeep; ++k) e = m.all({m.tag(k % 2 ? "p" : "q"), m.any({m.neg(m.tag("n")), m.tag("o")}), e});
  m.subject({}, e);
  SqlOutput out;
  run_on_small_stack([&] { out = to_sql(m.q, 0); });
  EXPECT_EQ(out.text, "(tags @> $1)");
  ASSERT_EQ(out.params.size(), 1u);
  const auto& g = std::get<std::vector<std::string_view>>(out.params[0]);
  ASSERT_EQ(g.size(), kDeep + 1);
  EXPECT_EQ(g[0], "p");  // outermost level was k = kDeep - 1 (odd)
  EXPECT_EQ(g[1], "q");
  EXPECT_EQ(g[kDeep], "last");
}

}  // namespace
}  // namespace lumo
