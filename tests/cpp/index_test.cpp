// Tests of the tag table, the tag graph index and tag collection.
#include <pthread.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "small_stack.h"
#include "eval/collect.h"
#include "eval/index.h"
#include "eval/tag_table.h"
#include "index_dump.h"
#include "shortcuts.h"
#include "test_scale.h"

namespace lumo {

namespace {

// ---------------------------------------------------------------------------
// TagTable

TEST(TagTable, InternFindText) {
  TagTable t;
  EXPECT_EQ(t.find("x"), kNoTag);
  const TagId x = t.intern("x");
  const TagId empty = t.intern("");
  const TagId y = t.intern("y\xe2\x82\xac");
  EXPECT_EQ(t.intern("x"), x);
  EXPECT_EQ(t.find("x"), x);
  EXPECT_EQ(t.find(""), empty);
  EXPECT_EQ(t.find("x "), kNoTag);
  EXPECT_EQ(t.size(), 3u);
  EXPECT_EQ(t.text(x), "x");
  EXPECT_EQ(t.text(empty), "");
  EXPECT_EQ(t.text(y), "y\xe2\x82\xac");
}

TEST(TagTable, ManyStringsAgreeWithUnorderedMap) {
  std::mt19937 rng(5);
  TagTable t;
  std::unordered_map<std::string, TagId> want;
  for (int i = 0; i < 20000; ++i) {
    const std::string s = "s" + std::to_string(rng() % 5000) + std::string(rng() % 3, 'z');
    const TagId id = t.intern(s);
    auto [it, added] = want.emplace(s, id);
    EXPECT_EQ(it->second, id) << s;
    if (added) EXPECT_EQ(id, want.size() - 1);  // ids count up from 0
  }
  EXPECT_EQ(t.size(), want.size());
  for (const auto& [s, id] : want) {
    EXPECT_EQ(t.find(s), id);
    EXPECT_EQ(t.text(id), s);
  }
  EXPECT_EQ(t.find("absent"), kNoTag);
}

// ---------------------------------------------------------------------------
// Index

struct SubjectRow {
  SubjectIndex parent;
  std::vector<std::string> identities;
  std::vector<std::string> tags;
};

// Builds a graph in pre-order from (parent, identities, tags) rows; the root
// row is added first. Children lists follow the rows' order.
TagGraph make_graph(const std::vector<SubjectRow>& rows,
                    std::vector<std::string> root_tags = {}) {
  TagGraph g;
  g.subjects.resize(rows.size() + 1);
  g.subjects[0].identities = {"context"};
  g.subjects[0].tags = std::move(root_tags);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    GraphSubject& s = g.subjects[i + 1];
    s.index = i + 1;
    s.parent = rows[i].parent;
    s.identities = rows[i].identities;
    s.tags = rows[i].tags;
    s.name = rows[i].identities.empty() ? "" : rows[i].identities[0];
    s.span = {i, i + 1};
    g.subjects[rows[i].parent].children.push_back(i + 1);
  }
  return g;
}

// What a relation move does: take s out of its parent's children and append
// it to ctx's children.
void move_under(TagGraph& g, SubjectIndex s, SubjectIndex ctx) {
  auto& kids = g.subjects[g.subjects[s].parent].children;
  kids.erase(std::find(kids.begin(), kids.end(), s));
  g.subjects[ctx].children.push_back(s);
  g.subjects[s].relation = RelationLink{g.subjects[s].parent, ctx};
}

// The strings held in subject i's subtree, as the index answers them.
std::set<std::string> set_of(const IndexedGraph& x, SubjectIndex i) {
  std::set<std::string> out;
  for (TagId t = 0; t < x.tags.size(); ++t) {
    if (x.occurs(t, x.range(i))) out.emplace(x.tags.text(t));
  }
  return out;
}

// Every identity with the subjects carrying it.
std::map<std::string, std::vector<SubjectIndex>> identity_lists(const IndexedGraph& x) {
  std::map<std::string, std::vector<SubjectIndex>> out;
  for (TagId t = 0; t < x.tags.size(); ++t) {
    auto held = with_identity(x, x.tags.text(t));
    if (!held.empty()) out[std::string(x.tags.text(t))].assign(held.begin(), held.end());
  }
  return out;
}

// Expected ranges and sets, computed from the final children lists without
// any shared code with the index: the final parent of every subject, a
// pre-order sequence, and for each subject its strings added to itself and
// every final ancestor.
struct Expected {
  std::vector<SubtreeRange> ranges;
  std::vector<std::set<std::string>> sets;
};

Expected expected_for(const TagGraph& g) {
  const std::size_t n = g.subjects.size();
  std::vector<SubjectIndex> final_parent(n, 0);
  for (SubjectIndex i = 0; i < n; ++i) {
    for (SubjectIndex c : g.subjects[i].children) final_parent[c] = i;
  }
  Expected e;
  e.ranges.assign(n, {});
  e.sets.assign(n, {});
  std::vector<SubjectIndex> order;
  std::vector<SubjectIndex> todo = {0};
  while (!todo.empty()) {
    SubjectIndex s = todo.back();
    todo.pop_back();
    order.push_back(s);
    const auto& kids = g.subjects[s].children;
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) todo.push_back(*it);
  }
  std::vector<std::size_t> size(n, 1);
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    if (*it != 0) size[final_parent[*it]] += size[*it];
  }
  for (std::size_t k = 0; k < order.size(); ++k) {
    e.ranges[order[k]] = {static_cast<std::uint32_t>(k),
                          static_cast<std::uint32_t>(k + size[order[k]])};
  }
  for (SubjectIndex i = 0; i < n; ++i) {
    std::vector<std::string> mine = g.subjects[i].tags;
    mine.insert(mine.end(), g.subjects[i].identities.begin(),
                g.subjects[i].identities.end());
    for (SubjectIndex a = i;; a = final_parent[a]) {
      e.sets[a].insert(mine.begin(), mine.end());
      if (a == 0) break;
    }
  }
  return e;
}

