// Front end: tree shapes, spans, failure offsets, severities and
// expectation lists, rendered messages, and very deep nesting.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>

#include "lexer_testing.h"
#include "malformed_utf8.h"
#include "small_stack.h"
#include "syntax/lexer.h"
#include "syntax/parser.h"
#include "syntax/report.h"
#include "test_scale.h"

namespace lumo {
namespace {

// Compact rendering of an expression: all[..], any[..], -x, and tag texts.
std::string show(const ExprPool& pool, ExprId id) {
  const ExprNode& n = pool[id];
  switch (n.kind) {
    case ExprKind::Tag:
      return std::string(n.tag);
    case ExprKind::Not:
      return "-" + show(pool, n.operand);
    case ExprKind::List: {
      std::string s = n.all ? "all[" : "any[";
      for (std::size_t i = 0; i < n.items.size(); ++i) {
        if (i) s += ",";
        s += show(pool, n.items[i]);
      }
      return s + "]";
    }
  }
  return "?";
}

ParsedDocument parse_ok(std::string_view text) {
  auto r = parse_document(text);
  EXPECT_TRUE(r.ok()) << "text: " << text << "\n"
                      << (r.ok() ? "" : render_report(r.error()));
  return r.ok() ? std::move(r).value() : ParsedDocument{};
}

std::string root_expr(std::string_view text) {
  ParsedDocument d = parse_ok(text);
  if (d.entries.empty()) return "<failed>";
  return show(d.exprs, d.root().expression);
}

// --- root expressions -------------------------------------------------------

struct ExprCase {
  const char* text;
  const char* tree;
};

class RootExpression : public ::testing::TestWithParam<ExprCase> {};

TEST_P(RootExpression, Shape) {
  EXPECT_EQ(root_expr(GetParam().text), GetParam().tree) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Fold, RootExpression,
    ::testing::Values(
        ExprCase{"", "all[]"}, ExprCase{"  \n // only a comment\n ", "all[]"},
        ExprCase{"()", "all[]"}, ExprCase{"a, ()", "a"}, ExprCase{"() / ()", "any[all[],all[]]"},
        ExprCase{"(a / b) / c", "any[a,b,c]"}, ExprCase{"a / (b / c)", "any[a,b,c]"},
        ExprCase{"(a, b) / c", "any[all[a,b],c]"}, ExprCase{"-(a, b)", "-all[a,b]"},
        ExprCase{"--a", "--a"}, ExprCase{"a\nb", "all[a,b]"}, ExprCase{"a, b", "all[a,b]"},
        ExprCase{"red, -blue / (green, dark)", "all[red,any[-blue,all[green,dark]]]"},
        ExprCase{"a b", "a b"}, ExprCase{"a -b", "a -b"}, ExprCase{"a //b", "a"},
        ExprCase{"a / b", "any[a,b]"}, ExprCase{"((((a))))", "a"},
        ExprCase{"( a , ( b / c ) )", "all[a,any[b,c]]"}, ExprCase{"- a", "-a"},
        ExprCase{"a,\tb", "all[a,b]"}, ExprCase{"\"x y\", \"\"", "all[x y,]"},
        ExprCase{"a // c1\r\n// c2\nb", "all[a,b]"}, ExprCase{"a // end", "a"},
        ExprCase{"[k:v] shirt", "shirt"}, ExprCase{"a\n(b, c)", "all[a,b,c]"}));

// --- subjects ----------------------------------------------------------------

TEST(Parser, NestedEntriesWorkedExample) {
  ParsedDocument d = parse_ok("{\n  alice(bob) @a : employee, -intern {\n    * > @a : badge\n  }\n}");
  ASSERT_EQ(d.entries.size(), 3u);
  EXPECT_EQ(d.root().children, (std::vector<EntryId>{1}));
  const SubjectEntry& a = d.entries[1];
  EXPECT_EQ(a.name, "a");
  EXPECT_EQ(a.identities, (std::vector<std::string>{"bob", "alice"}));
  EXPECT_EQ(show(d.exprs, a.expression), "all[employee,-intern]");
  EXPECT_FALSE(a.relation.has_value());
  EXPECT_EQ(a.children, (std::vector<EntryId>{2}));
  const SubjectEntry& star = d.entries[2];
  EXPECT_EQ(star.name, "*");
  EXPECT_TRUE(star.identities.empty());
  ASSERT_TRUE(star.relation.has_value());
  EXPECT_EQ(star.relation->target.names, (std::vector<std::string>{"a"}));
  EXPECT_FALSE(star.relation->context.has_value());
  EXPECT_EQ(show(d.exprs, star.expression), "badge");
  EXPECT_EQ(star.parent, 1u);
  EXPECT_EQ(show(d.exprs, d.root().expression), "all[]");
  EXPECT_EQ(d.root().identities, (std::vector<std::string>{"context"}));
  EXPECT_EQ(d.root().name, "");
}

TEST(Parser, RelationWithContextPath) {
  ParsedDocument d = parse_ok("{ * @m > @alice.laptop(@bob) }");
  ASSERT_EQ(d.entries.size(), 2u);
  const SubjectEntry& e = d.entries[1];
  EXPECT_EQ(e.name, "m");
  EXPECT_TRUE(e.identities.empty());
  ASSERT_TRUE(e.relation);
  EXPECT_EQ(e.relation->target.names, (std::vector<std::string>{"alice", "laptop"}));
  EXPECT_EQ(e.relation->target.span, (Span{9, 22}));
  ASSERT_TRUE(e.relation->context);
  EXPECT_EQ(e.relation->context->names, (std::vector<std::string>{"bob"}));
  EXPECT_EQ(e.relation->context->span, (Span{23, 27}));
  EXPECT_EQ(show(d.exprs, e.expression), "all[]");
}

TEST(Parser, MetaQueriesAndStatementsInterleave) {
  ParsedDocument d = parse_ok("[-color:red, size:large] shirt\n{ x }\n[a:b ] y");
  EXPECT_EQ(d.meta_queries, (std::vector<MetaQuery>{{true, "color", "red"},
                                                    {false, "size", "large"},
                                                    {false, "a", "b"}}));
  EXPECT_EQ(show(d.exprs, d.root().expression), "all[shirt,y]");
  EXPECT_EQ(d.root().children.size(), 1u);
  EXPECT_TRUE(parse_document("[ ]").ok());
  EXPECT_TRUE(parse_document("[]").ok());
}

struct EntryCase {
  const char* text;  // one entry inside a body
  const char* name;
  std::vector<std::string> identities;
};

class EntryShape : public ::testing::TestWithParam<EntryCase> {};

TEST_P(EntryShape, NameAndIdentities) {
  const EntryCase& c = GetParam();
  ParsedDocument d = parse_ok(c.text);
  ASSERT_GE(d.entries.size(), 2u);
  EXPECT_EQ(d.entries[1].name, c.name);
  EXPECT_EQ(d.entries[1].identities, c.identities);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, EntryShape,
    ::testing::Values(EntryCase{"{ alice(alice) }", "alice", {"alice", "alice"}},
                      EntryCase{"{ * }", "*", {}}, EntryCase{"{ *(x) @n }", "n", {"x"}},
                      EntryCase{"{ alice (x) }", "alice", {"x", "alice"}},
                      EntryCase{"{ a( x , y ) }", "a", {"x", "y", "a"}},
                      EntryCase{"{ \"q r\"(\"s\") @\"t u\" }", "t u", {"s", "q r"}},
                      EntryCase{"{ a() }", "a", {"a"}}));

TEST(Parser, SpansCountFromTheTrimmedText) {
  ParsedDocument d = parse_ok("  red");
  EXPECT_EQ(d.exprs[d.root().expression].span, (Span{0, 3}));
  EXPECT_EQ(d.root().span, (Span{0, 3}));
  d = parse_ok("\u00a0{ foo bar  : x }\u3000");
  EXPECT_EQ(d.entries[1].span, (Span{2, 11}));  // the bare tag with its spaces
  EXPECT_EQ(d.entries[1].name, "foo bar");
  d = parse_ok("{ * }");
  EXPECT_EQ(d.entries[1].span, (Span{2, 3}));
  EXPECT_EQ(parse_ok("").root().span, (Span{0, 0}));
}

// --- failures -----------------------------------------------------------------

struct FailCase {
  const char* text;
  std::size_t offset;
  Severity severity;
  std::vector<Expectation> expectations;
};

const std::vector<Expectation> kStatement = {expected("expression"), expected("subject body"),
                                             expected("meta queries")};

class Failure : public ::testing::TestWithParam<FailCase> {};

TEST_P(Failure, OffsetSeverityExpectations) {
  const FailCase& c = GetParam();
  auto r = parse_trimmed(c.text);
  ASSERT_FALSE(r.ok()) << c.text;
  EXPECT_EQ(r.error().offset, c.offset) << c.text;
  EXPECT_EQ(r.error().failure.severity, c.severity) << c.text;
  EXPECT_EQ(r.error().failure.expectations, c.expectations)
      << c.text << " -> " << render_expectations(r.error().failure.expectations);
}

constexpr Severity R = Severity::Recoverable, F = Severity::Fatal;

INSTANTIATE_TEST_SUITE_P(
    Grammar, Failure,
    ::testing::Values(
        FailCase{"red,", 3, R, kStatement}, FailCase{"a,\nb", 1, R, kStatement},
        FailCase{"a, -", 1, R, kStatement}, FailCase{"*", 0, R, kStatement},
        FailCase{",", 0, R, kStatement}, FailCase{"a\x0c" "b", 1, R, kStatement},
        FailCase{"a\xc2\xa0" "b", 1, R, kStatement},
        FailCase{"(red", 4, F, {invalid("expression")}},
        // A pending "-" is no list: one label, from the root list.
        FailCase{"-(red", 5, F, {invalid("expression")}},
        FailCase{"((red", 5, F, {invalid("expression"), invalid("expression")}},
        FailCase{"(", 1, F, {invalid("expression")}},
        FailCase{"( - )", 2, F, {invalid("expression")}},
        FailCase{"{ alice", 7, F, {expected("}")}},
        FailCase{"{ alice(bob }", 12, F, {invalid("identities")}},
        FailCase{"{ a, b }", 3, F, {expected("}")}},
        FailCase{"{ alice: }", 9, F, {invalid("expression")}},
        FailCase{"{ a: -- }", 5, F, {invalid("expression")}},
        FailCase{"{ x @ }", 5, F, {expected("tag"), invalid("name")}},
        FailCase{"{ x > @ }", 7, F, {expected("tag"), invalid("relation")}},
        FailCase{"{ x > y }", 6, F, {invalid("relation")}},
        FailCase{"{ x > @a(@b }", 12, F, {invalid("relation")}},
        FailCase{"{ * (x) }", 4, F, {expected("}")}},
        FailCase{"{ a { b }", 9, F, {expected("}")}},
        FailCase{"{ a { b ", 8, F, {expected("}"), invalid("children")}},
        FailCase{"{ a { b { \"x } } }", 18, F,
                 {expected_literal("string"), invalid("subject"), expected("tag"),
                  invalid("children"), invalid("children")}},
        FailCase{"[a:b\t]", 4, F, {}}, FailCase{"[a:\"b\" ]", 6, F, {}},
        FailCase{"[-]", 1, F, {}}, FailCase{"[a: b]", 1, F, {}},
        FailCase{"[a:\"b]", 6, F, {expected_literal("string")}},
        FailCase{"a // x\ry", 2, R, kStatement}, FailCase{"{ a\n// x\ry }", 4, F, {expected("}")}},
        FailCase{"\"abc", 4, F, {expected_literal("string"), invalid("expression")}},
        FailCase{"(\"a\\x\")", 3, F,
                 {expected_literal("string"), invalid("expression"), invalid("expression")}},
        FailCase{"{ a: (b", 7, F, {invalid("expression")}},
        FailCase{"{ a(\"\\u12\") }", 5, F, {expected_literal("string"), invalid("identities")}},
        FailCase{"{ a @\"\\N\" }", 6, F, {expected_literal("string"), invalid("name")}}));

// --- tag names ----------------------------------------------------------------

struct TagCase {
  const char* text;
  bool ok;
  const char* value;   // when ok
  std::size_t cursor;  // cursor after reading (ok) or failure position
};

class TagName : public ::testing::TestWithParam<TagCase> {};

TEST_P(TagName, Reads) {
  const TagCase& c = GetParam();
  Cursor cur{c.text, 0};
  auto r = tag_name(cur);
  ASSERT_EQ(r.ok(), c.ok) << c.text;
  EXPECT_EQ(cur.pos, c.cursor) << c.text;
  if (c.ok) {
    EXPECT_EQ(r.value(), c.value) << c.text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lexer, TagName,
    ::testing::Values(
        TagCase{"foo bar  ,", true, "foo bar", 9}, TagCase{"a  b", true, "a  b", 4},
        TagCase{"a\tb", true, "a", 1}, TagCase{"a -b", true, "a -b", 4},
        TagCase{"don't", true, "don't", 5}, TagCase{"'x'", true, "'x'", 3},
        TagCase{"_x", true, "_x", 2}, TagCase{"2024", true, "2024", 4},
        TagCase{"x\u00b7y", true, "x\u00b7y", 4}, TagCase{"\u00e9t\u00e9", true, "\u00e9t\u00e9", 5},
        TagCase{"\u65e5\u672c", true, "\u65e5\u672c", 6}, TagCase{"\u216b", true, "\u216b", 3},
        TagCase{"\u00b2", true, "\u00b2", 2}, TagCase{"a\u2022", true, "a", 1},
        TagCase{"\"\"", true, "", 2}, TagCase{"\"a\nb\tc\"", true, "a\nb\tc", 7},
        TagCase{"\"\\u00e9\"", true, "\u00e9", 8},
        TagCase{"\"\\uD83D\\uDE00\"", true, "\U0001F600", 14},
        TagCase{"\"\\u+041\"", true, "A", 8},
        TagCase{"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", true, "\"\\/\b\f\n\r\t", 18},
        TagCase{"\"\\uDE00\"", false, "", 1}, TagCase{"\"x\\uD83D\"", false, "", 2},
        TagCase{"\"x\\uD83D\\u0041\"", false, "", 2}, TagCase{"\"\\x\"", false, "", 1},
        TagCase{"\"\\N\"", false, "", 1}, TagCase{"\"\\u12\"", false, "", 1},
        TagCase{"\"ab\\", false, "", 3}, TagCase{"\"abc", false, "", 4},
        TagCase{"\"\\u00\u00e9\"", false, "", 1}, TagCase{"-b", false, "", 0},
        TagCase{"", false, "", 0}, TagCase{",", false, "", 0}, TagCase{"\u2022", false, "", 0},
        TagCase{" a", false, "", 0}));

TEST(Lexer, FailureKinds) {
  Cursor c{"-b", 0};
  auto r = tag_name(c);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().severity, Severity::Recoverable);
  EXPECT_EQ(r.error().expectations, (std::vector<Expectation>{expected("tag")}));
  Cursor q{"\"abc", 0};
  r = tag_name(q);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().severity, Severity::Fatal);
  EXPECT_EQ(r.error().expectations, (std::vector<Expectation>{expected_literal("string")}));

