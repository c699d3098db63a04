// Malformed UTF-8 on every way from text to a built object: the direct graph
// reader (read_graph_index, and load_tag_graph, which falls back to the full
// parser), the full parser and builder (compile_tag_graph), and the query
// builder. They give one answer for each text of kUtf8Placements: the same
// error, message and position, or the same graph with the bytes as written.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "eval/collect.h"
#include "reader/reader.h"
#include "eval/index.h"
#include "index_dump.h"
#include "malformed_utf8.h"
#include "model/query.h"
#include "model/tag_graph.h"
#include "shortcuts.h"

namespace lumo {
namespace {

class MalformedGraph : public ::testing::TestWithParam<MalformedUtf8> {};

TEST_P(MalformedGraph, EveryPathGivesTheSameAnswer) {
  const MalformedUtf8& bad = GetParam();
  for (const Utf8Placement& place : kUtf8Placements) {
    SCOPED_TRACE(place.where);
    const std::string text = placed_text(place, bad);
    const std::string error = placed_error(place, bad);
    for (const bool validate : {true, false}) {
      SCOPED_TRACE(validate ? "validated" : "not validated");
      auto read = read_graph_index(text, validate);
      auto loaded = load_tag_graph(text, validate);
      auto built = compile_tag_graph(text, validate);
      if (!error.empty()) {
        ASSERT_FALSE(read.ok());
        EXPECT_EQ(read.error(), ReadStop::Declined);
        ASSERT_FALSE(loaded.ok());
        ASSERT_FALSE(built.ok());
        EXPECT_EQ(render_build_error(loaded.error()), error);
        EXPECT_EQ(render_build_error(built.error()), error);
        continue;
      }
      ASSERT_TRUE(read.ok());
      ASSERT_TRUE(loaded.ok());
      ASSERT_TRUE(built.ok()) << render_build_error(built.error());
      const std::string want = dump_index(build_index(std::move(built).value()));
      EXPECT_EQ(dump_index(read.value()), want);
      EXPECT_EQ(dump_index(ensure_index(loaded.value())), want);
    }
    auto query = compile_query(text);
    if (error.empty()) {
      EXPECT_TRUE(query.ok()) << render_build_error(query.error());
    } else {
      ASSERT_FALSE(query.ok());
      EXPECT_EQ(render_build_error(query.error()), error);
    }
  }
}

// The bytes of quoted tags and names are kept as written: a relation path
// finds the subject whose quoted name has the same bytes.
TEST_P(MalformedGraph, QuotedBytesAreKeptAndResolved) {
  const std::string_view bytes = GetParam().bytes;
  const std::string text = with_sequence("{ b { \"c%\" } x { * > @b.\"c%\" : \"t%\" } }", bytes);
  auto read = read_graph_index(text, true);
  ASSERT_TRUE(read.ok());
  const IndexedGraph& g = read.value();
  const auto tags = collect_tag_views(g);
  EXPECT_NE(std::find(tags.begin(), tags.end(), with_sequence("t%", bytes)), tags.end());
  EXPECT_NE(std::find(tags.begin(), tags.end(), with_sequence("c%", bytes)), tags.end());
  ASSERT_EQ(g.relations.size(), 1u);
  // Subjects: the root 0, b 1, "c…" 2, x 3 and the relation subject 4.
  EXPECT_EQ(g.relations[0].first, (RelationKey{4, 3, 2}));
  auto built = compile_tag_graph(text, true);
  ASSERT_TRUE(built.ok());
  EXPECT_EQ(dump_index(g), dump_index(build_index(std::move(built).value())));
}

INSTANTIATE_TEST_SUITE_P(Utf8, MalformedGraph, ::testing::ValuesIn(kMalformedUtf8),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumo
