// Hash keys come from a process-wide splitmix sequence seeded once from the
// clock and the random device, advanced atomically, so every table gets a key
// of its own without locking.

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

}  // namespace

std::uint64_t draw_hash_key() {
  std::uint64_t state = g_base + g_counter.fetch_add(1, std::memory_order_relaxed) *
                                     0x9e3779b97f4a7c15ULL;
  return splitmix(state);
}

}  // namespace lumo

namespace lumo::hash_detail {

std::uint64_t hash_long(const unsigned char* p, std::size_t len, std::uint64_t seed) {
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
  return finish(read64(p + i - 16), read64(p + i - 8), len, seed);
}

}  // namespace lumo::hash_detail
