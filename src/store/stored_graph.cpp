// Writing and reading stored forms (see stored_graph.h for the layout).
//
// The writer puts every integer byte by byte. The reader takes the u32
// arrays in place where the machine is little-endian and the block 4-aligned
// (not in a build without fast paths, base/fast_paths.h), and copies them
// out byte by byte otherwise; either way it then checks them
// all before the index is handed out: the header against the block's size,
// the string bounds and list starts rising to their totals, every subject
// number in range, every slot empty or naming a string (and one at least
// empty, so that a probe ends), and the ranges nesting as a pre-order tree
// with the root around everything. Matching relies on all of these.
#include "store/stored_graph.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "base/fast_paths.h"

namespace lumo::store {

namespace {

constexpr std::uint32_t kEmptySlot = 0xffffffffu;

struct Header {
  std::uint32_t text = 0;
  std::uint32_t subjects = 0;
  std::uint32_t strings = 0;
  std::uint32_t string_bytes = 0;
  std::uint32_t occurrences = 0;
  std::uint32_t identities = 0;
  std::uint32_t relations = 0;
  std::uint32_t slots = 0;
  std::uint32_t hash_mask = 0;
  std::uint64_t seed = 0;

  // Where the u32 arrays start, and how many u32 there are.
  std::uint64_t arrays_at() const {
    return (kHeaderBytes + std::uint64_t{text} + string_bytes + 3) & ~std::uint64_t{3};
  }
  std::uint64_t words() const {
    return std::uint64_t{strings} * 3 + 3 + slots + std::uint64_t{subjects} * 2 + occurrences +
           identities + std::uint64_t{relations} * 5;
  }
  std::uint64_t size() const { return arrays_at() + words() * 4; }
};

void put32(std::byte* at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) at[k] = static_cast<std::byte>(v >> (8 * k));
}

std::uint32_t get32(const std::byte* at) {
  std::uint32_t v = 0;
  for (int k = 0; k < 4; ++k) v |= std::uint32_t{std::to_integer<std::uint8_t>(at[k])} << (8 * k);
  return v;
}

// Slots for a stored table of n strings: the fewest (a power of two, four
// at least) that keep it at most seven eighths full, so that a probe always
// ends. Fuller than a graph's own table (three quarters): a stored table is
// small and its slots share a cache line or two, where a longer probe costs
// little, and every slot is kept on disk for every row.
std::uint32_t stored_slot_count(std::size_t n) {
  std::uint32_t count = 4;
  while (std::uint64_t{count} * 7 < std::uint64_t{n} * 8 || count <= n) count *= 2;
  return count;
}

// Whether some subject holds string `id` (as a tag or an identity). The
// others are names, which only relation paths used; a stored table leaves
// them out, and with them nothing any answer depends on.
bool held(const IndexedGraph& g, TagId id) { return g.occ_begin[id + 1] != g.occ_begin[id]; }

Header header_of(std::string_view text, const IndexedGraph& g) {
  const tag_detail::Arrays& t = g.tags.arrays();
  Header h;
  h.text = static_cast<std::uint32_t>(text.size());
  h.subjects = static_cast<std::uint32_t>(g.size());
  // Only the strings some subject holds: names serve the build alone.
  std::size_t strings = 0, bytes = 0;
  for (TagId id = 0; id < t.size; ++id) {
    if (held(g, id)) {
      ++strings;
      bytes += t.text(id).size();
    }
  }
  h.strings = static_cast<std::uint32_t>(strings);
  h.string_bytes = static_cast<std::uint32_t>(bytes);
  h.occurrences = static_cast<std::uint32_t>(g.occ_pos.size());
  h.identities = static_cast<std::uint32_t>(g.id_subjects.size());
  h.relations = static_cast<std::uint32_t>(g.relations.size());
  h.slots = strings == 0 ? 0 : stored_slot_count(strings);
  h.hash_mask = t.hash_mask;
  h.seed = t.seed;
  return h;
}

bool read_header(std::span<const std::byte> block, Header& h) {
  if (block.size() < kHeaderBytes) return false;
  const std::byte* p = block.data();
  if (std::to_integer<std::uint8_t>(p[0]) != kVersion || p[1] != std::byte{0} ||
      p[2] != std::byte{0} || p[3] != std::byte{0}) {
    return false;
  }
  std::uint32_t* fields[] = {&h.text,        &h.subjects,   &h.strings,   &h.string_bytes,
                             &h.occurrences, &h.identities, &h.relations, &h.slots,
                             &h.hash_mask};
  for (std::size_t k = 0; k < 9; ++k) *fields[k] = get32(p + 4 + 4 * k);
  h.seed = get32(p + 40) | std::uint64_t{get32(p + 44)} << 32;
  const bool slots_ok = h.slots == 0 ? h.strings == 0 : std::has_single_bit(h.slots);
  return h.subjects != 0 && slots_ok && h.size() == block.size();
}

}  // namespace

