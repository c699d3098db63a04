// The distinct strings of one graph, each stored once and numbered.
//
// Tags and identities are interned while the index is built: the texts go
// into one growing arena and an open-addressing table of ids (linear
// probing, hashed with a key drawn for the table) finds them again.
// Everything else in the index refers to a string by its 32-bit id.
//
// A finished table is read through TagView: the same lookups over arrays it
// does not own, either the table's own (moved into the index) or a packed
// copy in the index's one block. A reader keeps its table from graph to
// graph (clear() keeps the memory and the key), so a small graph neither
// allocates nor draws a key for its strings.
//
// The common paths (intern and find of a string, clear for the next graph)
// are inline here; growth, the large-table paths and batched lookups are
// in tag_table.cpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/compiler.h"
#include "base/huge_pages.h"
#include "base/random_hash.h"

namespace lumo {

using TagId = std::uint32_t;
inline constexpr TagId kNoTag = 0xffffffffu;

namespace tag_detail {

// A slot holds kEmpty, or a string's id with, in its top bits (eight by
// default), bits of the string's hash: a probe that meets another string
// is almost always told apart by those bits, without reading that string
// from the arena (which, in a large table, is a cache miss). Once the ids
// need those bits (past 2^24 strings by default), slots hold bare ids:
// `hash_mask` selects the hash bits of a slot, and is zero from then on.
inline constexpr std::uint32_t kEmpty = 0xffffffffu;

// Whether string `id` of an arena with these bounds is `s`.
inline bool holds_at(const std::size_t* bounds, const char* arena, TagId id, std::string_view s) {
  return bounds[id + 1] - bounds[id] == s.size() &&
         same_bytes(arena + bounds[id], s.data(), s.size());
}

struct Arrays {
  std::uint64_t seed = 0;  // premixed
  std::uint32_t hash_mask = 0;
  const std::uint32_t* slots = nullptr;
  std::size_t slot_mask = 0;       // slot count - 1; no slots when `slots` is null
  const std::size_t* bounds = nullptr;  // string id's bytes: [bounds[id], bounds[id + 1])
  const char* arena = nullptr;
  std::size_t size = 0;

  std::uint32_t hash_bits(std::uint64_t h) const {
    return static_cast<std::uint32_t>(h >> 32) & hash_mask;
  }
  std::string_view text(TagId id) const {
    return std::string_view(arena + bounds[id], bounds[id + 1] - bounds[id]);
  }
  bool holds(TagId id, std::string_view s) const { return holds_at(bounds, arena, id, s); }
  TagId find(std::string_view s) const {
    if (slots == nullptr) return kNoTag;
    return find_hashed(s, hash_bytes_premixed(s.data(), s.size(), seed));
  }
  TagId find_hashed(std::string_view s, std::uint64_t h) const {
    const std::uint32_t bits = hash_bits(h);
    for (std::size_t i = h & slot_mask; slots[i] != kEmpty; i = (i + 1) & slot_mask) {
      const std::uint32_t slot = slots[i];
      if ((slot & hash_mask) == bits && holds(slot & ~hash_mask, s)) return slot & ~hash_mask;
    }
    return kNoTag;
  }

  // out[k] = find(names[k]) for every k. In a large table each lookup waits
  // on up to three loads from memory, one after the other: the slot, the
  // bounds of the string it holds, that string's bytes. Here each is asked
  // for a few names ahead of the lookup that needs it, so that the loads of
  // different names overlap.
  void find_many(const std::string_view* names, TagId* out, std::size_t n) const;
};

}  // namespace tag_detail

// The strings of a finished table, read only.
class TagView {
 public:
  TagView() = default;
  TagId find(std::string_view s) const { return a_.find(s); }
  std::string_view text(TagId id) const { return a_.text(id); }
  std::size_t size() const { return a_.size; }

  // The arrays themselves, and a view over arrays kept elsewhere (a stored
  // graph's block): the caller vouches that they make a table.
  const tag_detail::Arrays& arrays() const { return a_; }
  static TagView over(const tag_detail::Arrays& a) { return TagView(a); }

 private:
  friend class TagTable;
  explicit TagView(const tag_detail::Arrays& a) : a_(a) {}
  tag_detail::Arrays a_;
};

class TagTable {
 public:
  // `packed_id_bits` is how many low bits of a slot hold the id while slots
  // carry hash bits too (see kEmpty above); tests lower it to reach the
  // switch.
  explicit TagTable(unsigned packed_id_bits = 24)
      : seed_(premix_seed(draw_hash_key())),
        id_mask_((std::uint32_t{1} << packed_id_bits) - 1),
        hash_mask_(~id_mask_) {}

