// Writing and reading stored forms (see stored_graph.h for the layout).
//
// The writer chooses the narrowest widths that hold the block's integers,
// finds each string in the text where it can (one pass over the text, every
// run of tag characters and every quoted string without escapes looked up
// once), and puts every integer byte by byte. The reader widens the arrays
// into its own memory, an array at a time, and checks them all before the
// index is handed out: the header against the block's size, every string
// inside the block and each one distinct, the list ends rising to their
// totals, every subject and string number in range, the identity pairs in
// order, and the ranges nesting as a pre-order tree with the root around
// everything. Matching relies on all of these.
#include "store/stored_graph.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace lumo::store {

namespace {

// Fields of the header, in the order the block has them.
struct Header {
  unsigned n_width = 4;
  unsigned c_width = 4;
  bool starts_left_out = false;
  Signature signature;
  std::uint32_t subjects = 0;
  std::uint32_t strings = 0;
  std::uint32_t occurrences = 0;
  std::uint32_t identities = 0;
  std::uint32_t relations = 0;
  std::uint32_t text = 0;
  std::uint32_t own = 0;  // string bytes the text does not hold

  std::uint64_t text_at() const { return kHeaderBytes + 5 * n_width + 2 * c_width; }
  std::uint64_t c_arrays_at() const { return text_at() + text + own; }
  std::uint64_t n_arrays_at() const { return c_arrays_at() + std::uint64_t{strings} * 2 * c_width; }
  // How many n integers the arrays hold.
  std::uint64_t n_count() const {
    return std::uint64_t{subjects} * (starts_left_out ? 1 : 2) + strings + occurrences +
           std::uint64_t{identities} * 2 + std::uint64_t{relations} * 5;
  }
  std::uint64_t size() const { return n_arrays_at() + n_count() * n_width; }
};

unsigned width_of(std::uint64_t largest) {
  return largest <= 0xff ? 1 : largest <= 0xffff ? 2 : 4;
}

bool valid_width(unsigned w) { return w == 1 || w == 2 || w == 4; }

// Writes integers of one width, little-endian, byte by byte.
struct Writer {
  std::byte* at;

  void put(std::uint32_t v, unsigned width) {
    for (unsigned k = 0; k < width; ++k) *at++ = static_cast<std::byte>(v >> (8 * k));
  }
  void put64(std::uint64_t v) {
    put(static_cast<std::uint32_t>(v), 4);
    put(static_cast<std::uint32_t>(v >> 32), 4);
  }
  void bytes(std::string_view s) {
    if (!s.empty()) std::memcpy(at, s.data(), s.size());
    at += s.size();
  }
};

std::uint32_t get(const std::byte* at, unsigned width) {
  std::uint32_t v = 0;
  for (unsigned k = 0; k < width; ++k) v |= std::uint32_t{std::to_integer<std::uint8_t>(at[k])} << (8 * k);
  return v;
}

// `n` integers of `width` bytes from `at` into `out`, widened: a bulk copy,
// ticked as one.
void get_all(const std::byte* at, unsigned width, std::size_t n, std::uint32_t* out,
             InterruptPoll& poll) {
  switch (width) {
    case 1:
      for (std::size_t i = 0; i < n; ++i) out[i] = std::to_integer<std::uint8_t>(at[i]);
      break;
    case 2:
      for (std::size_t i = 0; i < n; ++i) out[i] = get(at + 2 * i, 2);
      break;
    default:
      for (std::size_t i = 0; i < n; ++i) out[i] = get(at + 4 * i, 4);
      break;
  }
  poll.tick_turns(n);
}

// Whether some subject holds string `id` (as a tag or an identity). The
// others are names, which only relation paths used; a stored form leaves
// them out, and with them nothing any answer depends on.
bool held(const IndexedGraph& g, TagId id) { return g.occ_begin[id + 1] != g.occ_begin[id]; }

bool tag_byte(unsigned char c) {
  return c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '\'' || c == '_' || c == ' ' || c == '-';
}

// Where the held strings are: a place in the text where each one stands as
// it is, found by looking up every run of tag characters (spaces at its
// ends left off) and every quoted string without escapes; the strings found
// nowhere get bytes of their own, after the text. A string found is one the
// text holds byte for byte, so any place found is right, and a string the
// search misses only costs its bytes.
struct Places {
  std::vector<TagId> kept;           // the held strings, by id
  std::vector<std::uint32_t> start;  // per kept string
  std::string own;