std::size_t encoded_size(std::string_view text, const IndexedGraph& graph) {
  return static_cast<std::size_t>(header_of(text, graph).size());
}

void encode(std::string_view text, const IndexedGraph& g, std::byte* out) {
  const Header h = header_of(text, g);
  const tag_detail::Arrays& t = g.tags.arrays();
  std::memset(out, 0, h.arrays_at());
  out[0] = std::byte{kVersion};
  const std::uint32_t fields[] = {h.text,       h.subjects,  h.strings, h.string_bytes,
                                  h.occurrences, h.identities, h.relations, h.slots,
                                  h.hash_mask};
  for (std::size_t k = 0; k < 9; ++k) put32(out + 4 + 4 * k, fields[k]);
  put32(out + 40, static_cast<std::uint32_t>(h.seed));
  put32(out + 44, static_cast<std::uint32_t>(h.seed >> 32));
  std::byte* at = out + kHeaderBytes;
  if (!text.empty()) std::memcpy(at, text.data(), text.size());
  at += text.size();
  // The held strings in id order: their lists keep their order in
  // occ_pos and id_subjects, which names add nothing to.
  std::vector<TagId> kept;
  kept.reserve(h.strings);
  for (TagId id = 0; id < t.size; ++id) {
    if (!held(g, id)) continue;
    kept.push_back(id);
    const std::string_view s = t.text(id);
    if (!s.empty()) std::memcpy(at, s.data(), s.size());
    at += s.size();
  }
  at = out + h.arrays_at();
  auto put = [&](std::size_t v) {
    put32(at, static_cast<std::uint32_t>(v));
    at += 4;
  };
  std::size_t end = 0;
  put(0);
  for (const TagId id : kept) put(end += t.text(id).size());
  // The slots, placed afresh in a table of their own size: each string at
  // its hash's slot or the next free one, with the hash bits find() tests.
  std::vector<std::uint32_t> slots(h.slots, kEmptySlot);
  for (std::uint32_t id = 0; id < h.strings; ++id) {
    const std::string_view s = t.text(kept[id]);
    const std::uint64_t hash = hash_bytes_premixed(s.data(), s.size(), t.seed);
    std::size_t i = hash & (h.slots - 1);
    while (slots[i] != kEmptySlot) i = (i + 1) & (h.slots - 1);
    slots[i] = id | t.hash_bits(hash);
  }
  for (const std::uint32_t slot : slots) put(slot);
  for (const SubtreeRange& r : g.ranges) {
    put(r.start);
    put(r.end);
  }
  put(0);
  for (const TagId id : kept) put(g.occ_begin[id + 1]);
  put(0);
  for (const TagId id : kept) put(g.id_begin[id + 1]);
  for (const std::uint32_t s : g.occ_pos) put(s);
  for (const std::uint32_t s : g.id_subjects) put(s);
  for (const RelationEntry& r : g.relations) {
    put(r.first.subject);
    put(r.first.source);
    put(r.first.target);
    put(r.second.context);
    put(r.second.implicit ? 1 : 0);
  }
}

