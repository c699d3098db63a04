// The match memo keeps what it is told in each of its forms: a byte per
// pair in the match's arena, a byte per pair from the allocator or (from
// ZeroedPages::kMapFrom pairs) mapped from the system, and the hash table
// that large query-graph products fall back to.
#include <gtest/gtest.h>

#include <map>
#include <memory_resource>
#include <random>
#include <string>
#include <utility>

#include "eval/feasibility.h"

namespace lumo {
namespace {

struct Form {
  const char* name;
  std::size_t queries, subjects, dense_pairs;
};

class PairMemoTest : public ::testing::TestWithParam<Form> {};

TEST_P(PairMemoTest, GivesBackWhatWasSetAndUnknownElsewhere) {
  const Form f = GetParam();
  std::pmr::monotonic_buffer_resource arena;
  PairMemo memo(f.queries, f.subjects, &arena, f.dense_pairs);
  std::map<std::pair<SubjectIndex, SubjectIndex>, Memo> expected;
  std::mt19937 rng(11);
  const Memo values[] = {Memo::True, Memo::False, Memo::Dead};
  for (int step = 0; step < 20000; ++step) {
    const SubjectIndex q = rng() % f.queries, g = rng() % f.subjects;
    if (rng() % 3 == 0) {
      const Memo v = values[rng() % 3];
      memo.set(q, g, v);
      expected[{q, g}] = v;
    } else {
      auto it = expected.find({q, g});
      ASSERT_EQ(memo.get(q, g), it == expected.end() ? Memo::Unknown : it->second)
          << f.name << " q=" << q << " g=" << g;
    }
  }
  // The corners of the (q, g) grid are pairs of their own.
  memo.set(f.queries - 1, f.subjects - 1, Memo::Dead);
  EXPECT_EQ(memo.get(f.queries - 1, f.subjects - 1), Memo::Dead);
  if (f.queries * f.subjects > 1) {
    memo.set(0, 0, Memo::True);
    EXPECT_EQ(memo.get(0, 0), Memo::True);
    EXPECT_EQ(memo.get(f.queries - 1, f.subjects - 1), Memo::Dead);
  }
}

// A memo starts out knowing nothing, also where the one before it, freed
// just now, left its answers in the same memory.
TEST(PairMemo, NewMemoForgetsTheLastOne) {
  for (const std::size_t subjects : {std::size_t{5000}, std::size_t{50000}}) {
    std::pmr::monotonic_buffer_resource arena;
    for (int round = 0; round < 3; ++round) {
      PairMemo memo(40, subjects, &arena);
      for (SubjectIndex q = 0; q < 40; ++q) {
        for (SubjectIndex g = 0; g < subjects; g += 97) {
          ASSERT_EQ(memo.get(q, g), Memo::Unknown) << subjects << " round " << round;
          memo.set(q, g, Memo::Dead);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, PairMemoTest,
    ::testing::Values(Form{"arena bytes", 7, 100, PairMemo::kDensePairs},
                      Form{"system bytes", 40, 5000, PairMemo::kDensePairs},
                      Form{"mapped bytes", 40, 50000, PairMemo::kDensePairs},
                      Form{"hash table", 40, 5000, 0}, Form{"hash table, one pair", 1, 1, 0},
                      Form{"one pair", 1, 1, PairMemo::kDensePairs}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& c : name) c = (c == ' ' || c == ',') ? '_' : c;
      return name;
    });

}  // namespace
}  // namespace lumo
