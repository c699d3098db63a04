// The full 128-bit product of two 64-bit numbers.
//
// The hashes fold the high half of a product into the low one. Where the
// compiler has a 128-bit integer, or an intrinsic for the high half, that
// is one multiply instruction; elsewhere (and in a build without fast paths) the product is put together from
// four 32 x 32 -> 64 bit products. Every way gives the same bits, so hash
// values do not depend on the compiler: tests/cpp/mul128_test.cpp checks
// the portable way against the one this build uses.
#pragma once

#include <cstdint>

#include "base/fast_paths.h"

#if !LUMO_FAST_PATHS
// The portable way only.
#elif defined(__SIZEOF_INT128__)
// GCC and Clang on 64-bit targets: __uint128_t, no header.
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_ARM64))
#include <intrin.h>
#endif

namespace lumo {

struct Product128 {
  std::uint64_t low;
  std::uint64_t high;
};

// a * b from 32-bit halves. Always compiled, so that tests can compare it
// with mul128() on any machine.
constexpr Product128 mul128_portable(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t a0 = a & 0xffffffffu, a1 = a >> 32;
  const std::uint64_t b0 = b & 0xffffffffu, b1 = b >> 32;
  const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  // Bits 32 to 95 of the product before their carries: at most
  // (2^32 - 1) + 2 * (2^32 - 1), which fits.
  const std::uint64_t middle = (p00 >> 32) + (p01 & 0xffffffffu) + (p10 & 0xffffffffu);
  return Product128{(middle << 32) | (p00 & 0xffffffffu),
                    p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32)};
}

// a * b.
inline Product128 mul128(std::uint64_t a, std::uint64_t b) {
#if !LUMO_FAST_PATHS
  return mul128_portable(a, b);
#elif defined(__SIZEOF_INT128__)
  const __uint128_t r = static_cast<__uint128_t>(a) * b;
  return Product128{static_cast<std::uint64_t>(r), static_cast<std::uint64_t>(r >> 64)};
#elif defined(_MSC_VER) && defined(_M_X64)
  Product128 p;
  p.low = _umul128(a, b, &p.high);
  return p;
#elif defined(_MSC_VER) && defined(_M_ARM64)
  return Product128{a * b, __umulh(a, b)};
#else
  return mul128_portable(a, b);
#endif
}

}  // namespace lumo