  Places(std::string_view text, const IndexedGraph& g) {
    const TagView& tags = g.tags;
    constexpr std::uint32_t kNone = 0xffffffffu;
    std::vector<std::uint32_t> number(tags.size(), kNone);
    for (TagId id = 0; id < tags.size(); ++id) {
      if (!held(g, id)) continue;
      number[id] = static_cast<std::uint32_t>(kept.size());
      kept.push_back(id);
    }
    start.assign(kept.size(), kNone);
    auto look_up = [&](std::size_t from, std::size_t to) {
      while (from < to && text[from] == ' ') ++from;
      while (to > from && text[to - 1] == ' ') --to;
      if (from == to) return;
      const TagId id = tags.find(text.substr(from, to - from));
      if (id != kNoTag && number[id] != kNone && start[number[id]] == kNone) {
        start[number[id]] = static_cast<std::uint32_t>(from);
      }
    };
    for (std::size_t i = 0; i < text.size();) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c == '"') {
        std::size_t end = i + 1;
        while (end < text.size() && text[end] != '"' && text[end] != '\\') ++end;
        if (end < text.size() && text[end] == '"') look_up(i + 1, end);
        i = end + 1;
      } else if (tag_byte(c)) {
        std::size_t end = i + 1;
        while (end < text.size() && tag_byte(static_cast<unsigned char>(text[end]))) ++end;
        look_up(i, end);
        i = end;
      } else {
        ++i;
      }
    }
    for (std::size_t k = 0; k < kept.size(); ++k) {
      if (start[k] != kNone) continue;
      start[k] = static_cast<std::uint32_t>(text.size() + own.size());
      own += tags.text(kept[k]);
    }
  }
};

Header header_of(std::string_view text, const IndexedGraph& g, const Places& places) {
  Header h;
  h.subjects = static_cast<std::uint32_t>(g.size());
  h.strings = static_cast<std::uint32_t>(places.kept.size());
  h.occurrences = static_cast<std::uint32_t>(g.occ_pos.size());
  h.identities = static_cast<std::uint32_t>(g.id_subjects.size());
  h.relations = static_cast<std::uint32_t>(g.relations.size());
  h.text = static_cast<std::uint32_t>(text.size());
  h.own = static_cast<std::uint32_t>(places.own.size());
  h.starts_left_out = true;
  for (std::size_t s = 0; s < g.size(); ++s) h.starts_left_out &= g.ranges[s].start == s;
  // Every n integer is a count or below one (an implicit flag is 0 or 1);
  // every c integer is at most the text and own bytes together.
  h.n_width = width_of(std::max({h.subjects, h.strings, h.occurrences, h.identities, h.relations}));
  h.c_width = width_of(std::uint64_t{h.text} + h.own);
  for (const TagId id : places.kept) h.signature.add(gin_key(g.tags.text(id)));
  return h;
}

bool read_header(std::span<const std::byte> block, Header& h) {
  if (block.size() < kHeaderBytes) return false;
  const std::byte* p = block.data();
  const auto widths = std::to_integer<unsigned>(p[1]);
  const auto flags = std::to_integer<unsigned>(p[2]);
  h.n_width = widths & 15;
  h.c_width = widths >> 4;
  if (std::to_integer<std::uint8_t>(p[0]) != kVersion || flags > 1 || p[3] != std::byte{0} ||
      !valid_width(h.n_width) || !valid_width(h.c_width) || block.size() < h.text_at()) {
    return false;
  }
  h.starts_left_out = flags == 1;
  for (int w = 0; w < 2; ++w) h.signature.words[w] = get(p + 4 + 8 * w, 4) | std::uint64_t{get(p + 8 + 8 * w, 4)} << 32;
  const std::byte* at = p + kHeaderBytes;
  std::uint32_t* counts[] = {&h.subjects, &h.strings, &h.occurrences, &h.identities, &h.relations};
  for (std::uint32_t* count : counts) {
    *count = get(at, h.n_width);
    at += h.n_width;
  }
  h.text = get(at, h.c_width);
  h.own = get(at + h.c_width, h.c_width);
  return h.subjects != 0 && h.size() == block.size();
}

}  // namespace

std::size_t encoded_size(std::string_view text, const IndexedGraph& graph) {
  const Places places(text, graph);
  return static_cast<std::size_t>(header_of(text, graph, places).size());
}

