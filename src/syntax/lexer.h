// Lexical elements: the cursor, UTF-8, character classes and token readers.
//
// Readers take a Cursor and advance it over what they read. The only real
// token of the language is the tag name, written bare (letters, digits,
// apostrophe, low line, middle dot, then also inner spaces and hyphens;
// trailing spaces are consumed but not kept) or as a quoted string with
// JSON-like escapes and the "\u+XXX" form of hex_code_unit.
//
// read_tag() reports its outcome as a small status rather than a failure
// value, so that the hot path never builds one; the parser turns a status
// into the expectation entries of the construct it was reading.
//
// A run of blanks or white space can be as long as the text. A short run is
// read inline; a long one goes on out of line, a stretch of kRunStretch
// bytes at a time, ticking the cursor's poll between stretches. A token is
// read whole (see base/interrupt.h: the work on one string is not split).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "base/compiler.h"
#include "base/fast_paths.h"
#include "base/interrupt.h"

namespace lumo {

struct Cursor {
  std::string_view text;
  std::size_t pos = 0;
  // Ticked while a long run of blanks or white space is read (null: not
  // polled). Once it says stop, the run ends where it stopped; the reader
  // sees the stop at its own next tick.
  InterruptPoll* poll = nullptr;

  bool at_end() const { return pos >= text.size(); }
};

// Bytes of a run read between two ticks of the cursor's poll.
inline constexpr std::size_t kRunStretch = 4096;

// Weighs a token of `bytes` bytes just read in the cursor's poll, if it is
// long enough to count (see lexer.cpp).
void after_long_token(Cursor& c, std::size_t bytes);

// The rest of a run of blanks or white space from `start` on, read up to
// the cursor so far (for blanks: one byte; for white space: kRunStretch
// bytes); returns all of it.
std::string_view long_blanks(Cursor& c, std::size_t start);
std::string_view long_white_space(Cursor& c, std::size_t start);

// White space from `i` up to `end` (at most the end of the text); returns
// where it ends.
inline std::size_t white_space_until(const char* p, std::size_t i, std::size_t end) {
  for (;;) {
    if constexpr (kFastPaths && std::endian::native == std::endian::little) {
      if (end - i >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        w ^= 0x2020202020202020ULL;  // spaces become zero bytes
        if (w == 0) {
          i += 8;
          continue;
        }
        i += static_cast<std::size_t>(std::countr_zero(w)) >> 3;
      }
    }
    if (i == end) break;
    const char ch = p[i];
    if (ch != ' ' && ch != '\t' && ch != '\r' && ch != '\n') break;
    ++i;
  }
  return i;
}

// Decodes the character at `pos` (< text.size()) of `text`. Returns the
// scalar value and stores its byte length in `len`. A byte that does not
// start a valid, shortest-form sequence of a scalar value (no surrogates,
// nothing above U+10FFFF, nothing cut off by the end of the text) decodes as
// U+FFFD with length 1, so no input can derail a reader.
char32_t decode_utf8(std::string_view text, std::size_t pos, std::size_t& len);

// True when the character decoded with length `len` is a malformed byte
// rather than a character of the text.
inline bool is_malformed(char32_t c, std::size_t len) { return c == 0xFFFD && len == 1; }

bool is_tag_start(char32_t c);
bool is_tag_char(char32_t c);
// Unicode White_Space, which the trim removes from both ends of a text.
bool is_text_white_space(char32_t c);

// Longest run of blanks / white space; never fail.
LUMO_ALWAYS_INLINE std::string_view blanks(Cursor& c) {
  const std::size_t start = c.pos;
  const std::size_t n = c.text.size();
  // Nearly every run is one blank or none; a longer one goes on out of line.
  if (c.pos < n && (c.text[c.pos] == ' ' || c.text[c.pos] == '\t')) {
    ++c.pos;
    if (c.pos < n && (c.text[c.pos] == ' ' || c.text[c.pos] == '\t')) [[unlikely]]
      return long_blanks(c, start);
  }
  return c.text.substr(start, c.pos - start);
}

// Runs of spaces, the bulk of indentation, are skipped eight bytes at a
// time; a run of kRunStretch bytes goes on out of line.
LUMO_ALWAYS_INLINE std::string_view white_space(Cursor& c) {
  const std::size_t start = c.pos;
  const std::size_t n = c.text.size();
  const char* p = c.text.data();
  std::size_t i = start;
  for (;;) {
    if constexpr (kFastPaths && std::endian::native == std::endian::little) {
      if (n - i >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        w ^= 0x2020202020202020ULL;  // spaces become zero bytes
        if (w == 0) {
          i += 8;
          if (i - start >= kRunStretch) [[unlikely]] {
            c.pos = i;
            return long_white_space(c, start);
          }
          continue;
        }
        i += static_cast<std::size_t>(std::countr_zero(w)) >> 3;
      }
    }
    if (i == n) break;
    const char ch = p[i];
    if (ch != ' ' && ch != '\t' && ch != '\r' && ch != '\n') break;
    if (++i - start >= kRunStretch) [[unlikely]] {
      c.pos = i;
      return long_white_space(c, start);
    }
  }
  c.pos = i;
  return c.text.substr(start, i - start);
}

// Four characters read as a hexadecimal number, an optional leading "+"
// skipped: 0 to 0xFFFF. Fails with -1 (leaving the cursor) on anything else
// or too few characters. A plain int rather than an optional: compilers fold
// "empty or out of range" into one test of the value, which then reads the
// value of an empty optional (harmless, but memory checkers rightly flag a
// branch on uninitialised bits).
int hex_code_unit(Cursor& c);

enum class TagStatus : std::uint8_t {
  Ok,         // token read, cursor behind it (and behind absorbed spaces)
  NoTag,      // neither a tag start nor a quotation mark; cursor unchanged
  BadString,  // malformed or unterminated quoted string; cursor at the fault
};

// Reads one tag name. On Ok, `out` views its text: a bare tag is viewed in
// place in the cursor's text; a quoted string is unescaped into `scratch`
// (cleared first) and viewed there.
TagStatus read_tag(Cursor& c, std::string& scratch, std::string_view& out);

}  // namespace lumo
