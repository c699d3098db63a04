// Parsing polls the interrupt hook while it reads, not only before: a stop
// ends the parse at once with `interrupted` set and no syntax error, however
// deep the text nests; a hook that never stops changes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "base/box.h"
#include "small_stack.h"
#include "stop_after.h"
#include "syntax/parser.h"

namespace lumo {
namespace {

bool operator==(const ExprNode& a, const ExprNode& b) {
  return a.kind == b.kind && a.all == b.all && a.operand == b.operand && a.tag == b.tag &&
         a.span == b.span && std::equal(a.items.begin(), a.items.end(), b.items.begin(),
                                        b.items.end());
}

bool same_path(const NamePath& a, const NamePath& b) {
  return a.names == b.names && a.span == b.span;
}

bool same_relation(const Box<RelationSpec>& a, const Box<RelationSpec>& b) {
  if (!a || !b) return !a && !b;
  if (!same_path(a->target, b->target)) return false;
  if (!a->context || !b->context) return !a->context && !b->context;
  return same_path(*a->context, *b->context);
}

bool operator==(const SubjectEntry& a, const SubjectEntry& b) {
  return a.name == b.name && a.identities == b.identities && a.children == b.children &&
         same_relation(a.relation, b.relation) && a.expression == b.expression &&
         a.span == b.span && a.parent == b.parent;
}

// Where two documents first differ, node by node and entry by entry; empty
// when they are the same.
std::string difference(const ParsedDocument& a, const ParsedDocument& b) {
  if (a.exprs.size() != b.exprs.size()) return "expression node count";
  for (std::size_t i = 0; i < a.exprs.size(); ++i) {
    if (!(a.exprs[i] == b.exprs[i])) return "expression node " + std::to_string(i);
  }
  if (a.entries.size() != b.entries.size()) return "entry count";
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    if (!(a.entries[i] == b.entries[i])) return "entry " + std::to_string(i);
  }
  return a.meta_queries == b.meta_queries ? "" : "meta queries";
}

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::string many_subjects(std::size_t n) {
  std::string t = "[k:v] {";
  for (std::size_t i = 0; i < n; ++i) {
    const std::string k = std::to_string(i);
    t += "\n s" + k + "(i" + k + ") @n" + k + " > @s0.x(@p) : t" + std::to_string(i % 7) +
         ", -(u / v) { c" + k + " }";
  }
  return t + "\n} tail";
}

constexpr std::size_t kMillion = 1000000, kStride = InterruptPoll::kStride;
constexpr std::size_t kLongTag = 1 << 16;

// Texts whose parse is long in one way each; made when a test runs.
struct LongText {
  const char* name;
  std::string (*make)();
  std::size_t min_asks;  // questions that the parse's work units guarantee
};

const LongText kLongTexts[] = {
    {"Subjects", [] { return many_subjects(200000); }, 2 * 200000 / kStride},
    {"Parentheses",
     [] { return std::string(kMillion, '(') + "a" + std::string(kMillion, ')'); },
     2 * kMillion / kStride},
    {"Negations", [] { return std::string(kMillion, '-') + "a"; }, 2 * kMillion / kStride},
    {"Comments", [] { return repeat("// a comment\n", 200000) + "a"; }, 200000 / kStride},
    {"Bodies", [] { return repeat("{ a ", 100000) + "{ }" + std::string(100000, '}'); },
     2 * 100000 / kStride},
    {"MetaQueries", [] { return "[" + repeat("k:v, ", 200000) + "k:v]"; }, 200000 / kStride},
    {"Identities", [] { return "{ a(" + repeat("i, ", 200000) + "i) }"; }, 200000 / kStride},
    {"RootList", [] { return repeat("a / b, ", 200000) + "c"; }, 2 * 200000 / kStride},
    // Few but long tokens weigh by their length: one unit per 256 bytes.
    {"LongTags",
     [] {
       const std::string tag(kLongTag, 'x');
       return repeat(tag + ", ", 199) + tag;
     },
     200 * kLongTag / 256 / kStride},
};

void PrintTo(const LongText& t, std::ostream* os) { *os << t.name; }

class ParseInterrupt : public ::testing::TestWithParam<LongText> {};

TEST_P(ParseInterrupt, HookThatNeverStopsChangesNothing) {
  const std::string text = GetParam().make();
  run_on_small_stack([&] {
    auto plain = parse_document(text);
    ASSERT_TRUE(plain.ok());
    StopAfter never(SIZE_MAX);
    auto hooked = parse_document(text, &never);
    ASSERT_TRUE(hooked.ok());
    EXPECT_EQ(difference(hooked.value(), plain.value()), "");
    // Copying the text asks once per 256 KiB, the parse min_asks times more.
    EXPECT_GE(never.asked(), text.size() / (256 * kStride) + GetParam().min_asks);
  });
}

TEST_P(ParseInterrupt, StopEndsTheParseWithoutSyntaxError) {
  const std::string text = GetParam().make();
  run_on_small_stack([&] {
    StopAfter count(SIZE_MAX);
    ASSERT_TRUE(parse_trimmed(text, &count).ok());
    // The second question is the first one inside the parse.
    for (std::size_t n : {std::size_t{2}, count.asked() / 2, count.asked()}) {
      StopAfter stop(n);
      auto r = parse_trimmed(text, &stop);
      ASSERT_FALSE(r.ok()) << n;
      EXPECT_TRUE(r.error().interrupted) << n;
      EXPECT_TRUE(r.error().failure.expectations.empty()) << n;
      EXPECT_EQ(stop.asked(), n);  // not asked again after "stop"
    }
    StopAfter stop(2);
    auto report = parse_document(text, &stop);
    ASSERT_FALSE(report.ok());
    EXPECT_TRUE(report.error().interrupted);
    EXPECT_TRUE(report.error().expectations.empty());
    EXPECT_TRUE(report.error().text.empty());
  });
}

INSTANTIATE_TEST_SUITE_P(Texts, ParseInterrupt, ::testing::ValuesIn(kLongTexts),
                         [](const ::testing::TestParamInfo<LongText>& info) {
                           return std::string(info.param.name);
                         });

TEST(ParseStop, BeforeASyntaxErrorIsNoSyntaxError) {
  const std::string text = many_subjects(20000) + " )";
  auto broken = parse_document(text);
  ASSERT_FALSE(broken.ok());
  EXPECT_FALSE(broken.error().interrupted);
  EXPECT_FALSE(broken.error().expectations.empty());
  StopAfter stop(3);
  auto r = parse_document(text, &stop);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().interrupted);
  EXPECT_TRUE(r.error().expectations.empty());
  EXPECT_EQ(stop.asked(), 3u);
}

TEST(ParseStop, FirstQuestionComesBeforeTheText) {
  StopAfter stop(1);
  auto r = parse_trimmed("a", &stop);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().interrupted);
  EXPECT_EQ(stop.asked(), 1u);
  StopAfter later(2);
  EXPECT_TRUE(parse_trimmed("a", &later).ok());  // a short text needs no second one
  EXPECT_EQ(later.asked(), 1u);
}

}  // namespace
}  // namespace lumo
