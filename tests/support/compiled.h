// Test helpers: a query or an indexed graph from text, failing the current
// test when the text does not build.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "eval/index.h"
#include "model/query.h"
#include "model/tag_graph.h"
#include "shortcuts.h"

namespace lumo {

inline Query query_of(const std::string& text) {
  auto q = compile_query(text);
  EXPECT_TRUE(q.ok()) << "query does not build: " << text;
  return std::move(q).value();
}

// Built without the duplicate checks, as tests of matching want.
inline IndexedGraph graph_of(const std::string& text) {
  auto g = compile_tag_graph(text, /*validate=*/false);
  EXPECT_TRUE(g.ok()) << "graph does not build: " << text;
  return build_index(std::move(g).value());
}

}  // namespace lumo