  // A moved-from table may only be assigned to, destroyed or cleared.
  TagTable(TagTable&&) noexcept = default;
  TagTable& operator=(TagTable&&) noexcept = default;

  // Empties the table, with room for `n` strings of `bytes` bytes in all,
  // keeping its memory and its key.
  void clear(std::size_t n, std::size_t bytes) {
    if (!arena_) arena_cap_ = 0;  // moved from
    bounds_.assign(1, 0);
    hash_mask_ = ~id_mask_;
    waiting_ = 0;
    filter_.clear();
    if (slot_count(n) >= kFilterFrom) filter_.assign(slot_count(n) / 16, 0);
    if (slots_.size() == slot_count(n)) {
      // The usual case from record to record: the same slots, emptied.
      static_assert(kEmpty == 0xffffffffu);
      std::memset(slots_.data(), 0xff, slots_.size() * sizeof(std::uint32_t));
      set_limit();
      if (bytes > arena_cap_) move_arena(bytes);
      return;
    }
    slots_.clear();
    reserve(n, bytes);
  }

  // Room for `n` strings of `bytes` bytes in all without growing.
  void reserve(std::size_t n, std::size_t bytes = 0) {
    if (bytes > arena_cap_) move_arena(bytes);
    const std::size_t want = slot_count(n);
    if (want > slots_.size()) {
      bounds_.reserve(n + 1);
      rehash(want);
    }
  }

  // The id of `s`, added when absent.
  TagId intern(std::string_view s) {
    if (size() >= limit_) make_room();
    const std::uint64_t h = hash_bytes_premixed(s.data(), s.size(), seed_);
    if (!filter_.empty()) return intern_filtered(s, h);
    const std::uint32_t bits = hash_bits(h);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    for (std::uint32_t slot; (slot = slots_[i]) != kEmpty; i = (i + 1) & mask) {
      if ((slot & hash_mask_) == bits && holds(slot & ~hash_mask_, s)) return slot & ~hash_mask_;
    }
    const auto id = static_cast<TagId>(size());
    append(s);
    slots_[i] = id | bits;
    return id;
  }

  // The id of `s`, or kNoTag.
  TagId find(std::string_view s) const {
    const TagId id = arrays().find(s);
    return id != kNoTag || waiting_ == 0 ? id : find_waiting(s);
  }

  // out[k] = find(names[k]) for every k; faster than one by one on a large
  // table.
  void find_many(const std::string_view* names, TagId* out, std::size_t n) const {
    if (waiting_ != 0) {
      for (std::size_t k = 0; k < n; ++k) out[k] = find(names[k]);
      return;
    }
    arrays().find_many(names, out, n);
  }

  // Gives the strings still waiting for their slots (see `filter_`) their
  // slots, and drops the filter. view() and pack_into() need it done.
  void settle();

  std::string_view text(TagId id) const {
    return std::string_view(arena_.get() + bounds_[id], bounds_[id + 1] - bounds_[id]);
  }

  std::size_t size() const { return bounds_.size() - 1; }

  bool holds(TagId id, std::string_view s) const {
    return tag_detail::holds_at(bounds_.data(), arena_.get(), id, s);
  }

  // A view of the table as it stands; valid while the table is neither
  // changed nor destroyed (a move keeps it valid).
  TagView view() const { return TagView(arrays()); }

  // Bytes that pack_into() writes: a multiple of 8.
  std::size_t packed_bytes() const {
    return round8(bounds_.size() * sizeof(std::size_t)) +
           round8(slots_.size() * sizeof(std::uint32_t)) + round8(bounds_.back());
  }

  // Copies the table to `place` (8-aligned, packed_bytes() long) and
  // returns a view of the copy.
  TagView pack_into(std::byte* place) const {
    tag_detail::Arrays a = arrays();
    const std::size_t bounds_bytes = bounds_.size() * sizeof(std::size_t);
    const std::size_t slot_bytes = slots_.size() * sizeof(std::uint32_t);
    std::memcpy(place, bounds_.data(), bounds_bytes);
    a.bounds = reinterpret_cast<const std::size_t*>(place);
    place += round8(bounds_bytes);
    if (slot_bytes != 0) std::memcpy(place, slots_.data(), slot_bytes);
    a.slots = slots_.empty() ? nullptr : reinterpret_cast<const std::uint32_t*>(place);
    place += round8(slot_bytes);
    if (bounds_.back() != 0) std::memcpy(place, arena_.get(), bounds_.back());
    a.arena = reinterpret_cast<const char*>(place);
    return TagView(a);
  }

 private:
  static constexpr std::uint32_t kEmpty = tag_detail::kEmpty;

  static std::size_t round8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

  // Slots for `n` strings: a power of two, at most three quarters full.
  static std::size_t slot_count(std::size_t n) {
    std::size_t want = 16;
    while (want * 3 < n * 4) want *= 2;
    return want;
  }

