// Bare tags as the lexer reads them, against a plain reference: at every
// length, with trailing spaces, non-ASCII characters inside and after, and
// whatever follows it, wherever the text ends (the fast scan reads sixteen
// bytes at a time while the text lasts, and the ends are its edge cases).
// Then the UTF-8 decoder: the edges of every sequence length, and malformed
// sequences, which no reader may take for a character.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "malformed_utf8.h"
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

// --- UTF-8 --------------------------------------------------------------------

struct Decoded {
  const char* bytes;
  char32_t value;
};

class DecodeValid : public ::testing::TestWithParam<Decoded> {};

// A whole sequence is its character; every prefix of it, cut off by the end
// of the text, is a malformed byte, though the bytes behind the view are
// there to be read.
TEST_P(DecodeValid, WholeIsTheCharacterAndAPrefixIsMalformed) {
  const std::string_view bytes = GetParam().bytes;
  std::size_t len = 0;
  const char32_t c = decode_utf8(bytes, 0, len);
  EXPECT_EQ(c, GetParam().value);
  EXPECT_EQ(len, bytes.size());
  EXPECT_FALSE(is_malformed(c, len));
  for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
    const char32_t part = decode_utf8(bytes.substr(0, cut), 0, len);
    EXPECT_TRUE(is_malformed(part, len)) << "cut at " << cut;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Utf8, DecodeValid,
    ::testing::Values(Decoded{"\x7F", 0x7F}, Decoded{"\xC2\x80", 0x80},
                      Decoded{"\xDF\xBF", 0x7FF}, Decoded{"\xE0\xA0\x80", 0x800},
                      Decoded{"\xED\x9F\xBF", 0xD7FF}, Decoded{"\xEE\x80\x80", 0xE000},
                      Decoded{"\xEF\xBF\xBD", 0xFFFD},  // written, so not malformed
                      Decoded{"\xEF\xBF\xBF", 0xFFFF}, Decoded{"\xF0\x90\x80\x80", 0x10000},
                      Decoded{"\xF4\x8F\xBF\xBF", 0x10FFFF}),
    [](const auto& info) {
      char name[16];
      std::snprintf(name, sizeof name, "U%04X", static_cast<unsigned>(info.param.value));
      return std::string(name);
    });

class DecodeMalformed : public ::testing::TestWithParam<MalformedUtf8> {};

// Each byte of a malformed sequence, wherever a decode starts in it, is one
// malformed byte, with text behind it or at the end of the text.
TEST_P(DecodeMalformed, EveryByteIsOneMalformedByte) {
  const std::string_view bytes = GetParam().bytes;
  const std::string text = "a" + std::string(bytes) + "b";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::size_t len = 0;
    char32_t c = decode_utf8(text, 1 + i, len);
    EXPECT_TRUE(is_malformed(c, len)) << "byte " << i << " inside";
    c = decode_utf8(bytes, i, len);
    EXPECT_TRUE(is_malformed(c, len)) << "byte " << i << " at the end";
  }
}

// A bare tag ends before the sequence, whether the byte-wise scan or the
// sixteen-byte one meets it, and with spaces before it; no tag starts with
// it; a quoted tag keeps its bytes as they are.
TEST_P(DecodeMalformed, EndsABareTagAndStaysInAQuotedOne) {
  const std::string bytes(GetParam().bytes);
  std::string scratch;
  struct Bare {
    std::string text;
    std::string_view tag;
    std::size_t end;
  };
  const std::string x20(20, 'x');
  for (const Bare& bare : {Bare{"t" + bytes + "u", "t", 1}, Bare{"ab  " + bytes, "ab", 4},
                           Bare{x20 + bytes + "u", x20, 20},
                           Bare{"\u00e9" + bytes + " }", "\u00e9", 2}}) {
    Cursor c{bare.text, 0};
    std::string_view out;
    ASSERT_EQ(read_tag(c, scratch, out), TagStatus::Ok) << bare.text;
    EXPECT_EQ(out, bare.tag);
    EXPECT_EQ(c.pos, bare.end);
  }
  for (const std::string& text : {bytes, bytes + "u", bytes + "\u00e9"}) {
    Cursor c{text, 0};
    std::string_view out;
    EXPECT_EQ(read_tag(c, scratch, out), TagStatus::NoTag);
    EXPECT_EQ(c.pos, 0u);
  }
  const std::string quoted = "\"" + bytes + "\\n\" x";
  Cursor q{quoted, 0};
  std::string_view out;
  ASSERT_EQ(read_tag(q, scratch, out), TagStatus::Ok);
  EXPECT_EQ(out, bytes + "\n");
  EXPECT_EQ(q.pos, quoted.size() - 2);
}

INSTANTIATE_TEST_SUITE_P(Utf8, DecodeMalformed, ::testing::ValuesIn(kMalformedUtf8),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumo
