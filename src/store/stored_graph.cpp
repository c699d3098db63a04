// Writing and loading stored forms (see stored_graph.h for the layout).
//
// Every integer is written and read byte by byte, so the form is the same on
// any byte order and needs no alignment. Loading checks the header against
// the block's size first, then each array while it widens it: bounds, list
// ends, ascending lists, and that the ranges nest as a pre-order tree with
// the root around everything (the matcher relies on all of these).
#include "store/stored_graph.h"

#include <algorithm>

namespace lumo::store {

namespace {

struct Header {
  std::uint8_t width = 0;
  std::uint32_t text = 0;
  std::uint32_t subjects = 0;
  std::uint32_t strings = 0;
  std::uint32_t string_bytes = 0;
  std::uint32_t occurrences = 0;
  std::uint32_t identities = 0;
  std::uint32_t relations = 0;

  // Integers of width W in the block.
  std::uint64_t integers() const {
    return std::uint64_t{strings} * 3 + std::uint64_t{subjects} * 2 + occurrences + identities +
           std::uint64_t{relations} * 4;
  }
  std::uint64_t size() const {
    return kHeaderBytes + std::uint64_t{text} + string_bytes + integers() * width + relations;
  }
};

void put32(std::byte* at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) at[k] = static_cast<std::byte>(v >> (8 * k));
}

std::uint32_t get32(const std::byte* at) {
  std::uint32_t v = 0;
  for (int k = 0; k < 4; ++k) v |= std::uint32_t{std::to_integer<std::uint8_t>(at[k])} << (8 * k);
  return v;
}

Header header_of(std::string_view text, const IndexedGraph& g) {
  Header h;
  h.text = static_cast<std::uint32_t>(text.size());
  h.subjects = static_cast<std::uint32_t>(g.size());
  h.strings = static_cast<std::uint32_t>(g.tags.size());
  std::size_t bytes = 0;
  for (TagId t = 0; t < h.strings; ++t) bytes += g.tags.text(t).size();
  h.string_bytes = static_cast<std::uint32_t>(bytes);
  h.occurrences = static_cast<std::uint32_t>(g.occ_pos.size());
  h.identities = static_cast<std::uint32_t>(g.id_subjects.size());
  h.relations = static_cast<std::uint32_t>(g.relations.size());
  const std::uint32_t largest =
      std::max({h.subjects, h.string_bytes, h.occurrences, h.identities});
  h.width = largest <= 0xFFFF ? 2 : 4;
  return h;
}

// Appends integers of the header's width.
class Writer {
 public:
  Writer(std::byte* at, unsigned width) : at_(at), width_(width) {}
  void put(std::size_t v) {
    for (unsigned k = 0; k < width_; ++k) *at_++ = static_cast<std::byte>(v >> (8 * k));
  }
  void bytes(std::string_view s) {
    std::copy(s.begin(), s.end(), reinterpret_cast<char*>(at_));
    at_ += s.size();
  }
  std::byte* at() const { return at_; }

 private:
  std::byte* at_;
  unsigned width_;
};

// Reads integers of width W from an array of them.
template <unsigned W>
struct Ints {
  const std::byte* at;
  std::uint32_t operator[](std::size_t i) const {
    const std::byte* p = at + i * W;
    std::uint32_t v = 0;
    for (unsigned k = 0; k < W; ++k) v |= std::uint32_t{std::to_integer<std::uint8_t>(p[k])} << (8 * k);
    return v;
  }
};

bool read_header(std::span<const std::byte> block, Header& h) {
  if (block.size() < kHeaderBytes) return false;
  const std::byte* p = block.data();
  if (std::to_integer<std::uint8_t>(p[0]) != kVersion || p[2] != std::byte{0} ||
      p[3] != std::byte{0}) {
    return false;
  }
  h.width = std::to_integer<std::uint8_t>(p[1]);
  if (h.width != 2 && h.width != 4) return false;
  h.text = get32(p + 4);
  h.subjects = get32(p + 8);
  h.strings = get32(p + 12);
  h.string_bytes = get32(p + 16);
  h.occurrences = get32(p + 20);
  h.identities = get32(p + 24);
  h.relations = get32(p + 28);
  return h.subjects != 0 && h.size() == block.size();
}

// Whether list ends `ends` (n of them) rise to exactly `total`.
template <unsigned W>
bool ends_rise_to(Ints<W> ends, std::size_t n, std::uint32_t total) {
  std::uint32_t last = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (ends[i] < last) return false;
    last = ends[i];
  }
  return last == total;
}

}  // namespace

std::size_t encoded_size(std::string_view text, const IndexedGraph& graph) {
  return static_cast<std::size_t>(header_of(text, graph).size());
}

