// Hash keys come from a process-wide splitmix sequence seeded once from the
// clock and the random device, advanced atomically, so every table gets a key
// of its own without locking. The byte hash is a multiply-fold over 8-byte
// words, reading the tail with a bounded copy.

#include "base/random_hash.h"

#include <atomic>
#include <chrono>
#include <random>

namespace lumo {

namespace {

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::uint64_t initial_state() {
  std::random_device rd;
  std::uint64_t s = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  s ^= static_cast<std::uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  return s;
}

std::atomic<std::uint64_t> g_counter{0};
const std::uint64_t g_base = initial_state();

inline std::uint64_t read64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline std::uint64_t read32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

}  // namespace

std::uint64_t draw_hash_key() {
  std::uint64_t state = g_base + g_counter.fetch_add(1, std::memory_order_relaxed) *
                                     0x9e3779b97f4a7c15ULL;
  return splitmix(state);
}

std::uint64_t hash_bytes(const void* data, std::size_t len, std::uint64_t seed) {
  constexpr std::uint64_t s0 = 0xa0761d6478bd642fULL, s1 = 0xe7037ed1a0b428dbULL,
                          s2 = 0x8ebc6af09c88c6e3ULL;
  const auto* p = static_cast<const unsigned char*>(data);
  seed ^= mix(seed ^ s0, s1);
  std::uint64_t a, b;
  if (len <= 16) {
    if (len >= 4) {
      a = (read32(p) << 32) | read32(p + ((len >> 3) << 2));
      b = (read32(p + len - 4) << 32) | read32(p + len - 4 - ((len >> 3) << 2));
    } else if (len > 0) {
      a = (static_cast<std::uint64_t>(p[0]) << 16) |
          (static_cast<std::uint64_t>(p[len >> 1]) << 8) | p[len - 1];
      b = 0;
    } else {
      a = b = 0;
    }
  } else {
    std::size_t i = len;
    if (i > 48) {
      std::uint64_t see1 = seed, see2 = seed;
      do {
        seed = mix(read64(p) ^ s1, read64(p + 8) ^ seed);
        see1 = mix(read64(p + 16) ^ s2, read64(p + 24) ^ see1);
        see2 = mix(read64(p + 32) ^ s0, read64(p + 40) ^ see2);
        p += 48;
        i -= 48;
      } while (i > 48);
      seed ^= see1 ^ see2;
    }
    while (i > 16) {
      seed = mix(read64(p) ^ s1, read64(p + 8) ^ seed);
      i -= 16;
      p += 16;
    }
    a = read64(p + i - 16);
    b = read64(p + i - 8);
  }
  a ^= s1;
  b ^= seed;
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  a = static_cast<std::uint64_t>(r);
  b = static_cast<std::uint64_t>(r >> 64);
  return mix(a ^ s0 ^ len, b ^ s1);
}

}  // namespace lumo
