// Hashing with keys drawn at run time.
//
// Every hash table and set of the core hashes its keys with a per-table seed
// taken from a process-wide random source, so that iteration orders differ
// between tables and runs and nobody can depend on them, and so that hostile
// input cannot aim at collisions it computed in advance. The hash itself is a
// seeded 64-bit mix over the bytes (wyhash-style multiply-fold), fast on the
// short strings that tags and names are. It reads words in little-endian
// order on every machine, so a hash of given bytes and seed is the same
// everywhere (stored indexes keep such hashes).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/fast_paths.h"
#include "base/mul128.h"

namespace lumo {

// A fresh 64-bit key; thread-safe, never the same twice in a process.
std::uint64_t draw_hash_key();

namespace hash_detail {

// The little-endian word at p: one load where the machine is little-endian,
// byte by byte elsewhere and in a build without fast paths.
template <class Word>
inline Word read_le(const unsigned char* p) {
  if constexpr (kFastPaths && std::endian::native == std::endian::little) {
    Word v;
    std::memcpy(&v, p, sizeof v);
    return v;
  } else {
    Word v = 0;
    for (std::size_t i = sizeof v; i-- > 0;) v = static_cast<Word>(v << 8) | p[i];
    return v;
  }
}
inline std::uint64_t read64(const unsigned char* p) { return read_le<std::uint64_t>(p); }
inline std::uint64_t read32(const unsigned char* p) { return read_le<std::uint32_t>(p); }
inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
  const Product128 r = mul128(a, b);
  return r.low ^ r.high;
}

}  // namespace hash_detail

namespace hash_detail {
inline constexpr std::uint64_t s0 = 0xa0761d6478bd642fULL, s1 = 0xe7037ed1a0b428dbULL,
                               s2 = 0x8ebc6af09c88c6e3ULL;
}  // namespace hash_detail

// The first step of hash_bytes() on its seed; a table that hashes many
// strings with one seed does it once (see hash_bytes_premixed).
inline std::uint64_t premix_seed(std::uint64_t seed) {
  using namespace hash_detail;
  return seed ^ mix(seed ^ s0, s1);
}

namespace hash_detail {

inline std::uint64_t finish(std::uint64_t a, std::uint64_t b, std::size_t len,
                            std::uint64_t seed) {
  a ^= s1;
  b ^= seed;
  const Product128 r = mul128(a, b);
  return mix(r.low ^ s0 ^ len, r.high ^ s1);
}

// Strings longer than 16 bytes, kept out of line.
std::uint64_t hash_long(const unsigned char* p, std::size_t len, std::uint64_t seed);

}  // namespace hash_detail

// hash_bytes(data, len, seed) given premix_seed(seed). Tags and names are
// mostly short, and their path is inline.
inline std::uint64_t hash_bytes_premixed(const void* data, std::size_t len, std::uint64_t seed) {
  using namespace hash_detail;
  const auto* p = static_cast<const unsigned char*>(data);
  if (len > 16) [[unlikely]]
    return hash_long(p, len, seed);
  std::uint64_t a, b;
  if (len >= 4) {
    a = (read32(p) << 32) | read32(p + ((len >> 3) << 2));
    b = (read32(p + len - 4) << 32) | read32(p + len - 4 - ((len >> 3) << 2));
  } else if (len > 0) {
    a = (static_cast<std::uint64_t>(p[0]) << 16) | (static_cast<std::uint64_t>(p[len >> 1]) << 8) |
        p[len - 1];
    b = 0;
  } else {
    a = b = 0;
  }
  // One multiply-fold: short keys are most of what tables hash, and this
  // is on the path of every lookup.
  const Product128 r = mul128(a ^ s1, b ^ seed ^ len);
  return r.low ^ r.high;
}

// The byte hash. Up to 16 bytes (most tags and names) it reads four 4-byte
// words, which overlap below 16 (below 4 bytes: the first, middle and last
// byte), and folds them with one multiply; longer strings go to hash_long,
// which folds 16 bytes a step (48 in three lanes while more than 48 are
// left) and then the last 16 bytes, read in place. Inline, since tables
// call it once per string.
inline std::uint64_t hash_bytes(const void* data, std::size_t len, std::uint64_t seed) {
  return hash_bytes_premixed(data, len, premix_seed(seed));
}

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