void encode(std::string_view text, const IndexedGraph& g, std::byte* out) {
  const Places places(text, g);
  const Header h = header_of(text, g, places);
  const unsigned n = h.n_width, c = h.c_width;
  Writer w{out};
  w.put(kVersion, 1);
  w.put(n | c << 4, 1);
  w.put(h.starts_left_out ? 1 : 0, 1);
  w.put(0, 1);
  w.put64(h.signature.words[0]);
  w.put64(h.signature.words[1]);
  for (const std::uint32_t count : {h.subjects, h.strings, h.occurrences, h.identities, h.relations}) {
    w.put(count, n);
  }
  w.put(h.text, c);
  w.put(h.own, c);
  w.bytes(text);
  w.bytes(places.own);
  for (std::size_t k = 0; k < places.kept.size(); ++k) {
    w.put(places.start[k], c);
    w.put(static_cast<std::uint32_t>(g.tags.text(places.kept[k]).size()), c);
  }
  for (const SubtreeRange& r : g.ranges) w.put(r.end, n);
  if (!h.starts_left_out) {
    for (const SubtreeRange& r : g.ranges) w.put(r.start, n);
  }
  // The kept strings' lists keep their order in occ_pos and id_subjects,
  // which names add nothing to.
  for (const TagId id : places.kept) w.put(g.occ_begin[id + 1], n);
  for (const std::uint32_t s : g.occ_pos) w.put(s, n);
  for (std::size_t k = 0; k < places.kept.size(); ++k) {
    for (const std::uint32_t s : g.carriers(places.kept[k])) {
      w.put(static_cast<std::uint32_t>(k), n);
      w.put(s, n);
    }
  }
  for (const RelationEntry& r : g.relations) {
    w.put(r.first.subject, n);
    w.put(r.first.source, n);
    w.put(r.first.target, n);
    w.put(r.second.context, n);
    w.put(r.second.implicit ? 1 : 0, n);
  }
}

std::string_view stored_text(std::span<const std::byte> block) {
  Header h;
  if (!read_header(block, h)) return {};
  return {reinterpret_cast<const char*>(block.data() + h.text_at()), h.text};
}

bool stored_signature(std::span<const std::byte> block, Signature& out) {
  Header h;
  if (!read_header(block, h)) return false;
  out = h.signature;
  return true;
}

bool is_stored_form(std::span<const std::byte> block) {
  Header h;
  return read_header(block, h);
}

namespace {

// Whether `list` (n ends) rises from 0 to exactly `total`.
bool rises_to(const std::uint32_t* list, std::size_t n, std::uint32_t total,
              InterruptPoll& poll) {
  std::uint32_t last = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (list[i] < last || poll.turn_at(i)) return false;
    last = list[i];
  }
  return last == total;
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

// Widens the arrays of a block, checks them and points the index at them.
class Reader {
 public:
  Reader(const Header& h, const std::byte* base, StoredIndex::Memory& m, Interrupt* interrupt)
      : h_(h), base_(base), m_(m), poll_(interrupt) {}

  StoredIndex::Load run(IndexedGraph& g) {
    widen();
    if (poll_.stopped() || !table() || !tree() || !lists() || !links()) {
      return poll_.stopped() ? StoredIndex::Load::kInterrupted : StoredIndex::Load::kDamaged;
    }
    g.tags = m_.tags.view();
    g.ranges = m_.ranges;
    g.occ_begin = {occ_begin_, std::size_t{h_.strings} + 1};
    g.occ_pos = {occ_, h_.occurrences};
    g.id_begin = m_.id_begin;
    g.id_subjects = m_.id_subjects;
    g.relations = m_.relations;
    return StoredIndex::Load::kOk;
  }

 private:
  // The n arrays widened into one, after the c arrays: string starts and
  // lengths, then the n arrays in the block's order, with a 0 before the
  // occurrence list ends (so that they are the lists' bounds).
  void widen() {
    const std::size_t strings = h_.strings;
    const std::size_t ends = std::size_t{h_.subjects};
    const std::size_t starts = h_.starts_left_out ? 0 : ends;
    m_.words.resize(2 * strings + 1 + static_cast<std::size_t>(h_.n_count()));
    std::uint32_t* out = m_.words.data();
    get_all(base_ + h_.c_arrays_at(), h_.c_width, 2 * strings, out, poll_);
    places_ = out;
    out += 2 * strings;
    const std::byte* at = base_ + h_.n_arrays_at();
    const unsigned w = h_.n_width;
    auto take = [&](std::size_t n, const std::uint32_t*& into) {
      get_all(at, w, n, out, poll_);
      into = out;
      out += n;
      at += n * w;
    };
    take(ends, ends_);
    starts_ = nullptr;
    if (starts != 0) take(starts, starts_);
    *out++ = 0;
    const std::uint32_t* occ_ends;
    take(strings, occ_ends);
    occ_begin_ = occ_ends - 1;
    take(h_.occurrences, occ_);
    take(std::size_t{h_.identities} * 2, pairs_);
    take(std::size_t{h_.relations} * 5, relations_);
  }

