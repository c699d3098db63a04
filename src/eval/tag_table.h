// The distinct strings of one graph, each stored once and numbered.
//
// Tags and identities are interned while the index is built: the texts go
// into one growing arena and an open-addressing table of ids (linear
// probing, hashed with a key drawn for the table) finds them again.
// Everything else in the index refers to a string by its 32-bit id.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
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
      : seed_(premix_seed(draw_hash_key())),
        id_mask_((std::uint32_t{1} << packed_id_bits) - 1),
        hash_mask_(~id_mask_) {}

  // A moved-from table may only be assigned to or destroyed.
  TagTable(TagTable&&) noexcept = default;
  TagTable& operator=(TagTable&&) noexcept = default;

  // Room for `n` strings of `bytes` bytes in all without growing.
  void reserve(std::size_t n, std::size_t bytes = 0) {
    if (bytes > arena_cap_) move_arena(bytes);
    std::size_t want = 16;
    while (want * 3 < n * 4) want *= 2;
    if (want > slots_.size()) {
      bounds_.reserve(n + 1);
      rehash(want);
    }
  }

  // The id of `s`, added when absent.
  TagId intern(std::string_view s) {
    if (size() >= limit_) make_room();
    const std::uint64_t h = hash_bytes_premixed(s.data(), s.size(), seed_);
    const std::uint32_t bits = hash_bits(h);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    for (std::uint32_t slot; (slot = slots_[i]) != kEmpty; i = (i + 1) & mask) {
      if ((slot & hash_mask_) == bits && text(slot & ~hash_mask_) == s) return slot & ~hash_mask_;
    }
    const auto id = static_cast<TagId>(size());
    append(s);
    slots_[i] = id | bits;
    return id;
  }

  // The id of `s`, or kNoTag.
  TagId find(std::string_view s) const {
    if (slots_.empty()) return kNoTag;
    const std::uint64_t h = hash_bytes_premixed(s.data(), s.size(), seed_);
    const std::uint32_t bits = hash_bits(h);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask; slots_[i] != kEmpty; i = (i + 1) & mask) {
      const std::uint32_t slot = slots_[i];
      if ((slot & hash_mask_) == bits && text(slot & ~hash_mask_) == s) return slot & ~hash_mask_;
    }
    return kNoTag;
  }

  std::string_view text(TagId id) const {
    return std::string_view(arena_.get() + bounds_[id], bounds_[id + 1] - bounds_[id]);
  }

  std::size_t size() const { return bounds_.size() - 1; }

 private:
  // A slot holds kEmpty, or a string's id with, in its top bits (eight by
  // default), bits of the string's hash: a probe that meets another string
  // is almost always told apart by those bits, without reading that string
  // from the arena (which, in a large table, is a cache miss). Once the ids
  // need those bits (past 2^24 strings by default), slots hold bare ids:
  // `hash_mask_` selects the hash bits of a slot, and is zero from then on.
  static constexpr std::uint32_t kEmpty = 0xffffffffu;

  std::uint32_t hash_bits(std::uint64_t h) const {
    return static_cast<std::uint32_t>(h >> 32) & hash_mask_;
  }

  // Grows the slots, or stops packing hash bits, before `limit_` is passed.
  [[gnu::noinline]] void make_room() {
    if (hash_mask_ != 0 && size() >= id_mask_) {
      hash_mask_ = 0;
      rehash(slots_.size());
    }
    if ((size() + 1) * 4 > slots_.size() * 3) rehash(slots_.empty() ? 16 : slots_.size() * 2);
  }

  [[gnu::noinline]] void rehash(std::size_t size) {
    slots_.assign(size, kEmpty);
    const std::size_t mask = size - 1;
    for (TagId id = 0; id < this->size(); ++id) {
      const std::string_view s = text(id);
      const std::uint64_t h = hash_bytes_premixed(s.data(), s.size(), seed_);
      std::size_t i = h & mask;
      while (slots_[i] != kEmpty) i = (i + 1) & mask;
      slots_[i] = id | hash_bits(h);
    }
    // Past three quarters full the slots grow; while slots pack hash bits,
    // the id that would need them stops packing first.
    limit_ = size * 3 / 4;
    if (hash_mask_ != 0 && limit_ > id_mask_) limit_ = id_mask_;
  }

  // Appends a string's bytes to the arena, which grows geometrically.
  void append(std::string_view s) {
    const std::size_t used = bounds_.back();
    if (s.size() > arena_cap_ - used) move_arena(std::max(2 * arena_cap_, used + s.size()));
    if (!s.empty()) std::memcpy(arena_.get() + used, s.data(), s.size());
    bounds_.push_back(used + s.size());
  }

  [[gnu::noinline]] void move_arena(std::size_t cap) {
    auto bigger = std::make_unique_for_overwrite<char[]>(cap);
    if (bounds_.back() != 0) std::memcpy(bigger.get(), arena_.get(), bounds_.back());
    arena_ = std::move(bigger);
    arena_cap_ = cap;
  }

  std::uint64_t seed_;  // premixed
  std::uint32_t id_mask_;
  std::uint32_t hash_mask_;
  std::size_t limit_ = 0;  // intern() calls make_room() at this size
  std::unique_ptr<char[]> arena_;  // the strings, one after another in id order
  std::size_t arena_cap_ = 0;
  std::vector<std::size_t> bounds_{0};  // string id's bytes: [bounds_[id], bounds_[id + 1])
  std::vector<std::uint32_t> slots_;
};

}  // namespace lumo
