// The stored form: every graph that loads must come back from its block
// with an index equal to the one it was stored from, and any damage to a
// block must be refused or load an index matching can rely on, never read
// outside the block.
#include "store/stored_graph.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "index_dump.h"
#include "reader/reader.h"
#include "small_stack.h"
#include "stop_after.h"

namespace lumo::store {
namespace {

using Load = StoredIndex::Load;

std::vector<std::byte> stored(std::string_view text) {
  auto loaded = load_tag_graph(text, true);
  EXPECT_TRUE(loaded.ok()) << text;
  if (!loaded.ok()) return {};
  const IndexedGraph* g = loaded.value().ensure_index(nullptr);
  std::vector<std::byte> block(encoded_size(text, *g));
  encode(text, *g, block.data());
  return block;
}

// Loads `text` both ways and compares.
void round_trip(std::string_view text, StoredIndex& index) {
  SCOPED_TRACE(std::string(text.substr(0, 200)));
  auto loaded = load_tag_graph(text, true);
  if (!loaded.ok()) return;
  const IndexedGraph* g = loaded.value().ensure_index(nullptr);
  std::vector<std::byte> block(encoded_size(text, *g));
  encode(text, *g, block.data());
  EXPECT_TRUE(is_stored_form(block));
  EXPECT_EQ(stored_text(block), text);
  ASSERT_EQ(index.load(block), Load::kOk);
  EXPECT_EQ(ranges_fault(index.graph()), "");
  EXPECT_EQ(dump_index(index.graph()), dump_index(*g));
  // Every string a subject holds is found again; names, which none holds,
  // are left out.
  const TagView& kept = index.graph().tags;
  for (TagId t = 0; t < g->tags.size(); ++t) {
    const std::string_view text = g->tags.text(t);
    const TagId found = kept.find(text);
    if (g->occ_begin[t + 1] == g->occ_begin[t]) {
      EXPECT_EQ(found, kNoTag) << text;
    } else {
      ASSERT_NE(found, kNoTag) << text;
      EXPECT_EQ(kept.text(found), text);
    }
  }
}

const char* const kGraphs[] = {
    "",
    "red, green",
    "{ alice : employee, engineer }",
    "{ alice(bob) @a : employee {\n  * > @a : badge\n} }",
    "{ \"quoted name\" : \"tag\\u00e9\", \"x\\ny\", \"nul\\u0000inside\" }",
    "{ a { b } c(ctx, context) { d > @a.b(@c) : r } }",
    "{ ctx(context) { a { r > @b : works } b } }",
    "{ t\n a { r > @t(@b) { k } }\n b(context) { s > @t(@a) } }",
    "{ été : 日本, Ⅻ, ² }",
};

TEST(StoredGraph, RoundTripsEveryForm) {
  StoredIndex index;  // one, reused: each load must forget the last
  for (const char* text : kGraphs) round_trip(text, index);
}

TEST(StoredGraph, RoundTripsTheFuzzCorpus) {
  namespace fs = std::filesystem;
  StoredIndex index;
  std::size_t graphs = 0;
  for (const char* dir : {"/tests/fuzz/corpus", "/tests/fuzz/regressions"}) {
    for (const auto& file : fs::directory_iterator(LUMO_SOURCE_DIR + std::string(dir))) {
      std::ifstream in(file.path(), std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      graphs += load_tag_graph(text.str(), true).ok();
      round_trip(text.str(), index);
    }
  }
  EXPECT_GT(graphs, 50u);
}

// A large block after a small one and back, and blocks that cannot be read
// in place (at an odd address) copied out: the same index either way.
TEST(StoredGraph, LargeSmallAndMisaligned) {
  std::string wide = "{ ";
  for (int i = 0; i < 70000; ++i) wide += "s" + std::to_string(i) + " : t" + std::to_string(i % 7) + "\n";
  wide += "r > @s5(@s9) }";
  StoredIndex index;
  round_trip(wide, index);
  round_trip("{ a { b > @a } }", index);
  round_trip(wide, index);
  index.trim(1 << 20);
  round_trip("{ a { b > @a } }", index);
  for (const std::string& text : {wide, std::string(kGraphs[5])}) {
    const std::vector<std::byte> block = stored(text);
    std::vector<std::byte> shifted(block.size() + 1);
    std::copy(block.begin(), block.end(), shifted.begin() + 1);
    ASSERT_EQ(index.load({shifted.data() + 1, block.size()}), Load::kOk);
    const std::string odd = dump_index(index.graph());
    ASSERT_EQ(index.load(block), Load::kOk);
    EXPECT_EQ(odd, dump_index(index.graph()));
  }
}

// Damage: every byte of some blocks changed, truncations, random bytes.
// Whatever loads must be an index matching can rely on (the sanitized
// build checks that nothing is read outside the block).
TEST(StoredGraph, DamagedBlocksAreRefusedOrSound) {
  StoredIndex index;
  std::mt19937 rng(7);
  std::size_t refused = 0, loaded = 0;
  auto check = [&](const std::vector<std::byte>& block) {
    const Load got = index.load(block);
    ASSERT_NE(got, Load::kInterrupted);
    if (got == Load::kDamaged) {
      ++refused;
      return;
    }
    ++loaded;
    EXPECT_EQ(ranges_fault(index.graph()), "");
    (void)dump_index(index.graph());  // reads every list
  };
  for (const char* text : {"{ a(x) : t, u { b > @a(@c) : v } c(context) }",
                           "{ \"q\\u0000\" @q { x } y { * > @q : r } }"}) {
    const std::vector<std::byte> good = stored(text);
    for (std::size_t i = 0; i < good.size(); ++i) {
      for (const int delta : {1, -1, 0x80, 0x7f}) {
        std::vector<std::byte> bad = good;
        bad[i] = static_cast<std::byte>(std::to_integer<int>(bad[i]) + delta);
        check(bad);
      }
      check(std::vector<std::byte>(good.begin(), good.begin() + static_cast<long>(i)));
    }
  }
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::byte> junk(rng() % 96);
    for (auto& b : junk) b = static_cast<std::byte>(rng());
    if (junk.size() >= 4) {  // a header that gets past the first checks
      junk[0] = std::byte{kVersion};
      junk[1] = std::byte{static_cast<unsigned char>(rng() % 2 ? 2 : 4)};
      junk[2] = junk[3] = std::byte{0};
    }
    check(junk);
  }
  EXPECT_GT(refused, 1000u);
  EXPECT_GT(loaded, 0u);  // some changes (to text bytes) leave a sound block
}

TEST(StoredGraph, InterruptedLoadStops) {
  std::string big = "{ ";
  for (int i = 0; i < 20000; ++i) big += "s" + std::to_string(i) + " { x }\n";
  big += "}";
  const std::vector<std::byte> block = stored(big);
  StoredIndex index;
  StopAfter stop(1);
  EXPECT_EQ(index.load(block, &stop), Load::kInterrupted);
  EXPECT_GE(stop.asked(), 1u);
  EXPECT_EQ(index.load(block), Load::kOk);
}

TEST(StoredGraph, MillionDeepOnASmallStack) {
  constexpr int kDepth = 1000000;
  std::string chain;
  for (int i = 0; i < kDepth; ++i) chain += "{ a : t" + std::to_string(i % 100) + ' ';
  chain += std::string(kDepth, '}');
  const std::vector<std::byte> block = stored(chain);
  run_on_small_stack([&] {
    StoredIndex index;
    ASSERT_EQ(index.load(block), Load::kOk);
    EXPECT_EQ(index.graph().size(), kDepth + 1u);
    EXPECT_EQ(index.graph().range(kDepth).start, static_cast<std::uint32_t>(kDepth));
  });
}

}  // namespace
}  // namespace lumo::store
