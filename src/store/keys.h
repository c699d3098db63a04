// The keys of strings, as stored data holds them: a GIN index over stored
// graphs keeps each graph's keys, and a stored graph's signature is made of
// its keys' bits.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/random_hash.h"

namespace lumo {

// The seed of gin_key(): the bytes "lumo-gin" read as a big-endian number.
inline constexpr std::uint64_t kGinKeySeed = 0x6c756d6f2d67696eULL;

// The key of a tag or identity string: the low 32 bits of
// hash_bytes(tag.data(), tag.size(), kGinKeySeed) (base/random_hash.h). It
// reads the bytes as unsigned values in little-endian words with
// unaligned-safe loads and multiplies through mul128(), whose every form
// gives the same bits, so it is the same in every process, with every
// compiler, in builds with and without fast paths, and on machines of
// either byte order.
//
// Stored indexes and stored graphs hold these values: changing this
// function, hash_bytes() or the seed invalidates every index built with
// them and every stored graph's signature. Such a change needs a new version
// of the operator class and of the stored form; tests/cpp/gin_plan_test.cpp
// pins recorded values so that it cannot happen unnoticed.
inline std::uint32_t gin_key(std::string_view tag) {
  return static_cast<std::uint32_t>(hash_bytes(tag.data(), tag.size(), kGinKeySeed));
}

// A set of keys in 128 bits: each key sets two bits, chosen by its low
// fourteen. may_hold() is false only for a key that was never added, so a
// graph whose signature may not hold a key surely lacks every string with
// that key; with a dozen strings about one absent key in thirty passes.
struct Signature {
  std::uint64_t words[2] = {0, 0};

  void add(std::uint32_t key) {
    set(key & 127);
    set((key >> 7) & 127);
  }
  bool may_hold(std::uint32_t key) const { return has(key & 127) && has((key >> 7) & 127); }

 private:
  void set(std::uint32_t bit) { words[bit >> 6] |= std::uint64_t{1} << (bit & 63); }
  bool has(std::uint32_t bit) const { return (words[bit >> 6] >> (bit & 63)) & 1; }
};

}  // namespace lumo