std::string_view stored_text(std::span<const std::byte> block) {
  Header h;
  if (!read_header(block, h)) return {};
  return {reinterpret_cast<const char*>(block.data() + kHeaderBytes), h.text};
}

bool is_stored_form(std::span<const std::byte> block) {
  Header h;
  return read_header(block, h);
}

namespace {

// Whether `list` (n + 1 starts) rises from 0 to exactly `total`.
bool rises_to(const std::uint32_t* list, std::size_t n, std::uint32_t total,
              InterruptPoll& poll) {
  if (list[0] != 0) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (list[i + 1] < list[i] || poll.turn_at(i)) return false;
  }
  return list[n] == total;
}

// Whether every value of `values` (n of them) is below `limit`.
bool all_below(const std::uint32_t* values, std::size_t n, std::uint32_t limit,
               InterruptPoll& poll) {
  std::uint32_t largest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    largest = std::max(largest, values[i]);
    if (poll.turn_at(i)) return false;
  }
  return n == 0 || largest < limit;
}

// Checks the arrays of a block (read in place or copied out) and points the
// index at them.
class Reader {
 public:
  Reader(const Header& h, const std::byte* base, const std::uint32_t* words,
         StoredIndex::Memory& m, Interrupt* interrupt)
      : h_(h), m_(m), poll_(interrupt) {
    chars_ = reinterpret_cast<const char*>(base + kHeaderBytes + h.text);
    bounds_ = words;
    slots_ = bounds_ + h.strings + 1;
    ranges_ = slots_ + h.slots;
    occ_begin_ = ranges_ + 2 * std::size_t{h.subjects};
    id_begin_ = occ_begin_ + h.strings + 1;
    occ_ = id_begin_ + h.strings + 1;
    ids_ = occ_ + h.occurrences;
    relations_ = ids_ + h.identities;
  }

  StoredIndex::Load run(IndexedGraph& g) {
    if (!table() || !tree() || !lists() || !links()) {
      return poll_.stopped() ? StoredIndex::Load::kInterrupted : StoredIndex::Load::kDamaged;
    }
    tag_detail::Arrays a;
    a.seed = h_.seed;
    a.hash_mask = h_.hash_mask;
    a.slots = h_.slots == 0 ? nullptr : slots_;
    a.slot_mask = h_.slots == 0 ? 0 : h_.slots - 1;
    a.bounds = m_.bounds.data();
    a.arena = chars_;
    a.size = h_.strings;
    g.tags = TagView::over(a);
    static_assert(sizeof(SubtreeRange) == 8 && alignof(SubtreeRange) == 4);
    g.ranges = {reinterpret_cast<const SubtreeRange*>(ranges_), h_.subjects};
    g.occ_begin = {occ_begin_, std::size_t{h_.strings} + 1};
    g.id_begin = {id_begin_, std::size_t{h_.strings} + 1};
    g.occ_pos = {occ_, h_.occurrences};
    g.id_subjects = {ids_, h_.identities};
    g.relations = m_.relations;
    return StoredIndex::Load::kOk;
  }

 private:
  // The string bounds (widened for the table) and the slots: every slot
  // empty or naming a string, and one at least empty.
  bool table() {
    if (!rises_to(bounds_, h_.strings, h_.string_bytes, poll_)) return false;
    m_.bounds.assign(bounds_, bounds_ + h_.strings + 1);
    // Without branches: the compiler can take the slots several at a time.
    std::uint32_t empty = 0;
    std::uint32_t bad = 0;
    const std::uint32_t id_mask = ~h_.hash_mask;
    for (std::uint32_t i = 0; i < h_.slots; ++i) {
      const std::uint32_t slot = slots_[i];
      const std::uint32_t is_empty = slot == kEmptySlot;
      empty += is_empty;
      bad |= (1 - is_empty) & static_cast<std::uint32_t>((slot & id_mask) >= h_.strings);
      if (poll_.turn_at(i)) return false;
    }
    return bad == 0 && (h_.slots == 0 || empty != 0);
  }

