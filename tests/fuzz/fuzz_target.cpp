// Coverage-guided fuzz target over the core (libFuzzer, built with address
// and undefined-behaviour sanitizers; see tests/fuzz/README.md).
//
// Each input text goes through every public stage: it is compiled as a query
// and as a tag graph with validation on and off; a graph that builds is
// indexed, its tags collected, and matched against the query from the same
// text and against a few fixed queries; the query is matched against a few
// fixed graphs, turned into SQL (collected, and through a sink that refuses a
// value part-way) and its meta queries read; every build error is rendered.
// A second pass repeats the fallible stages with an interrupt hook that stops
// at its first question, which drives the unwinding paths on the larger
// inputs. Matching answers are compared with the plain backtracking search
// that the tests keep, on pairs small enough for it.
//
// Besides crashes, leaks and sanitizer reports the target checks what must
// hold for any text, and aborts (a crash to the fuzzer) when it does not:
// errors render to a non-empty message; the direct graph reader reads only
// texts the builder accepts, into the same index; no stage reports
// Interrupted without a hook; a stage that the stopping hook let finish gives
// the same answer as without it; an interrupted index build leaves its graph as it was; every
// collected tag set holds "context" and no tag twice; the SQL's placeholders
// count up from the caller's list length, one per value; meta queries hold
// no more text than the input.
//
// Inputs are capped at kMaxInput bytes: parsing, building, indexing and SQL
// generation are meant to be linear, and on larger inputs a linear but slow
// (sanitized) path would read as a hang. Everything but matching runs
// without a work limit, so a stage that is slower than that shows up as a
// timeout. Matching does not: see WorkBudget.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "eval/collect.h"
#include "eval/index.h"
#include "index_dump.h"
#include "eval/match.h"
#include "match_reference.h"
#include "model/build_error.h"
#include "model/query.h"
#include "model/tag_graph.h"
#include "output/meta.h"
#include "output/sql.h"
#include "reader/reader.h"
#include "stop_after.h"
#include "shortcuts.h"
#include "store/stored_graph.h"

namespace lumo {
namespace {

constexpr std::size_t kMaxInput = 4096;

// Interrupt polls (each InterruptPoll::kStride units of work) that all the
// matching calls for one input share.
constexpr std::size_t kMatchPolls = 32;

[[noreturn]] void fail(const char* what, int line) {
  std::fprintf(stderr, "lumo_fuzz: check failed at fuzz_target.cpp:%d: %s\n", line, what);
  std::abort();
}

#define FUZZ_CHECK(cond)                 \
  do {                                   \
    if (!(cond)) fail(#cond, __LINE__);  \
  } while (0)

// Matching with relation entries is a constraint search, and relation queries
// can express graph colouring, so some short texts take exponential time in
// any matcher: such an input is hard, not faulty. So that the fuzzer does not
// report them as slow inputs, every matching call polls this hook, which
// stops the search once the input's matching calls together have used a
// fixed amount of work; a call cut off that way is only checked for crashes
// and leaks. No other stage gets a budget, so a slow parse, build, index or
// SQL generation still fails as a timeout.
class WorkBudget final : public Interrupt {
 public:
  explicit WorkBudget(std::size_t polls) : left_(polls) {}
  bool should_stop() override {
    if (left_ == 0) return true;
    --left_;
    return false;
  }

 private:
  std::size_t left_;
};

// The plain backtracking search of the tests costs up to the product of
// the query subjects' candidate counts; it is asked only where that product
// is small.
constexpr double kPlainSearchLimit = 20000;

bool plain_search_is_cheap(const Query& query, const IndexedGraph& graph) {
  double product = 1;
  for (std::size_t i = 1; i < query.subjects.size(); ++i) {
    product *= static_cast<double>(graph.size());
    if (product > kPlainSearchLimit) return false;
  }
  return true;
}

// The answer of a matching call, or nothing when the budget cut it off. An
// answer agrees with the plain search wherever that one is cheap.
std::optional<bool> match(const Query& query, const IndexedGraph& graph, WorkBudget& budget) {
  auto r = is_match(query, graph, &budget);
  if (!r.ok()) return std::nullopt;
  if (plain_search_is_cheap(query, graph)) FUZZ_CHECK(r.value() == is_match_plain(query, graph));
  return r.value();
}

// Fixed texts that exercise identities, nesting, relations with implicit and
// explicit contexts, shared targets, quoting and meta queries.
const char* const kFixedGraphs[] = {
    "",
    "{ alice: employee, engineer\n bob(robert): manager { laptop: old }\n alice { phone } }",
    "{ p {\n a: x\n b > @q: y\n c > @q(@r): x, z\n}\n q: z { r }\n r: w }",
    "{ s {\n z\n x0\n r > @x0\n} }",
    "{ \"q r\"(\"s\"): \"t u\", v { * > @\"q r\": v } }",
    "{ a { b { c { d: z } } }\n e(a): y { f > @e.x\n x } }",
};

const char* const kFixedQueries[] = {
    "",
    "x / -context",
    "{ *: x, -y }",
    "{ a { *: z } }",
    "{ * { * > @b }\n b: z }",
    "[k:v, -w:u] { p { * > @q(@r) }\n q\n r }",
};

struct Fixed {
  std::vector<IndexedGraph> graphs;
  std::vector<Query> queries;
};

const Fixed& fixed() {
  static const Fixed f = [] {
    Fixed out;
    for (const char* text : kFixedGraphs) {
      auto g = compile_tag_graph(text, /*validate=*/false);
      if (!g.ok()) fail(text, __LINE__);
      out.graphs.push_back(build_index(std::move(g).value()));
    }
    for (const char* text : kFixedQueries) {
      auto q = compile_query(text);
      if (!q.ok()) fail(text, __LINE__);
      out.queries.push_back(std::move(q).value());
    }
    return out;
  }();
  return f;
}

void check_error(const BuildError& e, bool hooked) {
  FUZZ_CHECK(!render_build_error(e).empty());
  if (!hooked) FUZZ_CHECK(e.kind != BuildErrorKind::Interrupted);
}

// A sink that takes `accept` values and refuses the next.
class RefusingSink final : public SqlParamSink {
 public:
  explicit RefusingSink(std::size_t accept) : accept_(accept) {}
  bool append(SqlParam, std::size_t& length_after) override {
    if (taken_ == accept_) return false;
    length_after = ++taken_;
    return true;
  }

 private:
  std::size_t accept_;
  std::size_t taken_ = 0;
};

// The placeholders of `text` in order: every '$' in the condition starts
// one, since tag texts only travel as values.
std::vector<std::size_t> placeholders(const std::string& text) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '$') continue;
    std::size_t n = 0;
    std::size_t j = i + 1;
    for (; j < text.size() && text[j] >= '0' && text[j] <= '9'; ++j) n = n * 10 + (text[j] - '0');
    FUZZ_CHECK(j > i + 1);
    out.push_back(n);
  }
  return out;
}

void exercise_query(const Query& query, std::size_t text_size, std::size_t seed) {
  const std::size_t args_len = seed % 5;
  SqlOutput sql = to_sql(query, args_len);
  FUZZ_CHECK(!sql.text.empty());
  std::vector<std::size_t> marks = placeholders(sql.text);
  FUZZ_CHECK(marks.size() == sql.params.size());
  for (std::size_t i = 0; i < marks.size(); ++i) FUZZ_CHECK(marks[i] == args_len + i + 1);

  if (!sql.params.empty()) {
    RefusingSink sink(seed % sql.params.size());
    std::string text;
    FUZZ_CHECK(!to_sql(query, sink, text));
  }
  StopAfter stop(1);
  RefusingSink all(SIZE_MAX);
  std::string text;
  if (to_sql(query, all, text, &stop)) FUZZ_CHECK(text == to_sql(query, 0).text);

  // Each meta query is written with at least its ':', and its key and value
  // are texts of the input (quoted ones shrink when decoded).
  std::size_t meta_bytes = 0;
  for (const MetaQuery& m : meta_queries(query)) meta_bytes += 1 + m.key.size() + m.value.size();
  FUZZ_CHECK(meta_bytes <= text_size);
}

