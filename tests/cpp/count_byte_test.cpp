// Byte counting against std::count, at every length and offset around the
// word size, with bytes on both sides of 0x80 and a run of matches long
// enough to fill the byte lanes. The word-at-a-time count is checked
// directly too, so that a build without fast paths (which counts byte by
// byte) still tests it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "base/count_byte.h"

namespace lumo {
namespace {

TEST(CountByte, AgreesWithPlainCounting) {
  std::mt19937 rng(5);
  std::string buffer(700, '\0');
  for (char& c : buffer) c = "\n\n ab\x80\xff\x0a\x8a"[rng() % 9];
  for (char value : {'\n', '\x8a', '\xff', 'z'}) {
    for (std::size_t offset = 0; offset < 9; ++offset) {
      for (std::size_t n = 0; n + offset <= buffer.size(); n += (n < 70 ? 1 : 37)) {
        const char* p = buffer.data() + offset;
        const auto want = static_cast<std::size_t>(std::count(p, p + n, value));
        ASSERT_EQ(count_byte(p, n, value), want) << offset << " " << n;
        ASSERT_EQ(count_byte_words(p, n, value), want) << offset << " " << n;
      }
    }
  }
}

TEST(CountByte, LongRunsOfMatches) {
  const std::string lines(8 * 255 * 3 + 5, '\n');  // past the lanes' 255
  EXPECT_EQ(count_byte(lines.data(), lines.size(), '\n'), lines.size());
  EXPECT_EQ(count_byte(lines.data(), lines.size(), 'x'), 0u);
  EXPECT_EQ(count_byte_words(lines.data(), lines.size(), '\n'), lines.size());
}

}  // namespace
}  // namespace lumo