  Cursor h{"+0fZ", 0};
  EXPECT_EQ(hex_code_unit(h), -1);
  EXPECT_EQ(h.pos, 0u);
  Cursor h2{"+0fA", 0};
  EXPECT_EQ(hex_code_unit(h2), 0xFA);
  Cursor h3{"00e", 0};
  EXPECT_EQ(hex_code_unit(h3), -1);
}

TEST(Lexer, BlanksWhiteSpaceAndLiterals) {
  Cursor c{" \t\r\nx", 0};
  EXPECT_EQ(blanks(c), " \t");
  EXPECT_EQ(white_space(c), "\r\n");
  EXPECT_FALSE(literal_char(c, U'y').ok());
  EXPECT_EQ(c.pos, 4u);
  EXPECT_TRUE(literal_char(c, U'x').ok());
  Cursor d{"//a", 0};
  EXPECT_FALSE(literal_text(d, "///").ok());
  EXPECT_TRUE(literal_text(d, "//").ok());
  EXPECT_EQ(d.pos, 2u);
}

// --- rendering ------------------------------------------------------------------

std::string message(std::string_view text) {
  auto r = parse_document(text);
  if (r.ok()) return "<parsed>";
  return "invalid syntax\n" + render_report(r.error());
}

TEST(Report, WorkedExamples) {
  EXPECT_EQ(message("(red"), "invalid syntax\n(red\n    ^\ninvalid expression");
  EXPECT_EQ(message("{ alice"), "invalid syntax\n{ alice\n       ^\nexpected }");
  EXPECT_EQ(message("{ alice: red\n  bob: (blue\n}"),
            "invalid syntax\nparse error at line 2, column 13\n  |\n2 |   bob: (blue\n"
            "  |             ^\ninvalid expression");
  EXPECT_EQ(message("red,"),
            "invalid syntax\nred,\n   ^\nexpected expression, subject body, meta queries");
  EXPECT_EQ(message("[-]"), "invalid syntax\n[-]\n ^\n");
  EXPECT_EQ(message("\n\n  (red  \n\n"), "invalid syntax\n(red\n    ^\ninvalid expression");
}

TEST(Report, Expectations) {
  EXPECT_EQ(render_expectations({}), "");
  EXPECT_EQ(render_expectations({invalid("expression"), invalid("children")}),
            "invalid expression");
  EXPECT_EQ(render_expectations(kStatement), "expected expression, subject body, meta queries");
  EXPECT_EQ(render_expectations({expected_literal("string"), invalid("expression")}),
            "invalid expression\nexpected `string`");
  EXPECT_EQ(render_expectations({expected("tag"), invalid("name"), expected("}")}),
            "invalid name\nexpected tag, }");
}

TEST(Report, Gutters) {
  std::string nine(9, '\n');
  std::string t = "a" + nine + "(b";  // line 10
  EXPECT_EQ(message(t), "invalid syntax\nparse error at line 10, column 3\n   |\n10 | (b\n"
                        "   |   ^\ninvalid expression");
  std::string t100 = "a" + std::string(99, '\n') + "(b";
  EXPECT_EQ(message(t100), "invalid syntax\nparse error at line 100, column 3\n    |\n100 | (b\n"
                           "    |   ^\ninvalid expression");
}

TEST(Report, ColumnsAndLines) {
  const std::string exp = "expected expression, subject body, meta queries";
  // One-line form places the caret by bytes: the ")" is byte 7, character 6.
  EXPECT_EQ(render_report({"\u00e9t\u00e9, )", 7, kStatement}),
            "\u00e9t\u00e9, )\n       ^\n" + exp);
  // Multi-line form counts characters.
  EXPECT_EQ(render_report({"a\n\u00e9t\u00e9, )", 9, kStatement}),
            "parse error at line 2, column 6\n  |\n2 | \u00e9t\u00e9, )\n  |      ^\n" + exp);
  // What the parser reports for that text: the dangling comma.
  EXPECT_EQ(message("\u00e9t\u00e9, )"),
            "invalid syntax\n\u00e9t\u00e9, )\n     ^\n" + exp);
  // CR LF: the CR stays part of the echoed line.
  EXPECT_EQ(message("a\r\n(b\r\nc"),
            "invalid syntax\nparse error at line 2, column 3\n  |\n2 | (b\r\n  |   ^\n"
            "invalid expression");
}

// A window bounds the echo of a long line: at most `window` characters each
// side of the caret, cuts marked "...", the caret still under the failing
// character; a line that fits renders exactly as without a window.
struct WindowCase {
  std::string text;
  std::size_t offset;
};

class ReportWindow : public ::testing::TestWithParam<WindowCase> {};

std::size_t utf8_length(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

bool is_valid_utf8(std::string_view s) {
  for (std::size_t i = 0, len = 0; i < s.size(); i += len) {
    if (is_malformed(decode_utf8(s, i, len), len)) return false;
  }
  return true;
}

// The echoed line and the caret line of a rendering.
std::pair<std::string, std::string> echo_lines(const std::string& out, bool gutter) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (std::size_t nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1) {
    lines.push_back(out.substr(at, nl - at));
  }
  if (!gutter) return {lines[0], lines[1]};
  const std::size_t bar = lines[2].find(" | ") + 3;
  return {lines[2].substr(bar), lines[3].substr(bar)};
}

TEST_P(ReportWindow, EchoesABoundedWindowAroundTheCaret) {
  const WindowCase& c = GetParam();
  const ParseErrorReport report{c.text, c.offset, kStatement};
  const std::string whole = render_report(report);
  const bool gutter = c.text.find('\n') != std::string::npos;
  for (std::size_t window : {1u, 5u, 40u, 100000u}) {
    const std::string cut = render_report(report, window);
    const auto [line, caret] = echo_lines(cut, gutter);
    // The failing line's characters before and behind the caret's.
    const std::size_t line_start = gutter ? c.text.rfind('\n', c.offset - 1) + 1 : 0;
    std::size_t line_end = c.text.find('\n', line_start);
    if (line_end == std::string::npos) line_end = c.text.size();
    std::size_t before = 0, behind = 0;
    for (std::size_t k = line_start; k < line_end; ++k) {
      if ((c.text[k] & 0xC0) != 0x80) ++(k < c.offset ? before : behind);
    }
    if (before <= window && behind <= window + 1) {
      EXPECT_EQ(cut, whole) << window;
      continue;
    }
    EXPECT_NE(line.find("..."), std::string::npos) << window;
    EXPECT_LE(line.size(), 4 * (2 * window + 1) + 6) << window;  // four bytes a character at most
    EXPECT_TRUE(is_valid_utf8(line)) << window;
    // The caret stands under the failing character (ASCII in these texts).
    ASSERT_EQ(caret.back(), '^');
    const std::size_t column = caret.size() - 1;
    std::size_t byte = 0;
    for (std::size_t k = 0; k < column; ++k) {
      byte += gutter ? utf8_length(static_cast<unsigned char>(line[byte])) : 1;
    }
    ASSERT_LT(byte, line.size()) << window;
    EXPECT_EQ(line[byte], c.text[c.offset]) << window;
    // The rest (header, expectations) is the whole form's.
    EXPECT_EQ(cut.substr(cut.rfind('\n')), whole.substr(whole.rfind('\n')));
  }
}

std::string repeated(std::string_view piece, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += piece;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReportWindow,
    ::testing::Values(WindowCase{"{ a ( }", 6},
                      WindowCase{repeated("ab ", 5000) + ")" + repeated("cd ", 5000), 15000},
                      WindowCase{")" + repeated("x", 300), 0},
                      WindowCase{repeated("x", 300) + ")", 300},
                      WindowCase{repeated("\u00e9\u6f22\U0001F600", 200) + ")" +
                                     repeated("\u00e9", 300), 1800},
                      WindowCase{"a\n" + repeated("\u00e9\u6f22 ", 400) + ")" +
                                     repeated("\u00e9", 300) + "\nb", 2 + 2400},
                      WindowCase{"a\n" + repeated("y", 1000) + ")\nb", 1002}));

TEST(Report, Locate) {
  EXPECT_EQ(locate("ab\ncd", 2).line, 0u);  // the line feed ends line 0
  EXPECT_EQ(locate("ab\ncd", 2).column, 2u);
  EXPECT_EQ(locate("ab\ncd", 5).line, 1u);  // end of text
  EXPECT_EQ(locate("ab\ncd", 5).column, 2u);
  EXPECT_EQ(locate("ab\ncd", 3).column, 0u);
  // A multi-byte character at the offset: the column counts bytes.
  EXPECT_EQ(locate("x\n\u00e9\u00e9z", 4).column, 2u);
  EXPECT_EQ(locate("x\n\u00e9\u00e9z", 6).column, 2u);
}

// A line with malformed UTF-8 up to the offset gets its column in bytes; a
// valid one, including a written U+FFFD, in characters.
struct Utf8Column {
  const char* before;  // the line's text before "z"
  std::size_t column;  // of the "z"
};

class LocateUtf8 : public ::testing::TestWithParam<Utf8Column> {};

TEST_P(LocateUtf8, ColumnOfTheCharacterAfter) {
  const std::string line = GetParam().before;
  const std::string text = "x\n" + line + "z";
  EXPECT_EQ(locate(text, 2 + line.size()).column, GetParam().column);
}

INSTANTIATE_TEST_SUITE_P(
    Report, LocateUtf8,
    ::testing::Values(Utf8Column{"\xF0\x9F\x98\x80", 1},      // U+1F600
                      Utf8Column{"\xEF\xBF\xBD", 1},          // a written U+FFFD
                      Utf8Column{"\xED\xA0\x80", 3},          // a surrogate
                      Utf8Column{"\xE0\x80\xAF", 3},          // overlong
                      Utf8Column{"\xC1\xBF", 2},              // overlong
                      Utf8Column{"\xF4\x90\x80\x80", 4},      // above U+10FFFF
                      Utf8Column{"\xC3\xA9\x80", 3},          // a stray continuation
                      Utf8Column{"\xC3\xA9\xE2\x82", 4}));    // cut short

// --- malformed UTF-8 -------------------------------------------------------------

// Each sequence in every place of kUtf8Placements: the exact report where the
// parse fails (at the sequence, or behind it with the column in bytes), the
// bytes unchanged where a quoted string or a comment takes them.
class MalformedText : public ::testing::TestWithParam<MalformedUtf8> {};

TEST_P(MalformedText, FailsAtTheSequenceOrKeepsItsBytes) {
  const MalformedUtf8& bad = GetParam();
  for (const Utf8Placement& place : kUtf8Placements) {
    SCOPED_TRACE(place.where);
    const std::string text = placed_text(place, bad);
    EXPECT_EQ(message(text), place.error == nullptr ? "<parsed>" : placed_error(place, bad));
  }
  ParsedDocument d = parse_ok(with_sequence("{ a: \"t%\" }", bad.bytes));
  ASSERT_EQ(d.entries.size(), 2u);
  EXPECT_EQ(show(d.exprs, d.entries[1].expression), with_sequence("t%", bad.bytes));
  // No part of the sequence is white space to the trim.
  EXPECT_EQ(trim_text(with_sequence("\u3000 %\t\n", bad.bytes)), bad.bytes);
}

INSTANTIATE_TEST_SUITE_P(Utf8, MalformedText, ::testing::ValuesIn(kMalformedUtf8),
                         [](const auto& info) { return std::string(info.param.name); });

// --- depth -----------------------------------------------------------------------

TEST(Depth, MillionParentheses) {
  run_on_small_stack([] {
    const std::size_t n = scaled(1000000);
    std::string text = std::string(n, '(') + "a" + std::string(n, ')');
    {
      auto r = parse_document(text);
      ASSERT_TRUE(r.ok());
      const ParsedDocument& d = r.value();
      EXPECT_EQ(d.exprs[d.root().expression].kind, ExprKind::Tag);
    }
    text.pop_back();
    auto r = parse_document(text);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().offset, text.size());
    EXPECT_EQ(r.error().expectations.size(), 1u);  // one open list around the failure
    EXPECT_EQ(render_expectations(r.error().expectations), "invalid expression");
    std::string unclosed = std::string(n, '(') + "a";
    auto u = parse_document(unclosed);
    ASSERT_FALSE(u.ok());
    EXPECT_EQ(u.error().offset, unclosed.size());
    EXPECT_EQ(u.error().expectations.size(), n);
  });
}