void expect_index_matches(const TagGraph& g, const IndexedGraph& x) {
  const Expected e = expected_for(g);
  ASSERT_EQ(x.size(), g.subjects.size());
  EXPECT_EQ(ranges_fault(x), "");
  for (SubjectIndex i = 0; i < g.subjects.size(); ++i) {
    SCOPED_TRACE("subject " + std::to_string(i));
    EXPECT_EQ(x.range(i).start, e.ranges[i].start);
    EXPECT_EQ(x.range(i).end, e.ranges[i].end);
    EXPECT_EQ(set_of(x, i), e.sets[i]);
    for (const std::string& tag : e.sets[i]) EXPECT_TRUE(subtree_holds(x, i, tag)) << tag;
    for (const std::string& id : g.subjects[i].identities) EXPECT_TRUE(x.has_identity(i, id)) << id;
  }
}

TEST(Index, RootOnly) {
  IndexedGraph x = build_index(make_graph({}, {"a", "b"}));
  ASSERT_EQ(x.size(), 1u);
  EXPECT_EQ(x.range(0).start, 0u);
  EXPECT_EQ(x.range(0).end, 1u);
  EXPECT_EQ(set_of(x, 0), (std::set<std::string>{"context", "a", "b"}));
  const auto ids = identity_lists(x);
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(ids.at("context"), std::vector<SubjectIndex>{0});
}

TEST(Index, TreeRangesSetsAndIdentities) {
  //  0 root
  //  ├ 1 alice: employee, engineer
  //  │ ├ 2 laptop: device
  //  │ └ 3 (no identity): employee
  //  ├ 4 bob: employee
  //  │ └ 5 alice (again): manager
  //  └ 6 carol carol (identity twice)
  const TagGraph g = make_graph({
      {0, {"alice"}, {"employee", "engineer"}},
      {1, {"laptop"}, {"device"}},
      {1, {}, {"employee"}},
      {0, {"bob"}, {"employee"}},
      {4, {"alice"}, {"manager"}},
      {0, {"carol", "carol"}, {}},
  });
  const IndexedGraph x = build_index(g);
  expect_index_matches(g, x);

  const SubtreeRange want[] = {{0, 7}, {1, 4}, {2, 3}, {3, 4}, {4, 6}, {5, 6}, {6, 7}};
  for (SubjectIndex i = 0; i < 7; ++i) {
    EXPECT_EQ(x.range(i).start, want[i].start) << i;
    EXPECT_EQ(x.range(i).end, want[i].end) << i;
  }
  EXPECT_EQ(set_of(x, 1),
            (std::set<std::string>{"alice", "employee", "engineer", "laptop", "device"}));
  EXPECT_TRUE(subtree_holds(x, 0, "context"));
  EXPECT_FALSE(subtree_holds(x, 1, "context"));

  const std::map<std::string, std::vector<SubjectIndex>> ids = {
      {"context", {0}}, {"alice", {1, 5}}, {"laptop", {2}}, {"bob", {4}}, {"carol", {6, 6}},
  };
  EXPECT_EQ(identity_lists(x), ids);
  EXPECT_TRUE(with_identity(x, "employee").empty());  // a tag, never an identity
}

