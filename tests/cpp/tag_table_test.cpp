// The string table: ids are dense and stable, texts come back exactly, and
// lookups stay right across growth and across the switch from slots that
// carry hash bits to bare ids (brought forward here with few id bits).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/bytes.h"
#include "base/huge_pages.h"
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

// The views a finished index reads through (the table's own arrays, or a
// packed copy) answer as the table does; a table cleared for the next graph,
// even one moved from, starts again from id 0.
TEST_P(TagTableTest, ViewsAnswerAsTheTableAndClearStartsOver) {
  TagTable table(GetParam());
  std::vector<std::string> texts{"", "a", std::string(40, 'y')};
  for (int i = 0; i < 500; ++i) texts.push_back("s" + std::to_string(i));
  for (const std::string& t : texts) table.intern(t);
  std::vector<std::uint64_t> block(table.packed_bytes() / 8);
  const TagView packed = table.pack_into(reinterpret_cast<std::byte*>(block.data()));
  TagTable moved = std::move(table);
  for (const TagView& view : {packed, moved.view()}) {
    ASSERT_EQ(view.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      EXPECT_EQ(view.find(texts[i]), i) << texts[i];
      EXPECT_EQ(view.text(static_cast<TagId>(i)), texts[i]);
    }
    EXPECT_EQ(view.find("s500"), kNoTag);
  }
  for (TagTable* t : {&table, &moved}) {
    t->clear(4, 16);
    EXPECT_EQ(t->size(), 0u);
    EXPECT_EQ(t->find("a"), kNoTag);
    EXPECT_EQ(t->intern("s7"), 0u);
    EXPECT_EQ(t->intern(std::string(40, 'y')), 1u);
    EXPECT_EQ(t->find("s7"), 0u);
    EXPECT_EQ(t->text(1), std::string(40, 'y'));
  }
  EXPECT_EQ(TagView().find("a"), kNoTag);
}

// Clearing for a graph of the same size reuses the slots as they are: the
// old strings are gone, and the table still grows when the new graph has
// more strings than it was cleared for.
TEST_P(TagTableTest, ClearToTheSameSizeStartsOverAndStillGrows) {
  TagTable table(GetParam());
  for (int round = 0; round < 3; ++round) {
    table.clear(12, 64);
    EXPECT_EQ(table.find("w0"), kNoTag) << round;
    const int n = round == 0 ? 12 : 400;
    for (int i = 0; i < n; ++i) ASSERT_EQ(table.intern("w" + std::to_string(i)), TagId(i));
    for (int i = 0; i < n; ++i) EXPECT_EQ(table.find("w" + std::to_string(i)), TagId(i));
    EXPECT_EQ(table.size(), static_cast<std::size_t>(n));
  }
}

// A table cleared for a large graph gives new strings their slots in
// batches. Repeats close enough to meet a string still waiting for its slot,
// lookups before and after the batches settle, growth past the size cleared
// for and the switch to bare ids all keep the ids a plain map gives.
TEST_P(TagTableTest, LargeTablesNumberAsAPlainMap) {
  TagTable table(GetParam());
  table.clear(100000, 1 << 20);
  std::unordered_map<std::string, TagId> reference;
  std::vector<std::string> order;
  auto intern = [&](const std::string& t) {
    const TagId want = reference.try_emplace(t, static_cast<TagId>(reference.size())).first->second;
    ASSERT_EQ(table.intern(t), want) << t;
  };
  for (int i = 0; i < 150000; ++i) {
    const std::string t = "n" + std::to_string(i);
    intern(t);
    if (i % 3 == 0) intern("n" + std::to_string(i - i % 7));  // often still waiting
    if (i % 5 == 0) intern("tag" + std::to_string(i % 11));   // common tags
    if (i % 1000 == 999) {  // lookups while some strings wait
      EXPECT_EQ(table.find(t), reference[t]);
      EXPECT_EQ(table.find("n" + std::to_string(i + 1)), kNoTag);
    }
  }
  table.settle();
  ASSERT_EQ(table.size(), reference.size());
  const TagView view = table.view();
  for (const auto& [t, id] : reference) {
    ASSERT_EQ(view.find(t), id) << t;
    ASSERT_EQ(table.text(id), t);
  }
  EXPECT_EQ(view.find("n150000"), kNoTag);

  // Many lookups at once answer as one at a time, for any count.
  std::vector<std::string> asked;
  for (int i = 0; i < 200; ++i) asked.push_back((i % 3 ? "n" : "m") + std::to_string(i * 997));
  asked.push_back("");
  asked.push_back(std::string(40, 'n'));
  const std::vector<std::string_view> names(asked.begin(), asked.end());
  for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{7}, names.size()}) {
    std::vector<TagId> got(count, 12345);
    table.find_many(names.data(), got.data(), count);
    for (std::size_t k = 0; k < count; ++k) ASSERT_EQ(got[k], table.find(names[k])) << names[k];
  }
}

// Arrays from a huge page up sit on a huge page boundary (where the system
// can back them with huge pages); smaller ones come from the usual heap.
// Both hold what is written to them, and a vector grows across the line.
TEST(HugeAllocator, AlignsLargeArraysAndKeepsContents) {
  HugeAllocator<std::uint32_t> alloc;
  const std::size_t large = huge_detail::kHugeFrom / sizeof(std::uint32_t) + 5;
  std::uint32_t* p = alloc.allocate(large);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % huge_detail::kHugePage, 0u);
  for (std::size_t i = 0; i < large; i += 4096) p[i] = static_cast<std::uint32_t>(i);
  p[large - 1] = 7;
  for (std::size_t i = 0; i < large; i += 4096) EXPECT_EQ(p[i], i);
  EXPECT_EQ(p[large - 1], 7u);
  alloc.deallocate(p, large);

  std::vector<std::uint32_t, HugeAllocator<std::uint32_t>> v;
  for (std::uint32_t i = 0; i < large; ++i) v.push_back(i);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % huge_detail::kHugePage, 0u);
  for (std::size_t i = 0; i < large; i += 999) EXPECT_EQ(v[i], i);
  v.resize(10);
  v.shrink_to_fit();
  EXPECT_EQ(v.back(), 9u);
}

// The byte compare behind lookups (which the hash bits rarely let a table
// reach): every length up to past its short path, equal, and differing in
// any one byte.
TEST(TagTable, ByteCompareSeesEveryByte) {
  for (std::size_t len = 0; len <= 24; ++len) {
    const std::string a(len, 'a');
    std::string b = a;
    EXPECT_TRUE(same_bytes(a.data(), b.data(), len)) << len;
    for (std::size_t at = 0; at < len; ++at) {
      b[at] = 'b';
      EXPECT_FALSE(same_bytes(a.data(), b.data(), len)) << len << " at " << at;
      b[at] = 'a';
    }
  }
}

// The byte copy behind interning writes exactly n bytes, at every length
// up to past its short path.
TEST(TagTable, ByteCopyWritesExactlyTheBytes) {
  for (std::size_t len = 0; len <= 24; ++len) {
    std::string src(len, 'x');
    for (std::size_t i = 0; i < len; ++i) src[i] = static_cast<char>('a' + i);
    std::string dst(len + 8, '.');
    copy_bytes(dst.data() + 4, src.data(), len);
    EXPECT_EQ(dst, "...." + src + "....") << len;
  }
}

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