TEST(Depth, MillionNegations) {
  run_on_small_stack([] {
    const std::size_t n = scaled(1000000);
    std::string text = std::string(n, '-') + "a";
    {
      auto r = parse_document(text);
      ASSERT_TRUE(r.ok());
      const ParsedDocument& d = r.value();
      ExprId e = d.root().expression;
      std::size_t depth = 0;
      while (d.exprs[e].kind == ExprKind::Not) {
        e = d.exprs[e].operand;
        ++depth;
      }
      EXPECT_EQ(depth, n);
      EXPECT_EQ(d.exprs[e].tag, "a");
    }
    std::string bad = std::string(n, '-');
    auto r = parse_trimmed(bad);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().offset, 0u);
    EXPECT_EQ(r.error().failure.expectations, kStatement);
    std::string inside = "{ a: " + std::string(n, '-') + " }";
    auto r2 = parse_trimmed(inside);
    ASSERT_FALSE(r2.ok());
    EXPECT_EQ(r2.error().offset, 5u);
    EXPECT_EQ(r2.error().failure.severity, Severity::Fatal);
  });
}

TEST(Depth, HundredThousandBodies) {
  run_on_small_stack([] {
    const std::size_t n = 100000;
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += "{ a ";
    std::string closed = text + "{ }" + std::string(n, '}');
    {
      auto r = parse_document(closed);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r.value().entries.size(), n + 1);
      EXPECT_EQ(r.value().entries[n].parent, n - 1);
    }
    std::string open = text.substr(2);  // drop the first "{ " of the chain
    open = "{ " + open;
    auto r = parse_trimmed(open);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().failure.expectations.size(), n);
    EXPECT_EQ(r.error().failure.expectations[0], expected("}"));
    EXPECT_EQ(r.error().failure.expectations[1], invalid("children"));
  });
}

}  // namespace
}  // namespace lumo