  // The ranges, checked to be those of a tree numbered in pre-order: the
  // starts are 0 .. n-1 once each, subject 0 spans everything, and each
  // range lies inside the nearest one opened before it that is still open.
  bool tree() {
    const std::uint32_t n = h_.subjects;
    if (ranges_[0] != 0 || ranges_[1] != n) return false;
    m_.order.assign(n, kUnseen);
    for (std::uint32_t s = 0; s < n; ++s) {
      const std::uint32_t start = ranges_[2 * s], end = ranges_[2 * s + 1];
      if (start >= end || end > n || m_.order[start] != kUnseen || poll_.turn_at(s)) return false;
      m_.order[start] = s;
    }
    m_.open.clear();
    for (std::uint32_t k = 0; k < n; ++k) {
      if (poll_.turn()) return false;
      const std::uint32_t end = ranges_[2 * m_.order[k] + 1];
      while (!m_.open.empty() && m_.open.back() <= k) m_.open.pop_back();
      if (!m_.open.empty() && end > m_.open.back()) return false;
      m_.open.push_back(end);
    }
    return true;
  }

  // The occurrence and identity lists: starts that rise to their totals,
  // subjects in range.
  bool lists() {
    return rises_to(occ_begin_, h_.strings, h_.occurrences, poll_) &&
           rises_to(id_begin_, h_.strings, h_.identities, poll_) &&
           all_below(occ_, h_.occurrences, h_.subjects, poll_) &&
           all_below(ids_, h_.identities, h_.subjects, poll_);
  }

  // The relations: subjects in range, ascending by relation subject.
  bool links() {
    m_.relations.resize(h_.relations);
    for (std::size_t r = 0; r < h_.relations; ++r) {
      const std::uint32_t* f = relations_ + 5 * r;
      if (poll_.turn()) return false;
      if (!all_below(f, 4, h_.subjects, poll_) || f[4] > 1) return false;
      if (r > 0 && f[0] <= m_.relations[r - 1].first.subject) return false;
      m_.relations[r] =
          RelationEntry{RelationKey{f[0], f[1], f[2]}, RelationContext{f[4] == 1, f[3]}};
    }
    return true;
  }

  static constexpr std::uint32_t kUnseen = 0xffffffffu;

  const Header& h_;
  StoredIndex::Memory& m_;
  InterruptPoll poll_;
  const char* chars_;
  const std::uint32_t* bounds_;
  const std::uint32_t* slots_;
  const std::uint32_t* ranges_;
  const std::uint32_t* occ_begin_;
  const std::uint32_t* id_begin_;
  const std::uint32_t* occ_;
  const std::uint32_t* ids_;
  const std::uint32_t* relations_;
};

}  // namespace

StoredIndex::Load StoredIndex::load(std::span<const std::byte> block, Interrupt* interrupt) {
  Header h;
  graph_ = IndexedGraph{};
  if (!read_header(block, h)) return Load::kDamaged;
  const std::byte* arrays = block.data() + h.arrays_at();
  const std::uint32_t* words;
  if (kFastPaths && std::endian::native == std::endian::little &&
      reinterpret_cast<std::uintptr_t>(arrays) % alignof(std::uint32_t) == 0) {
    words = reinterpret_cast<const std::uint32_t*>(arrays);
  } else {
    memory_.copied.resize(static_cast<std::size_t>(h.words()));
    for (std::size_t i = 0; i < memory_.copied.size(); ++i) {
      memory_.copied[i] = get32(arrays + 4 * i);
    }
    words = memory_.copied.data();
  }
  return Reader(h, block.data(), words, memory_, interrupt).run(graph_);
}

void StoredIndex::trim(std::size_t bytes) {
  Memory& m = memory_;
  const std::size_t held =
      (m.copied.capacity() + m.order.capacity() + m.open.capacity()) * sizeof(std::uint32_t) +
      m.bounds.capacity() * sizeof(std::size_t) + m.relations.capacity() * sizeof(RelationEntry);
  if (held <= bytes) return;
  graph_ = IndexedGraph{};
  m = Memory{};
}

}  // namespace lumo::store
