// Code points to UTF-8 against a plain encoder, on random texts that mix
// ASCII runs (taken eight at a time) with characters of every UTF-8 length,
// at every offset and every length of tail; surrogates and values past
// U+10FFFF are refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/utf32.h"

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

std::optional<std::string> convert(const std::vector<std::uint32_t>& points) {
  std::string out(4 * points.size() + 8, '\x55');
  std::size_t written = 12345;
  if (!utf32_to_utf8(points.data(), points.size(), out.data(), written)) {
    EXPECT_EQ(written, 12345u);
    return std::nullopt;
  }
  EXPECT_LE(written, 4 * points.size());
  EXPECT_EQ(out.substr(written), std::string(out.size() - written, '\x55'));  // nothing past it
  out.resize(written);
  return out;
}

TEST(Utf32, RandomTextsConvertAsAPlainEncoder) {
  std::mt19937 rng(11);  // texts of up to 80 code points: several blocks of eight
  const std::uint32_t samples[] = {0x7f, 0x80, 0xe9, 0x7ff, 0x800, 0x65e5, 0xd7ff,
                                   0xe000, 0xffff, 0x10000, 0x1f600, 0x10ffff};
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint32_t> points;
    std::string want;
    const int length = static_cast<int>(rng() % 80);
    for (int k = 0; k < length; ++k) {
      // Mostly ASCII, so that runs of eight meet every other kind at every offset.
      const std::uint32_t c = rng() % 4 ? 0x20 + rng() % 0x5f : samples[rng() % std::size(samples)];
      points.push_back(c);
      put_utf8(c, want);
    }
    ASSERT_EQ(convert(points), want) << "round " << round;
  }
}

TEST(Utf32, SurrogatesAndValuesPastTheLastAreRefused) {
  for (std::uint32_t bad : {0xd800u, 0xdbffu, 0xdc00u, 0xdfffu, 0x110000u, 0xffffffffu}) {
    for (std::size_t at : {0, 3, 9, 16}) {
      std::vector<std::uint32_t> points(17, 'a');
      points[at] = bad;
      EXPECT_EQ(convert(points), std::nullopt) << bad << " at " << at;
    }
  }
  EXPECT_EQ(convert({}), "");
}

}  // namespace
}  // namespace lumo
