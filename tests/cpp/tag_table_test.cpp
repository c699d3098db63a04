// The string table: ids are dense and stable, texts come back exactly, and
// lookups stay right across growth and across the switch from slots that
// carry hash bits to bare ids (brought forward here with few id bits).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eval/tag_table.h"

namespace lumo {
namespace {

class TagTableTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(TagTableTest, InternFindAndTextAgreeAcrossGrowth) {
  TagTable table(GetParam());
  std::vector<std::string> texts;
  for (int i = 0; i < 3000; ++i) texts.push_back("t" + std::to_string(i * 7919 % 3001));
  texts.push_back("");                   // the empty string is a string like any other
  texts.push_back(std::string(300, 'x'));  // longer than the hash's short path
  std::vector<TagId> ids;
  for (const std::string& t : texts) ids.push_back(table.intern(t));
  ASSERT_EQ(table.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(texts[i]);
    EXPECT_EQ(ids[i], i);  // new strings are numbered in order
    EXPECT_EQ(table.text(ids[i]), texts[i]);
    EXPECT_EQ(table.find(texts[i]), ids[i]);
    EXPECT_EQ(table.intern(texts[i]), ids[i]);  // again: no new id
  }
  EXPECT_EQ(table.size(), texts.size());
  EXPECT_EQ(table.find("t3001"), kNoTag);
  EXPECT_EQ(table.find("absent"), kNoTag);
}

// 24 is the default; 4 and 8 switch to bare ids after 15 and 255 strings.
INSTANTIATE_TEST_SUITE_P(IdBits, TagTableTest, ::testing::Values(24u, 8u, 4u));

TEST(TagTable, ReserveKeepsWhatIsThere) {
  TagTable table;
  const TagId a = table.intern("alpha");
  table.reserve(10000, 100000);
  EXPECT_EQ(table.find("alpha"), a);
  EXPECT_EQ(table.intern("beta"), a + 1);
  EXPECT_EQ(table.text(a + 1), "beta");
}

}  // namespace
}  // namespace lumo
