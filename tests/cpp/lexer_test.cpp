// Bare tags as the lexer reads them, against a plain reference: at every
// length, with trailing spaces, non-ASCII characters inside and after, and
// whatever follows it, wherever the text ends (the fast scan reads sixteen
// bytes at a time while the text lasts, and the ends are its edge cases).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "syntax/lexer.h"

namespace lumo {
namespace {

// Character by character: a tag starts with a letter, digit, apostrophe,
// low line or "é", then takes those, spaces and hyphens, and leaves out the
// spaces it ends with.
bool starts(std::string_view t, std::size_t i, std::size_t& len) {
  len = 1;
  if (t.compare(i, 2, "é") == 0) {
    len = 2;
    return true;
  }
  const char c = t[i];
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '\'' || c == '_';
}

bool reference(std::string_view t, std::size_t pos, std::string_view& out, std::size_t& end) {
  std::size_t len;
  if (pos >= t.size() || !starts(t, pos, len)) return false;
  std::size_t i = pos + len, kept = i;
  while (i < t.size()) {
    if (starts(t, i, len)) {
      i += len;
      kept = i;
    } else if (t[i] == ' ' || t[i] == '-') {
      kept = t[i] == '-' ? i + 1 : kept;
      ++i;
    } else {
      break;
    }
  }
  out = t.substr(pos, kept - pos);
  end = i;
  return true;
}

TEST(Lexer, BareTagsAgreeWithTheReference) {
  const std::vector<std::string> pieces = {"a", "Z", "5", " ", "-", "_", "'", "é",
                                           ",", ":", "{", "\n", "(", "@", "q"};
  std::mt19937 rng(5);
  std::string scratch;
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int before = static_cast<int>(rng() % 3), length = static_cast<int>(rng() % 45);
    for (int k = 0; k < before; ++k) text += ",";
    for (int k = 0; k < length; ++k) text += pieces[rng() % pieces.size()];
    const std::size_t pos = static_cast<std::size_t>(before);
    std::string_view want;
    std::size_t want_end = 0;
    const bool is_tag = reference(text, pos, want, want_end);
    Cursor c{text, pos};
    std::string_view got;
    const TagStatus st = read_tag(c, scratch, got);
    ASSERT_EQ(st == TagStatus::Ok, is_tag) << "[" << text << "]";
    if (!is_tag) continue;
    EXPECT_EQ(got, want) << "[" << text << "]";
    EXPECT_EQ(c.pos, want_end) << "[" << text << "]";
  }
}

}  // namespace
}  // namespace lumo
