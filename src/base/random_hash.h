// Hashing with keys drawn at run time.
//
// Every hash table and set of the core hashes its keys with a per-table seed
// taken from a process-wide random source, so that iteration orders differ
// between tables and runs and nobody can depend on them, and so that hostile
// input cannot aim at collisions it computed in advance. The hash itself is a
// seeded 64-bit mix over the bytes (wyhash-style multiply-fold), fast on the
// short strings that tags and names are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace lumo {

// A fresh 64-bit key; thread-safe, never the same twice in a process.
std::uint64_t draw_hash_key();

std::uint64_t hash_bytes(const void* data, std::size_t len, std::uint64_t seed);

inline std::uint64_t hash_u64(std::uint64_t x, std::uint64_t seed) {
  x ^= seed;
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// Hasher for unordered containers over strings; each instance carries its own
// key, so each table built with a default-constructed hasher gets a new one.
struct SeededStringHash {
  using is_transparent = void;
  std::uint64_t seed = draw_hash_key();
  std::size_t operator()(std::string_view s) const {
    return static_cast<std::size_t>(hash_bytes(s.data(), s.size(), seed));
  }
  std::size_t operator()(const std::string& s) const {
    return operator()(std::string_view(s));
  }
};

struct StringEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

}  // namespace lumo
