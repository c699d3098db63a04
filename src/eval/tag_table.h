// The distinct strings of one graph, each stored once and numbered.
//
// Tags and identities are interned while the index is built: the texts go
// into one growing arena and an open-addressing table of ids (linear
// probing, hashed with a key drawn for the table) finds them again.
// Everything else in the index refers to a string by its 32-bit id.
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
  // `packed_id_bits` is how many low bits of a slot hold the id while slots
  // carry hash bits too (see below); tests lower it to reach the switch.
  explicit TagTable(unsigned packed_id_bits = 24)
      : seed_(draw_hash_key()),
        id_bits_(packed_id_bits),
        id_mask_((std::uint32_t{1} << packed_id_bits) - 1) {}

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
    if (packed_ && ends_.size() >= id_mask_) unpack();
    const std::uint64_t h = hash_bytes(s.data(), s.size(), seed_);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    for (std::uint32_t slot; (slot = slots_[i]) != kEmpty; i = (i + 1) & mask) {
      if (may_hold(slot, h) && text(id_of(slot)) == s) return id_of(slot);
    }
    const auto id = static_cast<TagId>(ends_.size());
    arena_.insert(arena_.end(), s.begin(), s.end());
    ends_.push_back(arena_.size());
    slots_[i] = slot_for(id, h);
    return id;
  }

  // The id of `s`, or kNoTag.
  TagId find(std::string_view s) const {
    if (slots_.empty()) return kNoTag;
    const std::uint64_t h = hash_bytes(s.data(), s.size(), seed_);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask; slots_[i] != kEmpty; i = (i + 1) & mask) {
      if (may_hold(slots_[i], h) && text(id_of(slots_[i])) == s) return id_of(slots_[i]);
    }
    return kNoTag;
  }

  std::string_view text(TagId id) const {
    const std::size_t start = id == 0 ? 0 : ends_[id - 1];
    return std::string_view(arena_.data() + start, ends_[id] - start);
  }

  std::size_t size() const { return ends_.size(); }

 private:
  // A slot holds kEmpty, or a string's id with, in its top bits (eight by
  // default), bits of the string's hash: a probe that meets another string
  // is almost always told apart by those bits, without reading that string
  // from the arena (which, in a large table, is a cache miss). Once the ids
  // need those bits (past 2^24 strings by default), slots hold bare ids.
  static constexpr std::uint32_t kEmpty = 0xffffffffu;

  std::uint32_t fingerprint(std::uint64_t h) const {
    return static_cast<std::uint32_t>(h >> (32 + id_bits_));
  }
  TagId id_of(std::uint32_t slot) const { return packed_ ? slot & id_mask_ : slot; }
  bool may_hold(std::uint32_t slot, std::uint64_t h) const {
    return !packed_ || (slot >> id_bits_) == fingerprint(h);
  }
  // Never kEmpty: a packed id is below id_mask_.
  std::uint32_t slot_for(TagId id, std::uint64_t h) const {
    return packed_ ? id | (fingerprint(h) << id_bits_) : id;
  }

  void grow() { rehash(slots_.empty() ? 16 : slots_.size() * 2); }

  void unpack() {
    packed_ = false;
    rehash(slots_.size());
  }

  void rehash(std::size_t size) {
    slots_.assign(size, kEmpty);
    const std::size_t mask = size - 1;
    for (TagId id = 0; id < ends_.size(); ++id) {
      const std::string_view s = text(id);
      const std::uint64_t h = hash_bytes(s.data(), s.size(), seed_);
      std::size_t i = h & mask;
      while (slots_[i] != kEmpty) i = (i + 1) & mask;
      slots_[i] = slot_for(id, h);
    }
  }

  std::uint64_t seed_;
  unsigned id_bits_;
  std::uint32_t id_mask_;
  bool packed_ = true;
  std::vector<char> arena_;         // the strings, one after another in id order
  std::vector<std::size_t> ends_;   // per id, where its string ends in the arena
  std::vector<std::uint32_t> slots_;
};

}  // namespace lumo