  // The strings: each inside the text and own bytes, none twice (each
  // interned string must take the next id).
  bool table() {
    const std::uint64_t chars = std::uint64_t{h_.text} + h_.own;
    const char* text = reinterpret_cast<const char*>(base_ + h_.text_at());
    std::uint64_t bytes = 0;
    for (std::uint32_t k = 0; k < h_.strings; ++k) {
      if (std::uint64_t{places_[2 * k]} + places_[2 * k + 1] > chars || poll_.turn_at(k)) return false;
      bytes += places_[2 * k + 1];
    }
    m_.tags.clear(h_.strings, static_cast<std::size_t>(bytes));
    for (std::uint32_t k = 0; k < h_.strings; ++k) {
      const std::string_view s(text + places_[2 * k], places_[2 * k + 1]);
      audit_work();
      if (m_.tags.intern(s) != k || poll_.tick_bytes(s.size())) return false;
    }
    m_.tags.settle();
    return true;
  }

  // The ranges, checked to be those of a tree numbered in pre-order: the
  // starts are 0 .. n-1 once each, subject 0 spans everything, and each
  // range lies inside the nearest one opened before it that is still open.
  bool tree() {
    const std::uint32_t n = h_.subjects;
    m_.ranges.resize(n);
    for (std::uint32_t s = 0; s < n; ++s) {
      m_.ranges[s] = SubtreeRange{starts_ ? starts_[s] : s, ends_[s]};
      if (poll_.turn_at(s)) return false;
    }
    if (m_.ranges[0].start != 0 || m_.ranges[0].end != n) return false;
    m_.order.assign(n, kUnseen);
    for (std::uint32_t s = 0; s < n; ++s) {
      const auto [start, end] = m_.ranges[s];
      if (start >= end || end > n || m_.order[start] != kUnseen || poll_.turn_at(s)) return false;
      m_.order[start] = s;
    }
    m_.open.clear();
    for (std::uint32_t k = 0; k < n; ++k) {
      if (poll_.turn()) return false;
      const std::uint32_t end = m_.ranges[m_.order[k]].end;
      while (!m_.open.empty() && m_.open.back() <= k) m_.open.pop_back();
      if (!m_.open.empty() && end > m_.open.back()) return false;
      m_.open.push_back(end);
    }
    return true;
  }

  // The occurrence lists: ends that rise to their total, subjects in
  // range. The identity pairs: in order, strings and subjects in range;
  // they become each string's list of carriers.
  bool lists() {
    if (!rises_to(occ_begin_ + 1, h_.strings, h_.occurrences, poll_) ||
        !all_below(occ_, h_.occurrences, h_.subjects, poll_)) {
      return false;
    }
    m_.id_begin.assign(std::size_t{h_.strings} + 1, 0);
    m_.id_subjects.resize(h_.identities);
    std::uint32_t last_string = 0, last_subject = 0;
    for (std::uint32_t i = 0; i < h_.identities; ++i) {
      const std::uint32_t string = pairs_[2 * i], subject = pairs_[2 * i + 1];
      if (string >= h_.strings || subject >= h_.subjects || string < last_string ||
          (string == last_string && subject < last_subject) || poll_.turn_at(i)) {
        return false;
      }
      last_string = string;
      last_subject = subject;
      ++m_.id_begin[string + 1];
      m_.id_subjects[i] = subject;
    }
    for (std::uint32_t k = 0; k < h_.strings; ++k) {
      m_.id_begin[k + 1] += m_.id_begin[k];
      if (poll_.turn_at(k)) return false;
    }
    return true;
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
  const std::byte* base_;
  StoredIndex::Memory& m_;
  InterruptPoll poll_;
  const std::uint32_t* places_ = nullptr;
  const std::uint32_t* ends_ = nullptr;
  const std::uint32_t* starts_ = nullptr;
  const std::uint32_t* occ_begin_ = nullptr;
  const std::uint32_t* occ_ = nullptr;
  const std::uint32_t* pairs_ = nullptr;
  const std::uint32_t* relations_ = nullptr;
};

}  // namespace

StoredIndex::Load StoredIndex::load(std::span<const std::byte> block, Interrupt* interrupt) {
  Header h;
  graph_ = IndexedGraph{};
  if (!read_header(block, h)) return Load::kDamaged;
  return Reader(h, block.data(), memory_, interrupt).run(graph_);
}

void StoredIndex::trim(std::size_t bytes) {
  Memory& m = memory_;
  const std::size_t held =
      (m.words.capacity() + m.order.capacity() + m.open.capacity() + m.id_begin.capacity() +
       m.id_subjects.capacity()) * sizeof(std::uint32_t) +
      m.ranges.capacity() * sizeof(SubtreeRange) + m.relations.capacity() * sizeof(RelationEntry) +
      m.tags.packed_bytes();
  if (held <= bytes) return;
  graph_ = IndexedGraph{};
  m.words = {};
  m.ranges = {};
  m.id_begin = {};
  m.id_subjects = {};
  m.relations = {};
  m.order = {};
  m.open = {};
  // A fresh table rather than a moved one, whose waiting list would be
  // copied uninitialised.
  std::destroy_at(&m.tags);
  std::construct_at(&m.tags);
}

}  // namespace lumo::store
