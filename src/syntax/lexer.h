// Lexical elements: the cursor, character classes and token readers.
//
// Every reader takes a Cursor and either advances it and yields a value or
// leaves it where it was and yields a ParseFailure. The only real token of
// the language is the tag name, written bare (letters, digits, apostrophe,
// low line, middle dot, then also inner spaces and hyphens; trailing spaces
// are consumed but not kept) or as a quoted string with JSON-like escapes and
// the "\u+XXX" form of hex_code_unit.
//
// The parser calls read_tag(), which reports its outcome as a small status
// instead of a ParseFailure so that the hot path never builds a failure
// value; tag_name() is the same reader with the failure value of the
// language's definition, for callers and tests that want it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "syntax/failure.h"

namespace lumo {

struct Cursor {
  std::string_view text;
  std::size_t pos = 0;

  bool at_end() const { return pos >= text.size(); }
  unsigned char byte() const { return static_cast<unsigned char>(text[pos]); }
  std::string_view rest() const { return text.substr(pos); }
};

// Decodes the character at `pos` of `text`. Returns the scalar value and
// stores its byte length in `len`. A byte that does not start a valid UTF-8
// sequence decodes as U+FFFD with length 1, so no input can derail a reader.
char32_t decode_utf8(std::string_view text, std::size_t pos, std::size_t& len);
void append_utf8(std::string& out, char32_t c);

bool is_alphanumeric(char32_t c);
bool is_tag_start(char32_t c);
bool is_tag_char(char32_t c);
inline bool is_blank(char32_t c) { return c == U' ' || c == U'\t'; }
inline bool is_white_space(char32_t c) {
  return c == U' ' || c == U'\t' || c == U'\r' || c == U'\n';
}
bool is_text_white_space(char32_t c);

// Longest run of blanks / white space; never fail.
inline std::string_view blanks(Cursor& c) {
  const std::size_t start = c.pos;
  const std::size_t n = c.text.size();
  while (c.pos < n && (c.text[c.pos] == ' ' || c.text[c.pos] == '\t')) ++c.pos;
  return c.text.substr(start, c.pos - start);
}

inline std::string_view white_space(Cursor& c) {
  const std::size_t start = c.pos;
  const std::size_t n = c.text.size();
  while (c.pos < n) {
    const char ch = c.text[c.pos];
    if (ch != ' ' && ch != '\t' && ch != '\r' && ch != '\n') break;
    ++c.pos;
  }
  return c.text.substr(start, c.pos - start);
}

Result<char32_t, ParseFailure> literal_char(Cursor& c, char32_t ch);
Result<std::string_view, ParseFailure> literal_text(Cursor& c, std::string_view s);

// Four characters read as a hexadecimal number, an optional leading "+"
// skipped. Fails (leaving the cursor) on anything else or too few characters.
std::optional<std::uint16_t> hex_code_unit(Cursor& c);

enum class TagStatus : std::uint8_t {
  Ok,         // token read, cursor behind it (and behind absorbed spaces)
  NoTag,      // neither a tag start nor a quotation mark; cursor unchanged
  BadString,  // malformed or unterminated quoted string; cursor at the fault
};

// Reads one tag name. On Ok, `out` views its text: a bare tag is viewed in
// place in the cursor's text; a quoted string is unescaped into `scratch`
// (cleared first) and viewed there.
TagStatus read_tag(Cursor& c, std::string& scratch, std::string_view& out);

// The same, with the failure of the language's definition: NoTag is
// Recoverable with [expected "tag"] and the cursor at the token start;
// BadString is Fatal with [expected `string`] and the cursor at the fault.
Result<std::string, ParseFailure> tag_name(Cursor& c);

}  // namespace lumo