TEST(Index, SubjectMovedUnderLaterContext) {
  //  0 root
  //  ├ 1 a
  //  │ └ 2 rel: works_for   (moved under 3)
  //  └ 3 ctx (context)
  //    └ 4 b
  TagGraph g = make_graph({
      {0, {"a"}, {}},
      {1, {"rel"}, {"works_for"}},
      {0, {"ctx", "context"}, {}},
      {3, {"b"}, {}},
  });
  move_under(g, 2, 3);
  const IndexedGraph x = build_index(g);
  expect_index_matches(g, x);
  EXPECT_TRUE(subtree_holds(x, 3, "works_for"));
  EXPECT_TRUE(subtree_holds(x, 3, "rel"));
  EXPECT_TRUE(subtree_holds(x, 0, "works_for"));
  EXPECT_FALSE(subtree_holds(x, 1, "works_for"));
  // Pre-order over the final tree: 0, 1, 3, 4, 2.
  EXPECT_EQ(x.range(2).start, 4u);
  EXPECT_EQ(x.range(3).end, 5u);
  EXPECT_EQ(x.range(1).end, 2u);
}

TEST(Index, CompiledGraphs) {
  // Indexing what the graph builder produces, relation moves included: in
  // the first text r (index 2) is written in p and moved under q (index 3).
  const char* const texts[] = {
      "{ p { r > @t(@q) }\n q\n t }",
      "{ alice: employee, engineer\n bob: employee { laptop } }",
      "top_level_tag",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    auto built = compile_tag_graph(text, true);
    ASSERT_TRUE(built.ok());
    const TagGraph g = built.value();
    const IndexedGraph x = build_index(std::move(built).value());
    expect_index_matches(g, x);
  }
  auto moved = compile_tag_graph(texts[0], true);
  ASSERT_TRUE(moved.ok());
  const auto& kids = moved.value().subjects[3].children;
  EXPECT_NE(std::find(kids.begin(), kids.end(), SubjectIndex{2}), kids.end());
}

TEST(Index, RandomTreesWithMoves) {
  std::mt19937 rng(777);
  const std::vector<std::string> words = {"a", "b", "c", "d", "e", "f", "g", "context"};
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int n = 1 + static_cast<int>(rng() % 25);
    std::vector<SubjectRow> rows;
    for (int i = 1; i < n; ++i) {
      SubjectRow r;
      r.parent = rng() % i;
      for (unsigned k = rng() % 3; k > 0; --k) r.identities.push_back(words[rng() % 8]);
      for (unsigned k = rng() % 4; k > 0; --k) r.tags.push_back(words[rng() % 8]);
      rows.push_back(r);
    }
    TagGraph g = make_graph(rows);
    // Move a few subjects under a subject outside their own subtree, often
    // one with a higher index.
    for (int m = 0; m < 3 && n > 2; ++m) {
      const SubjectIndex s = 1 + rng() % (n - 1);
      const SubjectIndex ctx = rng() % n;
      bool inside = false;  // is ctx in s's current subtree?
      std::vector<SubjectIndex> todo = {s};
      while (!todo.empty() && !inside) {
        SubjectIndex t = todo.back();
        todo.pop_back();
        inside = t == ctx;
        for (SubjectIndex c : g.subjects[t].children) todo.push_back(c);
      }
      if (inside) continue;
      move_under(g, s, ctx);
      g.subjects[s].parent = ctx;  // so a later move finds its current list
    }
    const IndexedGraph x = build_index(g);
    expect_index_matches(g, x);
  }
}

// occurs_from() gives occurs()'s answer whatever its hint: scans in
// pre-order (the hint carried along), in random order (the hint often past
// the range), and with hints that are plain garbage.
TEST(Index, OccursFromAgreesWithOccurs) {
  std::mt19937 rng(31);
  const std::vector<std::string> words = {"a", "b", "c", "d", "e"};
  std::vector<SubjectRow> rows;
  for (int i = 1; i < 600; ++i) {
    SubjectRow r;
    r.parent = rng() % 4 == 0 ? 0 : rng() % i;
    // "a" is everywhere, "e" rare: lists long and short.
    for (unsigned k = rng() % 3; k > 0; --k) r.tags.push_back(words[rng() % 4]);
    if (rng() % 100 == 0) r.tags.push_back("e");
    if (rng() % 2 == 0) r.tags.push_back("a");
    rows.push_back(r);
  }
  const IndexedGraph x = build_index(make_graph(rows));
  const std::size_t n = x.size();
  std::vector<SubjectIndex> by_start(n);
  for (SubjectIndex g = 0; g < n; ++g) by_start[x.range(g).start] = g;
  std::vector<SubjectIndex> shuffled = by_start;
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  int held = 0;
  for (const std::string& w : words) {
    const TagId t = x.tags.find(w);
    ASSERT_NE(t, kNoTag) << w;
    for (const auto* order : {&by_start, &shuffled}) {
      std::uint32_t hint = 0;
      for (SubjectIndex g : *order) {
        const bool want = x.occurs(t, x.range(g));
        held += want;
        EXPECT_EQ(x.occurs_from(t, x.range(g), hint), want) << w << " at " << g;
        std::uint32_t wild = rng() % 2 ? rng() % 700 : rng();
        EXPECT_EQ(x.occurs_from(t, x.range(g), wild), want) << w << " at " << g;
      }
    }
  }
  EXPECT_GT(held, 1000);  // the lists are not empty
}

