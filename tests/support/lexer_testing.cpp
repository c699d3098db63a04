// Lexer readers that only tests use.
//
// They wrap the core readers (read_tag, decode_utf8) and add nothing but the
// failure values, so a test of them is a test of what the parser reads.
#include "lexer_testing.h"

namespace lumo {

Result<std::string, ParseFailure> tag_name(Cursor& c) {
  const std::size_t start = c.pos;
  std::string scratch;
  std::string_view out;
  switch (read_tag(c, scratch, out)) {
    case TagStatus::Ok:
      return std::string(out);
    case TagStatus::NoTag:
      c.pos = start;
      return make_err(ParseFailure{Severity::Recoverable, {expected("tag")}});
    case TagStatus::BadString:
      break;
  }
  return make_err(ParseFailure{Severity::Fatal, {expected_literal("string")}});
}

Result<char32_t, ParseFailure> literal_char(Cursor& c, char32_t ch) {
  if (!c.at_end()) {
    std::size_t len;
    if (decode_utf8(c.text, c.pos, len) == ch && ch != 0xFFFD) {
      c.pos += len;
      return ch;
    }
  }
  return make_err(ParseFailure{Severity::Recoverable, {}});
}

Result<std::string_view, ParseFailure> literal_text(Cursor& c, std::string_view s) {
  if (c.text.size() - c.pos >= s.size() && c.text.compare(c.pos, s.size(), s) == 0) {
    c.pos += s.size();
    return s;
  }
  return make_err(ParseFailure{Severity::Recoverable, {}});
}

}  // namespace lumo
