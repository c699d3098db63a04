// The 128-bit product behind the hashes: the portable way (from 32-bit
// halves) and the way this build uses agree with products worked out
// independently, with each other at the edges of every half and on many
// random operands, and the byte hash keeps its values.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "base/mul128.h"
#include "base/random_hash.h"

namespace lumo {
namespace {

struct Known {
  std::uint64_t a, b, high, low;
};

// Products computed with arbitrary-precision integers, outside this code.
constexpr Known kKnown[] = {
    {0x0000000000000000u, 0x0000000000000000u, 0x0000000000000000u, 0x0000000000000000u},
    {0x0000000000000000u, 0xffffffffffffffffu, 0x0000000000000000u, 0x0000000000000000u},
    {0x0000000000000001u, 0xffffffffffffffffu, 0x0000000000000000u, 0xffffffffffffffffu},
    {0xffffffffffffffffu, 0xffffffffffffffffu, 0xfffffffffffffffeu, 0x0000000000000001u},
    {0xfffffffffffffffeu, 0xfffffffffffffffdu, 0xfffffffffffffffbu, 0x0000000000000006u},
    {0xffffffffffffffffu, 0x00000000ffffffffu, 0x00000000fffffffeu, 0xffffffff00000001u},
    {0x00000000ffffffffu, 0x00000000ffffffffu, 0x0000000000000000u, 0xfffffffe00000001u},
    {0x0000000100000000u, 0x0000000100000000u, 0x0000000000000001u, 0x0000000000000000u},
    {0x8000000000000000u, 0x0000000000000002u, 0x0000000000000001u, 0x0000000000000000u},
    {0x0000000100000001u, 0x00000000ffffffffu, 0x0000000000000000u, 0xffffffffffffffffu},
    {0xffffffff00000000u, 0x00000000ffffffffu, 0x00000000fffffffeu, 0x0000000100000000u},
    {0x9e3779b97f4a7c15u, 0xa0761d6478bd642fu, 0x632babd06c23d7b2u, 0x042e8c22eaa5fbdbu},
    {0xe7037ed1a0b428dbu, 0x8ebc6af09c88c6e3u, 0x80cdf769fc2132a5u, 0x661fba17ffb19c31u},
    {0x0123456789abcdefu, 0xfedcba9876543210u, 0x0121fa00ad77d742u, 0x2236d88fe5618cf0u},
};

// The portable way works at compile time too.
static_assert(mul128_portable(0xffffffffffffffffu, 0xffffffffffffffffu).high ==
              0xfffffffffffffffeu);
static_assert(mul128_portable(0xffffffffffffffffu, 0xffffffffffffffffu).low == 1u);

TEST(Mul128, KnownProducts) {
  for (const Known& k : kKnown) {
    for (const auto& [a, b] : {std::pair{k.a, k.b}, std::pair{k.b, k.a}}) {
      SCOPED_TRACE(testing::Message() << std::hex << a << " * " << b);
      const Product128 fast = mul128(a, b);
      const Product128 portable = mul128_portable(a, b);
      EXPECT_EQ(fast.high, k.high);
      EXPECT_EQ(fast.low, k.low);
      EXPECT_EQ(portable.high, k.high);
      EXPECT_EQ(portable.low, k.low);
    }
  }
}

void expect_same(std::uint64_t a, std::uint64_t b) {
  const Product128 fast = mul128(a, b);
  const Product128 portable = mul128_portable(a, b);
  ASSERT_EQ(portable.low, a * b) << std::hex << a << " * " << b;  // the low half wraps
  ASSERT_EQ(fast.low, portable.low) << std::hex << a << " * " << b;
  ASSERT_EQ(fast.high, portable.high) << std::hex << a << " * " << b;
}

// Every pair of values at the edges of a 32-bit half, where the carries
// between the partial products are largest.
TEST(Mul128, EdgeValuesAgree) {
  std::vector<std::uint64_t> edges;
  for (std::uint64_t high : {0ull, 1ull, 0x7fffffffull, 0x80000000ull, 0xfffffffeull, 0xffffffffull})
    for (std::uint64_t low : {0ull, 1ull, 2ull, 0x7fffffffull, 0x80000000ull, 0xffffffffull})
      edges.push_back(high << 32 | low);
  for (std::uint64_t a : edges)
    for (std::uint64_t b : edges) ASSERT_NO_FATAL_FAILURE(expect_same(a, b));
}

// Random operands, each with one half now and then forced to all ones or
// to zero.
TEST(Mul128, RandomOperandsAgree) {
  struct Shape {
    std::uint64_t set, clear;
  };
  constexpr Shape kShapes[] = {{0, 0},
                               {0x00000000ffffffffu, 0},
                               {0xffffffff00000000u, 0},
                               {0, 0x00000000ffffffffu},
                               {0, 0xffffffff00000000u}};
  std::mt19937_64 rng(20240611);
  for (int i = 0; i < 1000000; ++i) {
    const Shape& sa = kShapes[i % 5];
    const Shape& sb = kShapes[i / 5 % 5];
    const std::uint64_t a = (rng() | sa.set) & ~sa.clear;
    const std::uint64_t b = (rng() | sb.set) & ~sb.clear;
    ASSERT_NO_FATAL_FAILURE(expect_same(a, b));
  }
}

// The byte hash keeps the values it had when it multiplied with the
// compiler's 128-bit integer directly: every path (empty, up to 3 bytes,
// 4 to 16, 17 to 48, longer) under three seeds.
TEST(HashBytes, KeepsItsValues) {
  std::string data;
  for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>((i * 167 + 13) & 0xff));
  struct Pinned {
    std::size_t len;
    std::uint64_t seed, hash;
  };
  constexpr Pinned kPinned[] = {
      {0, 0x0123456789abcdefu, 0x2ddaadf8df2970f8u},
      {1, 0x0123456789abcdefu, 0xc1afa86b04f363e2u},
      {3, 0x0123456789abcdefu, 0x910bb39aaef565b9u},
      {4, 0x0123456789abcdefu, 0xfb11880e8896cb24u},
      {7, 0x0123456789abcdefu, 0xe1266fa43638f5a0u},
      {8, 0x0123456789abcdefu, 0x1c63fdb46d4acb03u},
      {15, 0x0123456789abcdefu, 0xf2c86d03066e8716u},
      {16, 0x0123456789abcdefu, 0xe5a6ce9ec47b0de1u},
      {17, 0x0123456789abcdefu, 0x335777d7d87cc2beu},
      {32, 0x0123456789abcdefu, 0x63bbd72636856aa4u},
      {48, 0x0123456789abcdefu, 0x77a29f4b50c0134au},
      {49, 0x0123456789abcdefu, 0xebb4e1b3e72d4359u},
      {96, 0x0123456789abcdefu, 0x4e0af4008c330d45u},
      {97, 0x0123456789abcdefu, 0xe6656ef2d86e734bu},
      {300, 0x0123456789abcdefu, 0xc2d21f138247fc3du},
      {0, 0x0000000000000000u, 0x42bc986dc5eec4d3u},
      {3, 0x0000000000000000u, 0xfcc8513142b43536u},
      {16, 0x0000000000000000u, 0xb7df5f3723fafc0eu},
      {49, 0x0000000000000000u, 0x2a642e490d8ff602u},
      {300, 0x0000000000000000u, 0x63afdae1e1170e5du},
      {0, 0xffffffffffffffffu, 0x032a51621b54e231u},
      {3, 0xffffffffffffffffu, 0xf6cfb37c05030dcdu},
      {16, 0xffffffffffffffffu, 0x380544faebcdd657u},
      {49, 0xffffffffffffffffu, 0x4c7879706ae5d364u},
      {300, 0xffffffffffffffffu, 0x030fa3e40f2681ceu},
  };
  for (const Pinned& p : kPinned) {
    EXPECT_EQ(hash_bytes(data.data(), p.len, p.seed), p.hash)
        << "length " << p.len << ", seed " << std::hex << p.seed;
  }
  EXPECT_EQ(premix_seed(0x0123456789abcdefu), 0x7b36dfe2199e09bbu);
}

}  // namespace
}  // namespace lumo