void encode(std::string_view text, const IndexedGraph& g, std::byte* out) {
  const Header h = header_of(text, g);
  out[0] = std::byte{kVersion};
  out[1] = std::byte{h.width};
  out[2] = out[3] = std::byte{0};
  const std::uint32_t counts[] = {h.text,        h.subjects,   h.strings,  h.string_bytes,
                                  h.occurrences, h.identities, h.relations};
  for (std::size_t k = 0; k < 7; ++k) put32(out + 4 + 4 * k, counts[k]);
  Writer w(out + kHeaderBytes, h.width);
  w.bytes(text);
  for (TagId t = 0; t < h.strings; ++t) w.bytes(g.tags.text(t));
  std::size_t end = 0;
  for (TagId t = 0; t < h.strings; ++t) w.put(end += g.tags.text(t).size());
  for (const SubtreeRange& r : g.ranges) w.put(r.start);
  for (const SubtreeRange& r : g.ranges) w.put(r.end);
  for (std::size_t t = 1; t <= h.strings; ++t) w.put(g.occ_begin[t]);
  for (std::size_t t = 1; t <= h.strings; ++t) w.put(g.id_begin[t]);
  for (const std::uint32_t s : g.occ_pos) w.put(s);
  for (const std::uint32_t s : g.id_subjects) w.put(s);
  for (const RelationEntry& r : g.relations) {
    w.put(r.first.subject);
    w.put(r.first.source);
    w.put(r.first.target);
    w.put(r.second.context);
  }
  std::byte* flags = w.at();
  for (const RelationEntry& r : g.relations) *flags++ = static_cast<std::byte>(r.second.implicit ? 1 : 0);
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

// Widens and checks the arrays of a block whose header fits its size.
template <unsigned W>
class Loader {
 public:
  Loader(const Header& h, const std::byte* base, StoredIndex::Memory& m, Interrupt* interrupt)
      : h_(h), table_(m.table_ref()), ranges_(m.ranges), lists_(m.lists), relations_(m.relations),
        order_(m.order), open_(m.open), poll_(interrupt) {
    const std::byte* at = base + kHeaderBytes + h.text;
    chars_ = reinterpret_cast<const char*>(at);
    at += h.string_bytes;
    auto next = [&](std::size_t n) {
      const Ints<W> ints{at};
      at += n * W;
      return ints;
    };
    string_ends_ = next(h.strings);
    starts_ = next(h.subjects);
    ends_ = next(h.subjects);
    occ_ends_ = next(h.strings);
    id_ends_ = next(h.strings);
    occ_ = next(h.occurrences);
    ids_ = next(h.identities);
    rel_ = next(std::size_t{h.relations} * 4);
    implicit_ = at;
  }

  StoredIndex::Load run(IndexedGraph& g) {
    if (!strings() || !tree() || !lists() || !links()) return failed();
    g.ranges = ranges_;
    g.tags = table_.view();
    const std::size_t n = h_.strings;
    const std::uint32_t* l = lists_.data();
    g.occ_begin = {l, n + 1};
    g.id_begin = {l + n + 1, n + 1};
    g.occ_pos = {l + 2 * (n + 1), h_.occurrences};
    g.id_subjects = {l + 2 * (n + 1) + h_.occurrences, h_.identities};
    g.relations = relations_;
    return StoredIndex::Load::kOk;
  }

 private:
  StoredIndex::Load failed() const {
    return poll_.stopped() ? StoredIndex::Load::kInterrupted : StoredIndex::Load::kDamaged;
  }

  // Every string, interned in order: distinct strings get the ids 0, 1, ...
  bool strings() {
    if (!ends_rise_to(string_ends_, h_.strings, h_.string_bytes)) return false;
    table_.clear(h_.strings, h_.string_bytes);
    std::uint32_t from = 0;
    for (std::uint32_t t = 0; t < h_.strings; ++t) {
      if (poll_.tick()) return false;
      const std::uint32_t to = string_ends_[t];
      if (table_.intern(std::string_view(chars_ + from, to - from)) != t) return false;
      from = to;
    }
    table_.settle();
    return true;
  }

  // The ranges, checked to be those of a tree numbered in pre-order: the
  // starts are 0 .. n-1 once each, subject 0 spans everything, and each
  // range lies inside the nearest one opened before it that has not closed.
  bool tree() {
    const std::uint32_t n = h_.subjects;
    ranges_.resize(n);
    order_.assign(n, kUnseen);
    for (std::uint32_t s = 0; s < n; ++s) {
      const SubtreeRange r{starts_[s], ends_[s]};
      if (r.start >= r.end || r.end > n || order_[r.start] != kUnseen) return false;
      order_[r.start] = s;
      ranges_[s] = r;
    }
    if (ranges_[0].start != 0 || ranges_[0].end != n) return false;
    open_.clear();
    for (std::uint32_t k = 0; k < n; ++k) {
      if (poll_.tick()) return false;
      const std::uint32_t end = ranges_[order_[k]].end;
      while (!open_.empty() && open_.back() <= k) open_.pop_back();
      if (!open_.empty() && end > open_.back()) return false;
      open_.push_back(end);
    }
    return true;
  }

  // The occurrence and identity lists: ends that rise to their totals,
  // subjects in range, each list ascending.
  bool lists() {
    const std::size_t n = h_.strings;
    if (!ends_rise_to(occ_ends_, n, h_.occurrences) || !ends_rise_to(id_ends_, n, h_.identities)) {
      return false;
    }
    lists_.resize(2 * (n + 1) + h_.occurrences + h_.identities);
    std::uint32_t* occ_begin = lists_.data();
    std::uint32_t* id_begin = occ_begin + n + 1;
    std::uint32_t* occ = id_begin + n + 1;
    std::uint32_t* ids = occ + h_.occurrences;
    occ_begin[0] = id_begin[0] = 0;
    for (std::size_t t = 0; t < n; ++t) {
      occ_begin[t + 1] = occ_ends_[t];
      id_begin[t + 1] = id_ends_[t];
    }
    return widen_lists(occ_begin, occ_, occ) && widen_lists(id_begin, ids_, ids);
  }

  bool widen_lists(const std::uint32_t* begin, Ints<W> in, std::uint32_t* out) {
    for (std::size_t t = 0; t < h_.strings; ++t) {
      if (poll_.tick()) return false;
      std::uint32_t last = 0;
      for (std::uint32_t i = begin[t]; i < begin[t + 1]; ++i) {
        const std::uint32_t s = in[i];
        if (s >= h_.subjects || (i > begin[t] && s < last)) return false;
        out[i] = last = s;
      }
    }
    return true;
  }

  // The relations: subjects in range, ascending by relation subject.
  bool links() {
    relations_.resize(h_.relations);
    for (std::size_t r = 0; r < h_.relations; ++r) {
      if (poll_.tick()) return false;
      std::uint32_t f[4];
      for (std::size_t k = 0; k < 4; ++k) {
        f[k] = rel_[4 * r + k];
        if (f[k] >= h_.subjects) return false;
      }
      const auto implicit = std::to_integer<std::uint8_t>(implicit_[r]);
      if (implicit > 1 || (r > 0 && f[0] <= relations_[r - 1].first.subject)) return false;
      relations_[r] = RelationEntry{RelationKey{f[0], f[1], f[2]},
                                    RelationContext{implicit == 1, f[3]}};
    }
    return true;
  }

  static constexpr std::uint32_t kUnseen = 0xffffffffu;

  const Header& h_;
  TagTable& table_;
  std::vector<SubtreeRange>& ranges_;
  std::vector<std::uint32_t>& lists_;
  std::vector<RelationEntry>& relations_;
  std::vector<std::uint32_t>& order_;
  std::vector<std::uint32_t>& open_;
  InterruptPoll poll_;
  const char* chars_ = nullptr;
  Ints<W> string_ends_{}, starts_{}, ends_{}, occ_ends_{}, id_ends_{}, occ_{}, ids_{}, rel_{};
  const std::byte* implicit_ = nullptr;
};

}  // namespace

StoredIndex::Load StoredIndex::load(std::span<const std::byte> block, Interrupt* interrupt) {
  Header h;
  graph_ = IndexedGraph{};
  if (!read_header(block, h)) return Load::kDamaged;
  if (h.width == 2) return Loader<2>(h, block.data(), memory_, interrupt).run(graph_);
  return Loader<4>(h, block.data(), memory_, interrupt).run(graph_);
}

void StoredIndex::trim(std::size_t bytes) {
  const Memory& m = memory_;
  const std::size_t held =
      m.ranges.capacity() * sizeof(SubtreeRange) +
      (m.lists.capacity() + m.order.capacity() + m.open.capacity()) * sizeof(std::uint32_t) +
      m.relations.capacity() * sizeof(RelationEntry) +
      (m.table ? m.table->size() * 32 : 0);  // slots, bounds and bytes, about
  if (held <= bytes) return;
  graph_ = IndexedGraph{};
  memory_.table.reset();
  memory_.ranges = {};
  memory_.lists = {};
  memory_.relations = {};
  memory_.order = {};
  memory_.open = {};
}

}  // namespace lumo::store
