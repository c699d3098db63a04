// UTF-16 to UTF-8 against a plain encoder of code points, on random texts
// that mix ASCII runs (taken four units at a time) with characters of every
// UTF-8 length, at every offset and every length of tail.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "base/utf16.h"

namespace lumo {
namespace {

void put_utf8(std::uint32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

void put_utf16(std::uint32_t c, std::vector<std::uint16_t>& out) {
  if (c < 0x10000) {
    out.push_back(static_cast<std::uint16_t>(c));
  } else {
    out.push_back(static_cast<std::uint16_t>(0xd800 + ((c - 0x10000) >> 10)));
    out.push_back(static_cast<std::uint16_t>(0xdc00 + ((c - 0x10000) & 0x3ff)));
  }
}

std::string convert(const std::vector<std::uint16_t>& units) {
  const auto* p = reinterpret_cast<const unsigned char*>(units.data());
  std::string out(3 * units.size() + 8, '\x55');
  const std::size_t written = utf16_to_utf8(p, units.size(), out.data());
  EXPECT_LE(written, 3 * units.size());
  EXPECT_EQ(out.substr(written), std::string(out.size() - written, '\x55'));  // nothing past it
  out.resize(written);
  return out;
}

TEST(Utf16, RandomTextsConvertAsAPlainEncoder) {
  std::mt19937 rng(11);  // texts of up to 80 characters: several blocks of eight
  const std::uint32_t samples[] = {0x7f, 0x80, 0xe9, 0x7ff, 0x800, 0x65e5, 0xd7ff,
                                   0xe000, 0xffff, 0x10000, 0x1f600, 0x10ffff};
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint16_t> units;
    std::string want;
    const int length = static_cast<int>(rng() % 80);
    for (int k = 0; k < length; ++k) {
      // Mostly ASCII, so that runs of four meet every other kind at every offset.
      const std::uint32_t c = rng() % 4 ? 0x20 + rng() % 0x5f : samples[rng() % std::size(samples)];
      put_utf16(c, units);
      put_utf8(c, want);
    }
    ASSERT_EQ(convert(units), want) << "round " << round;
  }
}

TEST(Utf16, LoneSurrogatesStayInBounds) {
  // Never given by the encoder, but a unit left without its pair is written
  // as three bytes and nothing past the end is read.
  EXPECT_EQ(convert({'a', 0xd800}), "a\xed\xa0\x80");
  EXPECT_EQ(convert({0xdc00, 'b'}), "\xed\xb0\x80" "b");
  EXPECT_EQ(convert({}), "");
}

}  // namespace
}  // namespace lumo