std::vector<std::string> sorted_tags(const IndexedGraph& graph) {
  std::vector<std::string> tags = collect_tags(graph);
  std::sort(tags.begin(), tags.end());
  return tags;
}

void run(std::string_view text) {
  const Fixed& f = fixed();
  WorkBudget budget(kMatchPolls);
  const std::size_t seed = text.size() * 31 + (text.empty() ? 0 : static_cast<unsigned char>(text[0]));

  auto query = compile_query(text);
  if (query.ok()) {
    exercise_query(query.value(), text.size(), seed);
    for (const IndexedGraph& g : f.graphs) (void)match(query.value(), g, budget);
  } else {
    check_error(query.error(), false);
  }

  for (bool validate : {true, false}) {
    auto built = compile_tag_graph(text, validate);
    // The direct reader reads only what the builder accepts, into the
    // same index.
    auto read = read_graph_index(text, validate);
    if (!read.ok()) FUZZ_CHECK(read.error() == ReadStop::Declined);
    if (!built.ok()) {
      FUZZ_CHECK(!read.ok());
      check_error(built.error(), false);
      continue;
    }
    TagGraph graph = std::move(built).value();
    TagGraph copy = graph;
    const IndexedGraph index = build_index(std::move(copy));
    FUZZ_CHECK(ranges_fault(index).empty());
    if (read.ok()) FUZZ_CHECK(dump_index(read.value()) == dump_index(index));
    const std::vector<std::string> tags = sorted_tags(index);
    FUZZ_CHECK(std::binary_search(tags.begin(), tags.end(), std::string("context")));
    FUZZ_CHECK(std::adjacent_find(tags.begin(), tags.end()) == tags.end());

    // An index build stopped at its first question leaves the graph as it
    // was: building it again gives the same index.
    StopAfter stop(1);
    auto interrupted = build_index(graph, &stop);
    if (!interrupted.ok()) {
      auto again = build_index(graph, nullptr);
      FUZZ_CHECK(again.ok());
      FUZZ_CHECK(again.value().size() == index.size());
      FUZZ_CHECK(sorted_tags(again.value()) == tags);
    } else {
      FUZZ_CHECK(interrupted.value().size() == index.size());
    }

    // The stored form gives back the same index; with the query's answer.
    std::vector<std::byte> block(store::encoded_size(text, index));
    store::encode(text, index, block.data());
    static store::StoredIndex stored;
    FUZZ_CHECK(stored.load(block) == store::StoredIndex::Load::kOk);
    FUZZ_CHECK(dump_index(stored.graph()) == dump_index(index));
    FUZZ_CHECK(store::stored_text(block) == text);

    for (const Query& q : f.queries) (void)match(q, index, budget);
    if (query.ok()) {
      std::optional<bool> self = match(query.value(), index, budget);
      StopAfter first(1);
      auto early = is_match(query.value(), index, &first);
      if (early.ok() && self.has_value()) FUZZ_CHECK(early.value() == *self);
    }
  }

  // The interrupted pass over the compiling stages: the hook may stop them,
  // but if they finish they agree with the plain run.
  StopAfter stop_query(1);
  auto q2 = compile_query(text, &stop_query);
  if (q2.ok()) {
    FUZZ_CHECK(query.ok());
  } else {
    check_error(q2.error(), true);
    if (q2.error().kind != BuildErrorKind::Interrupted) {
      FUZZ_CHECK(!query.ok() && query.error().kind == q2.error().kind);
    }
  }
  StopAfter stop_graph(1);
  auto g2 = compile_tag_graph(text, true, &stop_graph);
  if (!g2.ok()) check_error(g2.error(), true);

  // The input as a stored block: refused, or an index matching can rely on.
  static store::StoredIndex raw;
  if (raw.load({reinterpret_cast<const std::byte*>(text.data()), text.size()}) ==
      store::StoredIndex::Load::kOk) {
    FUZZ_CHECK(ranges_fault(raw.graph()).empty());
    (void)dump_index(raw.graph());
  }
}

}  // namespace
}  // namespace lumo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > lumo::kMaxInput) return -1;  // not kept in the corpus
  lumo::run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