  tag_detail::Arrays arrays() const {
    tag_detail::Arrays a;
    a.seed = seed_;
    a.hash_mask = hash_mask_;
    a.slots = slots_.empty() ? nullptr : slots_.data();
    a.slot_mask = slots_.empty() ? 0 : slots_.size() - 1;
    a.bounds = bounds_.data();
    a.arena = arena_.get();
    a.size = size();
    return a;
  }

  std::uint32_t hash_bits(std::uint64_t h) const {
    return static_cast<std::uint32_t>(h >> 32) & hash_mask_;
  }

  // Grows the slots, or stops packing hash bits, before `limit_` is passed.
  LUMO_NOINLINE void make_room();

  // Strings are placed in id order, as they came; the slot (and filter
  // word) of each is asked for a few strings ahead, so that in a large
  // table the loads of different strings overlap.
  LUMO_NOINLINE void rehash(std::size_t size);

  // ---- large tables ---------------------------------------------------------
  //
  // In a table larger than the caches, every new string costs a trip to
  // memory for the slot its probe starts at, and the reader waits for it
  // before it can go on. A large table therefore keeps a filter of the
  // strings it holds, a few bits per slot (blocked Bloom, two bits in one
  // word), small enough to stay in cache. A string the filter has not seen
  // is new for certain: it gets its id and its bytes at once, and its slot
  // later, together with up to kWaiting others, whose slot loads the
  // processor then overlaps. A string the filter may have seen is looked
  // up as usual, then among the waiting ones.

  static constexpr std::size_t kFilterFrom = std::size_t{1} << 17;  // slots
  static constexpr std::size_t kWaiting = 16;

  struct Waiting {
    std::uint64_t hash;
    TagId id;
  };

  // The filter word and bits of a string with hash `h`, from a second mix
  // of h so that they do not follow the slot.
  std::size_t filter_word(std::uint64_t h) const {
    return ((h * 0x9e3779b97f4a7c15u) >> 20) & (filter_.size() - 1);
  }
  static std::uint64_t filter_bits(std::uint64_t h) {
    const std::uint64_t m = h * 0x9e3779b97f4a7c15u;
    return (std::uint64_t{1} << (m >> 58)) | (std::uint64_t{1} << ((m >> 52) & 63));
  }

  // intern() in a table with a filter.
  LUMO_NOINLINE TagId intern_filtered(std::string_view s, std::uint64_t h);

  TagId find_waiting(std::string_view s) const {
    return find_waiting(s, hash_bytes_premixed(s.data(), s.size(), seed_));
  }
  TagId find_waiting(std::string_view s, std::uint64_t h) const {
    for (std::size_t k = 0; k < waiting_; ++k) {
      const Waiting& w = waiting_list_[k];
      if (w.hash == h && holds(w.id, s)) return w.id;
    }
    return kNoTag;
  }

  // Gives the waiting strings their slots: all their first slots are
  // asked for before any is probed. Defined inline in tag_table.cpp, its
  // only user, so that intern_filtered's copy, which runs on a full list,
  // has a count the compiler knows.
  inline void place_waiting();

  // Past three quarters full the slots grow; while slots pack hash bits,
  // the id that would need them stops packing first.
  void set_limit() {
    limit_ = slots_.size() * 3 / 4;
    if (hash_mask_ != 0 && limit_ > id_mask_) limit_ = id_mask_;
  }

  // Appends a string's bytes to the arena, which grows geometrically.
  void append(std::string_view s) {
    const std::size_t used = bounds_.back();
    if (s.size() > arena_cap_ - used) move_arena(std::max(2 * arena_cap_, used + s.size()));
    copy_bytes(arena_.get() + used, s.data(), s.size());
    bounds_.push_back(used + s.size());
  }

  // Moves the arena to a new one of `cap` bytes.
  LUMO_NOINLINE void move_arena(std::size_t cap);

  std::uint64_t seed_;  // premixed
  std::uint32_t id_mask_;
  std::uint32_t hash_mask_;
  std::size_t limit_ = 0;  // intern() calls make_room() at this size
  std::unique_ptr<char[]> arena_;  // the strings, one after another in id order
  std::size_t arena_cap_ = 0;
  std::vector<std::size_t> bounds_{0};  // string id's bytes: [bounds_[id], bounds_[id + 1])
  std::vector<std::uint32_t, HugeAllocator<std::uint32_t>> slots_;
  std::vector<std::uint64_t, HugeAllocator<std::uint64_t>> filter_;  // large tables only; a power of two words
  std::size_t waiting_ = 0;
  Waiting waiting_list_[kWaiting];
};

}  // namespace lumo