TEST(Index, EnsureIndexOnce) {
  GraphState state(make_graph({{0, {"alice"}, {"x"}}, {1, {"bob"}, {"y"}}}));
  const IndexedGraph& first = ensure_index(state);
  const std::set<std::string> root_before = set_of(first, 0);
  std::vector<std::string> collected_before = collect_tags(first);
  const IndexedGraph& second = ensure_index(state);
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(second.size(), 3u);
  EXPECT_EQ(set_of(second, 0), root_before);
  EXPECT_EQ(collect_tags(second), collected_before);  // same order too
  EXPECT_EQ(second.range(2).start, 2u);
}

TEST(Collect, EachDistinctStringOnce) {
  struct Case {
    std::vector<SubjectRow> rows;
    std::vector<std::string> root_tags;
    std::set<std::string> want;
  };
  const std::vector<Case> cases = {
      {{}, {}, {"context"}},
      {{{0, {}, {}}}, {}, {"context"}},
      {{{0, {"alice"}, {"employee"}}, {0, {"bob"}, {"employee"}}},
       {},
       {"context", "alice", "bob", "employee"}},
      // A string as a tag on one subject and an identity on another.
      {{{0, {"x"}, {"y"}}, {1, {"y"}, {"x", "context"}}}, {"x"}, {"context", "x", "y"}},
  };
  for (const Case& c : cases) {
    const IndexedGraph x = build_index(make_graph(c.rows, c.root_tags));
    std::vector<std::string> got = collect_tags(x);
    std::multiset<std::string> counted(got.begin(), got.end());
    EXPECT_EQ(counted, std::multiset<std::string>(c.want.begin(), c.want.end()));
  }
}

// ---------------------------------------------------------------------------
// Deep and wide graphs on a small stack

TagGraph big_graph(std::size_t n, bool chain) {
  TagGraph g;
  g.subjects.resize(n);
  g.subjects[0].identities = {"context"};
  for (std::size_t i = 1; i < n; ++i) {
    GraphSubject& s = g.subjects[i];
    s.index = i;
    s.parent = chain ? i - 1 : 0;
    s.identities = {"id" + std::to_string(chain ? i % 1000 : i)};
    s.tags = {"t" + std::to_string(i % 50)};
    g.subjects[s.parent].children.push_back(i);
  }
  return g;
}

TEST(Index, MillionSubjectsOnSmallStack) {
  const std::size_t n = scaled(1000000);
  for (bool chain : {true, false}) {
    SCOPED_TRACE(chain ? "chain" : "flat");
    TagGraph g = big_graph(n, chain);
    std::size_t root_size = 0, leaf_size = 0;
    SubtreeRange root_range, last_range;
    std::size_t ids_of_id7 = 0;
    run_on_small_stack([&] {
      IndexedGraph x = build_index(std::move(g));
      root_size = set_of(x, 0).size();
      leaf_size = set_of(x, n - 1).size();
      root_range = x.range(0);
      last_range = x.range(n - 1);
      ids_of_id7 = with_identity(x, "id7").size();
      // x is destroyed here, on the small stack as well.
    });
    EXPECT_EQ(root_range.start, 0u);
    EXPECT_EQ(root_range.end, n);
    EXPECT_EQ(last_range.start, n - 1);
    EXPECT_EQ(last_range.end, n);
    EXPECT_EQ(leaf_size, 2u);
    if (chain) {
      EXPECT_EQ(root_size, 1u + 1000 + 50);
      EXPECT_EQ(ids_of_id7, n / 1000);  // id7 on every thousandth link
    } else {
      EXPECT_EQ(root_size, 1u + (n - 1) + 50);
      EXPECT_EQ(ids_of_id7, 1u);
    }
  }
}

}  // namespace
}  // namespace lumo
