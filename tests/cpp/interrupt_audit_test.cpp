// The interrupt audit: the most work done between two polls stays under a
// fixed bound however large the input.
//
// The tests build the core with LUMO_INTERRUPT_AUDIT: every loop body counts
// its turns with audit_work() whether or not it ticks, and each question to
// the hook records the longest stretch of counted work since the one before
// (base/interrupt.h). Each family below runs the stages it stresses at two
// sizes, the larger one four times the smaller and large enough that a loop
// left without ticks (one turn per subject, tag, byte / 16...) would pass
// the bound on its own; both must stay under it. (The audit counts per
// thread: these run on the test's own thread.)
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "base/interrupt.h"
#include "eval/collect.h"
#include "eval/explain.h"
#include "reader/reader.h"
#include "eval/index.h"
#include "eval/match.h"
#include "model/query.h"
#include "model/tag_graph.h"
#include "output/sql.h"
#include "stop_after.h"
#include "syntax/parser.h"

#if !defined(LUMO_INTERRUPT_AUDIT)
#error "the tests need the core built with the interrupt audit (lumo_core_audit)"
#endif

namespace lumo {
namespace {

// The bound on the work between two polls: four times the work of one
// stride of ticks at kTurnsPerUnit turns per unit.
constexpr std::uint64_t kBound =
    4 * std::uint64_t{InterruptPoll::kStride} * InterruptPoll::kTurnsPerUnit;

struct Stretch {
  std::uint64_t longest = 0;
  std::uint64_t polls = 0;
};

// The longest stretch of work between two polls while `run` runs.
Stretch audit(const std::function<void()>& run) {
  interrupt_audit::reset();
  run();
  return {interrupt_audit::longest_stretch(), interrupt_audit::polls()};
}

// --- inputs -------------------------------------------------------------------

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::string num(std::size_t i) { return std::to_string(i); }

// n subjects side by side, each with a tag of its own and one of seven.
std::string siblings(std::size_t n) {
  std::string t = "{\n";
  for (std::size_t i = 0; i < n; ++i)
    t += " s" + num(i) + ": " + (i % 2 ? "red" : "blue") + ", w" + num(i) + "\n";
  return t + "}";
}

// A chain n deep.
std::string chain(std::size_t n) {
  std::string t = "{";
  for (std::size_t i = 0; i < n; ++i) t += "s" + num(i) + " { ";
  return t + std::string(n, '}') + "}";
}

// A query of n subjects whose tags use every operator.
std::string flat_query(std::size_t n) {
  std::string t = "{\n";
  for (std::size_t i = 0; i < n; ++i)
    t += " s" + num(i) + ": t" + num(i % 1000) + " / w" + num(i) + ", -u" + num(i) + "\n";
  return t + "}";
}

// One subject with n tags.
std::string many_tags(std::size_t n) {
  std::string t = "{ a: t0";
  for (std::size_t i = 1; i < n; ++i) t += ", t" + num(i);
  return t + " }";
}

// One subject with n identities.
std::string many_identities(std::size_t n) {
  std::string t = "{ a(i0";
  for (std::size_t i = 1; i < n; ++i) t += ", i" + num(i);
  return t + ") }";
}

// m tags of kLongTag bytes each.
constexpr std::size_t kLongTag = std::size_t{1} << 16;
std::string long_tags(std::size_t m) {
  std::string t = "{ a: ";
  for (std::size_t i = 0; i < m; ++i) {
    if (i) t += ", ";
    t += std::string(kLongTag - 8, 'x') + num(1000000 + i);
  }
  return t + " }";
}

// A relation whose target path names n subjects, each inside the one before.
std::string long_path(std::size_t n) {
  std::string t = "{ ";
  std::string path = "@a0";
  for (std::size_t i = 0; i < n; ++i) t += "a" + num(i) + " { ";
  t += std::string(n, '}');
  for (std::size_t i = 1; i < n; ++i) path += ".a" + num(i);
  return t + "\n r > " + path + " }";
}

// n relation subjects, each written in a subject of its own and moved to
// the context c.
std::string moved_relations(std::size_t n) {
  std::string t = "{ c: context\n t\n";
  for (std::size_t i = 0; i < n; ++i) t += " x" + num(i) + " { r" + num(i) + " > @t (@c) }\n";
  return t + "}";
}

// A query of n relation subjects to one target: the relation search's setup
// and domains, with a graph of n relations of the wrong target.
std::string relations_query(std::size_t n) {
  return "{ s {\n" + repeat(" * > @z\n", n) + " z\n} }";
}
std::string relations_graph(std::size_t n) {
  std::string g = "{ s {\n z\n x\n";
  for (std::size_t i = 0; i < n; ++i) g += " r" + num(i) + " > @x\n";
  return g + "} }";
}

// n graph subjects in blocks in which every candidate almost fits.
std::string almost_fitting_graph(std::size_t n) {
  const std::size_t blocks = n / 5;
  std::string g = "{\n";
  for (std::size_t i = 0; i < blocks; ++i) {
    g += "s @b" + num(i) + " {\n z\n x\n r > @x\n";
    g += " q > @b" + num((i + 1) % blocks) + ".z\n}\n";
  }
  return g + "}";
}

// Colouring: K(v) into k colours, as relation entries.
std::string clique_query(std::size_t v) {
  std::string q = "{\n";
  for (std::size_t i = 0; i < v; ++i) {
    q += "colour @v" + num(i) + " {\n";
    for (std::size_t j = i + 1; j < v; ++j) q += " * > @v" + num(j) + "\n";
    q += "}\n";
  }
  return q + "}";
}
std::string colour_graph(std::size_t k) {
  std::string g = "{\n";
  for (std::size_t i = 0; i < k; ++i) {
    g += "colour @c" + num(i) + " {\n";
    for (std::size_t j = 0; j < k; ++j)
      if (j != i) g += " e > @c" + num(j) + "\n";
    g += "}\n";
  }
  return g + "}";
}

// --- stages -------------------------------------------------------------------

Query query_of(const std::string& text) {
  auto q = compile_query(text, nullptr);
  EXPECT_TRUE(q.ok()) << text.substr(0, 80);
  return q.ok() ? std::move(q).value() : Query{};
}

// The graph read straight into its index, and the long way (parser, builder,
// index build).
IndexedGraph read_graph(const std::string& text) {
  auto g = load_tag_graph(text, true, nullptr);
  EXPECT_TRUE(g.ok()) << text.substr(0, 80);
  if (!g.ok()) return {};
  const IndexedGraph* x = g.value().ensure_index(nullptr);
  IndexedGraph out;
  if (x != nullptr) {
    // (A copy of the index would view the original's arrays: rebuild.)
    auto again = compile_tag_graph(text, true, nullptr);
    EXPECT_TRUE(again.ok());
    if (again.ok()) out = std::move(build_index(again.value(), nullptr)).value();
  }
  return out;
}

class NeverStop final : public Interrupt {
 public:
  bool should_stop() override { return false; }
};

void sql_of(const Query& q) {
  std::vector<SqlParam> params;
  struct Sink final : SqlParamSink {
    std::size_t n = 0;
    bool append(SqlParam, std::size_t& after) override {
      after = ++n;
      return true;
    }
  } sink;
  std::string text;
  NeverStop never;
  EXPECT_TRUE(to_sql(q, sink, text, &never));
}

void collect_all(const IndexedGraph& g) {
  InterruptPoll poll(nullptr);
  std::size_t n = 0;
  EXPECT_TRUE(for_each_collected(g, [&](std::string_view) { return ++n > 0; }, poll));
  EXPECT_EQ(count_collected(g, poll), n);
}

// --- families -----------------------------------------------------------------

struct Family {
  const char* name;
  std::size_t small;  // the larger size is four times this
  void (*run)(std::size_t n);
};

void PrintTo(const Family& f, std::ostream* os) { *os << f.name; }

const Family kFamilies[] = {
    // A million siblings: the reader, the index, matching over every
    // subject, collection.
    {"Siblings", std::size_t{1} << 18,
     [](std::size_t n) {
       const IndexedGraph g = read_graph(siblings(n));
       EXPECT_FALSE(is_match(query_of("{ * : red, blue, -context }"), g, nullptr).value());
       EXPECT_TRUE(is_match(query_of("{ * : red { } * : blue }"), g, nullptr).value());
       collect_all(g);
     }},
    {"DeepNesting", std::size_t{1} << 15,
     [](std::size_t n) {
       const std::string text = chain(n);
       const IndexedGraph g = read_graph(text);
       const Query q = query_of(text);
       EXPECT_TRUE(is_match(q, g, nullptr).value());
       sql_of(q);
       collect_all(g);
     }},
    {"FlatQuery", std::size_t{1} << 15,
     [](std::size_t n) {
       const Query q = query_of(flat_query(n));
       sql_of(q);
       EXPECT_FALSE(is_match(q, read_graph(siblings(64)), nullptr).value());
     }},
    {"ManyTags", std::size_t{1} << 15,
     [](std::size_t n) {
       const std::string text = many_tags(n);
       const IndexedGraph g = read_graph(text);
       EXPECT_TRUE(is_match(query_of(text), g, nullptr).value());
       collect_all(g);
     }},
    {"ManyIdentities", std::size_t{1} << 15,
     [](std::size_t n) { (void)read_graph(many_identities(n)); }},
    {"LongTags", 4,
     [](std::size_t m) {
       const std::string text = long_tags(m);
       const IndexedGraph g = read_graph(text);
       EXPECT_TRUE(is_match(query_of(text), g, nullptr).value());
     }},
    {"LongRelationPath", std::size_t{1} << 13,
     [](std::size_t n) {
       const std::string text = long_path(n);
       const IndexedGraph g = read_graph(text);
       EXPECT_TRUE(is_match(query_of(text), g, nullptr).value());
     }},
    {"MovedRelations", std::size_t{1} << 14,
     [](std::size_t n) {
       const std::string text = moved_relations(n);
       const IndexedGraph g = read_graph(text);
       EXPECT_TRUE(is_match(query_of("{ c\n t\n x0 { * > @t (@c) } }"), g, nullptr).value());
     }},
    {"Parentheses", std::size_t{1} << 16,
     [](std::size_t n) {
       const Query q = query_of("{ a: " + std::string(n, '(') + "b" + std::string(n, ')') + " }");
       sql_of(q);
       EXPECT_TRUE(is_match(q, read_graph("{ a: b }"), nullptr).value());
     }},
    {"Negations", std::size_t{1} << 16,
     [](std::size_t n) {
       const Query q = query_of("{ a: " + std::string(n, '-') + "b }");
       sql_of(q);
       EXPECT_EQ(is_match(q, read_graph("{ a: b }"), nullptr).value(), n % 2 == 0);
     }},
    {"AlternatingLists", std::size_t{1} << 14,
     [](std::size_t n) {
       // Any-lists and all-lists nested in turn (nothing to splice), the
       // innermost any-list with a negation: SQL generation and the
       // expression test walk every level.
       const Query q =
           query_of("{ a: " + repeat("b / (c, ", n) + "d / -e" + std::string(n, ')') + " }");
       sql_of(q);
       EXPECT_TRUE(is_match(q, read_graph("{ a: b }"), nullptr).value());
     }},
    {"LongAnyList", std::size_t{1} << 15,
     [](std::size_t n) {
       std::string list = "t0";
       for (std::size_t i = 1; i < n; ++i) list += " / t" + num(i);
       const Query q = query_of("{ * : " + list + " }");
       sql_of(q);
       EXPECT_FALSE(is_match(q, read_graph(siblings(64)), nullptr).value());
     }},
    {"MetaQueries", std::size_t{1} << 15,
     [](std::size_t n) {
       EXPECT_EQ(query_of("[" + repeat("k:v, ", n) + "k:v]").meta_queries.size(), n + 1);
     }},
    {"WhiteSpace", std::size_t{1} << 20,
     [](std::size_t n) {
       // (Spaces right after a tag would belong to it: a token is read
       // whole, see LongTags.)
       const std::string text = std::string(n, ' ') + "{ a" + std::string(n, '\n') + "b:" +
                                std::string(n, ' ') + "c }" + std::string(n, '\t');
       (void)read_graph(text);
       (void)query_of(text);
     }},
    {"Comment", std::size_t{1} << 20,
     [](std::size_t n) {
       const std::string text = "// " + std::string(n, 'x') + "\n{ a }";
       (void)read_graph(text);
       (void)query_of(text);
     }},
    // The relation search: its setup over many entries and relations, its
    // domains over a large graph, and the pigeonhole (cut after a number of
    // polls: the search has no end in a test's time).
    {"RelationEntries", std::size_t{1} << 9,
     [](std::size_t n) {
       EXPECT_FALSE(is_match(query_of(relations_query(n)), read_graph(relations_graph(n)), nullptr)
                        .value());
     }},
    // One entry against a graph of n relations: the domains are set from
    // every relation of the graph.
    {"ManyGraphRelations", std::size_t{1} << 16,
     [](std::size_t n) {
       EXPECT_FALSE(
           is_match(query_of(relations_query(1)), read_graph(relations_graph(n)), nullptr).value());
     }},
    {"AlmostFitting", std::size_t{1} << 12,
     [](std::size_t n) {
       EXPECT_FALSE(
           is_match(query_of(relations_query(4)), read_graph(almost_fitting_graph(n)), nullptr)
               .value());
     }},
    // relation_bench's reproducer: k relation subjects written before their
    // target, against a graph whose one relation has another target.
    {"Reproducer", 256,
     [](std::size_t k) {
       EXPECT_FALSE(is_match(query_of("{ s {\n" + repeat(" * > @z\n", k) + " z\n} }"),
                             read_graph("{ s {\n z\n x0\n r > @x0\n} }"), nullptr)
                        .value());
     }},
    {"NamedTargets", 256,
     [](std::size_t k) {
       // k targets named only by "@tI", then k relation subjects to them;
       // the graph's one relation has another source.
       std::string q = "{ s {\n";
       for (std::size_t i = 0; i < k; ++i) q += " * @t" + num(i) + "\n";
       for (std::size_t i = 0; i < k; ++i) q += " * > @t" + num(i) + "\n";
       EXPECT_FALSE(is_match(query_of(q + "} }"),
                             read_graph("{ s {\n a\n b\n}\n o {\n r > @s.a\n} }"), nullptr)
                        .value());
     }},
    {"Pigeonhole", 8,
     [](std::size_t k) {
       StopAfter stop(2000);
       auto m = is_match(query_of(clique_query(k + 1)), read_graph(colour_graph(k)), &stop);
       EXPECT_TRUE(!m.ok() || !m.value());
     }},
    // explain(): the listing of candidates and the labels over every
    // subject, an assignment of every subject, a walk down a deep chain,
    // and the check of relation entries against every graph relation.
    {"ExplainSiblings", std::size_t{1} << 16,
     [](std::size_t n) {
       const IndexedGraph g = read_graph(siblings(n));
       EXPECT_TRUE(explain_text(query_of("{ * : red, blue, -context }"), g, nullptr).ok());
       EXPECT_TRUE(explain_text(query_of(flat_query(n / 4)), g, nullptr).ok());
     }},
    {"ExplainDeepNesting", std::size_t{1} << 14,
     [](std::size_t n) {
       const std::string text = chain(n);
       const IndexedGraph g = read_graph(text);
       EXPECT_TRUE(explain_text(query_of(text), g, nullptr).ok());
       const std::string stars = "{" + repeat("* { ", n) + "nowhere" + std::string(n, '}') + "}";
       EXPECT_TRUE(explain_text(query_of(stars), g, nullptr).ok());
     }},
    {"ExplainRelationEntries", std::size_t{1} << 9,
     [](std::size_t n) {
       EXPECT_TRUE(
           explain_text(query_of(relations_query(n)), read_graph(relations_graph(n)), nullptr).ok());
     }},
    {"ExplainGraphRelations", std::size_t{1} << 15,
     [](std::size_t n) {
       EXPECT_TRUE(
           explain_text(query_of(relations_query(1)), read_graph(relations_graph(n)), nullptr).ok());
     }},
    // Colouring that fits: K(k) into k colours.
    {"Colouring", 8,
     [](std::size_t k) {
       EXPECT_TRUE(
           is_match(query_of(clique_query(k)), read_graph(colour_graph(k)), nullptr).value());
     }},
};

class InterruptAudit : public ::testing::TestWithParam<Family> {};

TEST_P(InterruptAudit, WorkBetweenPollsStaysUnderTheBound) {
  const Family& f = GetParam();
  const Stretch small = audit([&] { f.run(f.small); });
  const Stretch large = audit([&] { f.run(4 * f.small); });
  std::printf("[audit] %-17s n=%-8zu longest %7llu (%llu polls)   "
              "n=%-8zu longest %7llu (%llu polls)\n",
              f.name, f.small, static_cast<unsigned long long>(small.longest),
              static_cast<unsigned long long>(small.polls), 4 * f.small,
              static_cast<unsigned long long>(large.longest),
              static_cast<unsigned long long>(large.polls));
  EXPECT_LE(small.longest, kBound);
  EXPECT_LE(large.longest, kBound);
  // The larger input did many strides of work: the bound was tested.
  EXPECT_GT(large.polls, 4u);
}

INSTANTIATE_TEST_SUITE_P(Families, InterruptAudit, ::testing::ValuesIn(kFamilies),
                         [](const ::testing::TestParamInfo<Family>& info) {
                           return std::string(info.param.name);
                         });

// The measure is of the work, not of the ticks: a loop that counts turns and
// ticks too seldom shows as a long stretch.
TEST(InterruptAuditMeasure, CountsWorkThatNoTickSplits) {
  const Stretch ticked = audit([] {
    InterruptPoll poll(nullptr);
    for (int i = 0; i < 1 << 20; ++i) (void)poll.turn();
  });
  EXPECT_EQ(ticked.longest, InterruptPoll::kStride);
  EXPECT_GE(ticked.polls, (1u << 20) / InterruptPoll::kStride);
  const Stretch seldom = audit([] {
    InterruptPoll poll(nullptr);
    for (int block = 0; block < 4; ++block) {
      for (int i = 0; i < 1 << 18; ++i) audit_work();
      (void)poll.tick(InterruptPoll::kStride);
    }
  });
  EXPECT_EQ(seldom.longest, std::uint64_t{1} << 18);
  EXPECT_EQ(seldom.polls, 4u);
}

}  // namespace
}  // namespace lumo
