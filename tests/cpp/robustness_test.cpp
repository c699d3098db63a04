// Random texts through every stage: whatever the input, each stage either
// succeeds or reports an error, and the sanitized build sees no memory or
// undefined-behaviour fault on the way. Texts are drawn from the language's
// own punctuation, tag characters, quotes, escapes, white space of every kind
// and invalid UTF-8, so most of them get deep into the grammar before failing.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "eval/collect.h"
#include "eval/index.h"
#include "eval/match.h"
#include "model/query.h"
#include "model/tag_graph.h"
#include "output/sql.h"
#include "syntax/parser.h"
#include "syntax/report.h"
#include "shortcuts.h"

namespace lumo {
namespace {

const std::vector<std::string> kPieces = {
    "{", "}", "[", "]", "(", ")", ",", "/", "-", "*", "@", ">", ":", ".", "//", " ", "  ",
    "\t", "\n", "\r\n", "\r", "a", "b", "x y", "context", "'", "_", "\u00b7", "\u00e9", "\u216b",
    "\"", "\"q\"", "\\", "\\u", "\\uD83D", "\\uDE00", "\\u+041", "\\n", "\u00a0", "\u2028",
    "\x0c", "\xff", "\xc3", "\xe2\x82", "\xf0\x9f\x98\x80", "1", "-a", "@a", "@a.b", "(@a)",
    "> @a", "{ a ", "{ * > @a }", "[k:v]", "[-k:v, a:b]"};

std::string random_text(std::mt19937_64& rng) {
  std::uniform_int_distribution<std::size_t> len(0, 24);
  std::uniform_int_distribution<std::size_t> pick(0, kPieces.size() - 1);
  std::string out;
  for (std::size_t n = len(rng); n > 0; --n) out += kPieces[pick(rng)];
  return out;
}

TEST(Robustness, RandomTextsThroughEveryStage) {
  std::mt19937_64 rng(12345);
  std::size_t parsed = 0, queries = 0, graphs = 0, matched = 0;
  std::vector<Query> kept;
  for (int i = 0; i < 20000; ++i) {
    const std::string text = random_text(rng);
    auto doc = parse_document(text);
    if (!doc.ok()) {
      const ParseErrorReport& r = doc.error();
      ASSERT_LE(r.offset, r.text.size()) << text;
      const std::string msg = render_report(r);
      ASSERT_NE(msg.find('^'), std::string::npos) << text;
      continue;
    }
    ++parsed;
    auto q = compile_query(text);
    if (q.ok()) {
      ++queries;
      SqlOutput sql = to_sql(q.value(), 0);
      ASSERT_FALSE(sql.text.empty());
      if (kept.size() < 64) kept.push_back(std::move(q).value());
    } else {
      ASSERT_FALSE(render_build_error(q.error()).empty());
    }
    for (bool validate : {true, false}) {
      auto g = compile_tag_graph(text, validate);
      if (!g.ok()) continue;
      ++graphs;
      GraphState state(std::move(g).value());
      const IndexedGraph& index = ensure_index(state);
      ASSERT_FALSE(collect_tags(index).empty());
      for (const Query& query : kept) matched += is_match(query, index) ? 1 : 0;
    }
  }
  std::printf("parsed %zu, queries %zu, graphs %zu, matches %zu\n", parsed, queries, graphs, matched);
  // The generator reaches every stage often enough to mean something.
  EXPECT_GT(parsed, 1000u);
  EXPECT_GT(queries, 500u);
  EXPECT_GT(graphs, 500u);
  EXPECT_GT(matched, 0u);
}

}  // namespace
}  // namespace lumo
