// The string table's paths off the common one: growth, the large tables'
// filter and waiting strings, batched lookups. Each is reached once per
// many strings (or only in large tables), so a call costs nothing here,
// and keeping them out of the header keeps intern() small in every caller.

#include "eval/tag_table.h"

#include "base/prefetch.h"

namespace lumo {

namespace tag_detail {

void Arrays::find_many(const std::string_view* names, TagId* out, std::size_t n) const {
  if (slots == nullptr) {
    std::fill(out, out + n, kNoTag);
    return;
  }
  constexpr std::size_t kAhead = 8;
  constexpr std::size_t kRing = 4 * kAhead;  // holds the hashes in flight
  std::uint64_t ring[kRing];
  // The id the first slot of hash h holds, if its hash bits agree.
  auto first_candidate = [&](std::uint64_t h) {
    const std::uint32_t slot = slots[h & slot_mask];
    return slot != kEmpty && (slot & hash_mask) == hash_bits(h) ? slot & ~hash_mask : kNoTag;
  };
  for (std::size_t k = 0; k < n + 3 * kAhead; ++k) {
    if (k < n) {
      const std::uint64_t h = hash_bytes_premixed(names[k].data(), names[k].size(), seed);
      ring[k % kRing] = h;
      prefetch_read(&slots[h & slot_mask]);
    }
    if (k >= kAhead && k - kAhead < n) {
      const TagId id = first_candidate(ring[(k - kAhead) % kRing]);
      if (id != kNoTag) prefetch_read(&bounds[id]);
    }
    if (k >= 2 * kAhead && k - 2 * kAhead < n) {
      const TagId id = first_candidate(ring[(k - 2 * kAhead) % kRing]);
      if (id != kNoTag) prefetch_read(arena + bounds[id]);
    }
    if (k >= 3 * kAhead) {
      const std::size_t j = k - 3 * kAhead;
      out[j] = find_hashed(names[j], ring[j % kRing]);
    }
  }
}

}  // namespace tag_detail

void TagTable::make_room() {
  if (hash_mask_ != 0 && size() >= id_mask_) {
    hash_mask_ = 0;
    rehash(slots_.size());
  }
  if ((size() + 1) * 4 > slots_.size() * 3) rehash(slots_.empty() ? 16 : slots_.size() * 2);
}

void TagTable::rehash(std::size_t size) {
  slots_.assign(size, kEmpty);
  waiting_ = 0;  // every string gets its slot here
  const bool filtered = !filter_.empty();
  if (filtered) filter_.assign(size / 16, 0);
  const std::size_t mask = size - 1;
  constexpr std::size_t kAhead = 16;
  std::uint64_t ring[kAhead];
  const std::size_t n = this->size();
  for (std::size_t k = 0; k < n + kAhead; ++k) {
    if (k >= kAhead) {
      const std::uint64_t h = ring[k % kAhead];
      std::size_t i = h & mask;
      while (slots_[i] != kEmpty) i = (i + 1) & mask;
      slots_[i] = static_cast<TagId>(k - kAhead) | hash_bits(h);
      if (filtered) filter_[filter_word(h)] |= filter_bits(h);
    }
    if (k < n) {
      const std::string_view s = text(static_cast<TagId>(k));
      const std::uint64_t h = hash_bytes_premixed(s.data(), s.size(), seed_);
      ring[k % kAhead] = h;
      prefetch_write(&slots_[h & mask]);
      if (filtered) prefetch_write(&filter_[filter_word(h)]);
    }
  }
  set_limit();
}

inline void TagTable::place_waiting() {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t k = 0; k < waiting_; ++k) prefetch_write(&slots_[waiting_list_[k].hash & mask]);
  for (std::size_t k = 0; k < waiting_; ++k) {
    const Waiting& w = waiting_list_[k];
    std::size_t i = w.hash & mask;
    while (slots_[i] != kEmpty) i = (i + 1) & mask;
    slots_[i] = w.id | hash_bits(w.hash);
  }
  waiting_ = 0;
}

TagId TagTable::intern_filtered(std::string_view s, std::uint64_t h) {
  std::uint64_t& word = filter_[filter_word(h)];
  const std::uint64_t seen = filter_bits(h);
  const auto id = static_cast<TagId>(size());
  if ((word & seen) != seen) {
    word |= seen;
    append(s);
    waiting_list_[waiting_++] = Waiting{h, id};
    if (waiting_ == kWaiting) place_waiting();
    return id;
  }
  const std::uint32_t bits = hash_bits(h);
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = h & mask;
  for (std::uint32_t slot; (slot = slots_[i]) != kEmpty; i = (i + 1) & mask) {
    if ((slot & hash_mask_) == bits && holds(slot & ~hash_mask_, s)) return slot & ~hash_mask_;
  }
  const TagId waiting = find_waiting(s, h);
  if (waiting != kNoTag) return waiting;
  append(s);
  slots_[i] = id | bits;
  return id;
}

void TagTable::settle() {
  place_waiting();
  decltype(filter_)().swap(filter_);
}

void TagTable::move_arena(std::size_t cap) {
  auto bigger = std::make_unique_for_overwrite<char[]>(cap);
  if (bounds_.back() != 0) std::memcpy(bigger.get(), arena_.get(), bounds_.back());
  arena_ = std::move(bigger);
  arena_cap_ = cap;
}

}  // namespace lumo
