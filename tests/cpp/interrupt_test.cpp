// The interrupt hook: every long stage stops when asked, reports it, and
// leaves its inputs usable.
#include <gtest/gtest.h>

#include <string>

#include "eval/collect.h"
#include "eval/index.h"
#include "eval/match.h"
#include "model/query.h"
#include "model/tag_graph.h"
#include "output/sql.h"
#include "stop_after.h"
#include "shortcuts.h"

namespace lumo {
namespace {

std::string flat_graph(int n) {
  std::string t = "{";
  for (int i = 0; i < n; ++i) t += "\n s" + std::to_string(i) + ": t" + std::to_string(i % 7);
  return t + " }";
}

TEST(Interrupt, IndexBuildLeavesTheGraphUnindexedAndReusable) {
  auto built = compile_tag_graph(flat_graph(5000), true);
  ASSERT_TRUE(built.ok());
  GraphState state(std::move(built).value());
  StopAfter stop(1);
  EXPECT_EQ(state.ensure_index(&stop), nullptr);
  EXPECT_GE(stop.asked(), 1u);
  const IndexedGraph* x = state.ensure_index(nullptr);
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->size(), 5001u);
  EXPECT_EQ(collect_tags(*x).size(), 5000u + 7u + 1u);  // names, t0..t6, context
}

TEST(Interrupt, HookThatNeverStopsChangesNothing) {
  auto q = compile_query("{ s17: t3 }");
  auto g = compile_tag_graph(flat_graph(5000), true);
  ASSERT_TRUE(q.ok() && g.ok());
  StopAfter never(SIZE_MAX);
  auto x = build_index(g.value(), &never);
  ASSERT_TRUE(x.ok());
  auto m = is_match(q.value(), x.value(), &never);
  ASSERT_TRUE(m.ok());
  EXPECT_TRUE(m.value());
}

TEST(Interrupt, PollStaysStoppedWithoutAskingAgain) {
  StopAfter stop(1);
  InterruptPoll poll(&stop);
  std::size_t ticks = 0;
  while (!poll.tick()) ++ticks;
  EXPECT_EQ(ticks + 1, InterruptPoll::kStride);
  for (int i = 0; i < 5000; ++i) ASSERT_TRUE(poll.tick()) << i;
  EXPECT_TRUE(poll.stopped());
  EXPECT_EQ(stop.asked(), 1u);
}

}  // namespace
}  // namespace lumo
