// The distinct strings of one graph, each stored once and numbered.
//
// Tags and identities are interned while the index is built: the texts go
// into one growing arena and an open-addressing table of ids, hashed with a
// key drawn for the table, finds them again. Everything else in the index
// refers to a string by its 32-bit id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/random_hash.h"

namespace lumo {

using TagId = std::uint32_t;
inline constexpr TagId kNoTag = 0xffffffffu;

class TagTable {
 public:
  TagTable() : seed_(draw_hash_key()) {}

  // Room for `n` strings of `bytes` bytes in all without growing.
  void reserve(std::size_t n, std::size_t bytes = 0) {
    arena_.reserve(bytes);
    std::size_t want = 16;
    while (want * 3 < n * 4) want *= 2;
    if (want > slots_.size()) {
      ends_.reserve(n);
      rehash(want);
    }
  }

  // The id of `s`, added when absent.
  TagId intern(std::string_view s) {
    if ((ends_.size() + 1) * 4 > slots_.size() * 3) grow();
    const std::uint64_t h = hash_bytes(s.data(), s.size(), seed_);
    std::size_t i = h & (slots_.size() - 1);
    while (slots_[i] != kNoTag) {
      if (text(slots_[i]) == s) return slots_[i];
      i = (i + 1) & (slots_.size() - 1);
    }
    const auto id = static_cast<TagId>(ends_.size());
    arena_.append(s);
    ends_.push_back(arena_.size());
    slots_[i] = id;
    return id;
  }

  // The id of `s`, or kNoTag.
  TagId find(std::string_view s) const {
    if (slots_.empty()) return kNoTag;
    const std::uint64_t h = hash_bytes(s.data(), s.size(), seed_);
    std::size_t i = h & (slots_.size() - 1);
    while (slots_[i] != kNoTag) {
      if (text(slots_[i]) == s) return slots_[i];
      i = (i + 1) & (slots_.size() - 1);
    }
    return kNoTag;
  }

  std::string_view text(TagId id) const {
    const std::size_t start = id == 0 ? 0 : ends_[id - 1];
    return std::string_view(arena_).substr(start, ends_[id] - start);
  }

  std::size_t size() const { return ends_.size(); }

  std::size_t memory() const {
    return arena_.capacity() + ends_.capacity() * sizeof(std::size_t) +
           slots_.capacity() * sizeof(TagId);
  }

 private:
  void grow() { rehash(slots_.empty() ? 16 : slots_.size() * 2); }

  void rehash(std::size_t size) {
    slots_.assign(size, kNoTag);
    for (TagId id = 0; id < ends_.size(); ++id) {
      const std::string_view s = text(id);
      std::size_t i = hash_bytes(s.data(), s.size(), seed_) & (slots_.size() - 1);
      while (slots_[i] != kNoTag) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = id;
    }
  }

  std::uint64_t seed_;
  std::string arena_;               // the strings, one after another in id order
  std::vector<std::size_t> ends_;   // per id, where its string ends in the arena
  std::vector<TagId> slots_;  // ids; kNoTag: empty
};

}  // namespace lumo
