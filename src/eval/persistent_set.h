// PersistentSet: an immutable-on-copy set of strings with structural sharing.
//
// Copying is O(1) and shares all storage; insert() into a copy changes only
// that copy and duplicates only the nodes on its path. Iteration order is
// unspecified (it depends on hash keys drawn at run time).
//
// Representation: a hash array mapped trie. Each node holds a 32-bit bitmap of
// its occupied slots and a packed array with one word per occupied slot; a
// word is either a child node or (low bit set) a string record. A level
// consumes 5 bits of the 64-bit hash, so the trie is at most 13 levels deep;
// strings whose hashes are fully equal share a collision node below the last
// level. Nodes and string records carry intrusive reference counts, so a
// string is stored once however many sets and node copies hold it, and a node
// whose count is 1 is changed in place instead of copied. The counts are not
// atomic: copies of one set must not be changed from different threads at
// the same time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/random_hash.h"

namespace lumo {

namespace pset_detail {

// Reference count value that is never changed again: an object that reaches
// it stays alive for the rest of the process instead of overflowing.
inline constexpr std::uint32_t kPinned = 0xffffffffu;
inline constexpr std::uintptr_t kLeafTag = 1;
inline constexpr unsigned kLevelBits = 5;
inline constexpr unsigned kLastShift = 60;  // shift of the last hash level
inline constexpr unsigned kMaxDepth = 14;   // 13 hash levels + collision node

// Bit count without relying on the popcnt instruction being enabled (the
// library call the compiler otherwise emits is slower than this).
inline unsigned popcount32(std::uint32_t x) {
#if defined(__POPCNT__)
  return static_cast<unsigned>(std::popcount(x));
#else
  x = x - ((x >> 1) & 0x55555555u);
  x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
  x = (x + (x >> 4)) & 0x0f0f0f0fu;
  return (x * 0x01010101u) >> 24;
#endif
}

// A string record. Lengths that do not fit 32 bits store kLongLength in
// `len` and the real length in the first word of the data.
struct alignas(8) Str {
  std::uint32_t refs;
  std::uint32_t len;
  static constexpr std::uint32_t kLongLength = 0xffffffffu;

  const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }
  char* bytes() { return reinterpret_cast<char*>(this + 1); }
  std::string_view view() const {
    if (len != kLongLength) return {bytes(), len};
    std::size_t n;
    std::memcpy(&n, bytes(), sizeof n);
    return {bytes() + sizeof n, n};
  }
};

// A trie node. Below the last hash level (shift > kLastShift) a node is a
// collision node: `bitmap` then holds the number of its slots, all strings.
struct alignas(8) Node {
  std::uint32_t refs;
  std::uint32_t bitmap;

  const std::uintptr_t* slots() const {
    return reinterpret_cast<const std::uintptr_t*>(this + 1);
  }
  std::uintptr_t* slots() { return reinterpret_cast<std::uintptr_t*>(this + 1); }
  unsigned count(unsigned shift) const {
    return shift > kLastShift ? bitmap : popcount32(bitmap);
  }
};

inline bool is_leaf(std::uintptr_t e) { return (e & kLeafTag) != 0; }
inline const Str* leaf_str(std::uintptr_t e) {
  return reinterpret_cast<const Str*>(e & ~kLeafTag);
}
inline const Node* as_node(std::uintptr_t e) { return reinterpret_cast<const Node*>(e); }

}  // namespace pset_detail

class PersistentSet {
 public:
  PersistentSet();
  PersistentSet(const PersistentSet&);
  PersistentSet& operator=(const PersistentSet&);
  PersistentSet(PersistentSet&&) noexcept;
  PersistentSet& operator=(PersistentSet&&) noexcept;
  ~PersistentSet();

  // Adds s; returns false when it was already there.
  bool insert(std::string_view s);
  bool contains(std::string_view s) const { return root_ != 0 && find(hash(s), s); }
  std::size_t size() const { return size_; }

  // Calls f(std::string_view) once per element.
  template <class F>
  void for_each(F&& f) const {
    visit_leaves([&f](std::uintptr_t e) { f(pset_detail::leaf_str(e)->view()); });
  }

  // Inserts every element of `other` into this set.
  void insert_all(const PersistentSet& other);

  // Like insert(s), but keeps one stored copy of each string across all the
  // sets filled through the same `strings` set: the copy is taken from
  // `strings`, which receives s first when it lacks it.
  bool insert_shared(std::string_view s, PersistentSet& strings);

 private:
  friend struct PersistentSetTestHook;

  std::uint64_t hash(std::string_view s) const {
    std::uint64_t h = hash_bytes(s.data(), s.size(), key_);
    // An odd key is only ever set by tests: it doubles as a mask that makes
    // hashes collide on purpose.
    if (key_ & 1) [[unlikely]] h &= key_;
    return h;
  }

  bool find(std::uint64_t h, std::string_view s) const { return find_leaf(h, s) != 0; }

  // The tagged leaf word holding s, or 0; root_ must not be 0.
  std::uintptr_t find_leaf(std::uint64_t h, std::string_view s) const {
    using namespace pset_detail;
    const Node* n = as_node(root_);
    for (unsigned shift = 0;; shift += kLevelBits) {
      if (shift > kLastShift) {
        for (unsigned i = 0; i < n->bitmap; ++i) {
          if (leaf_str(n->slots()[i])->view() == s) return n->slots()[i];
        }
        return 0;
      }
      const std::uint32_t bit = std::uint32_t{1} << ((h >> shift) & 31);
      if (!(n->bitmap & bit)) return 0;
      const std::uintptr_t e = n->slots()[popcount32(n->bitmap & (bit - 1))];
      if (is_leaf(e)) return leaf_str(e)->view() == s ? e : 0;
      n = as_node(e);
    }
  }

  // Calls g(tagged leaf word) once per element, depth first.
  template <class G>
  void visit_leaves(G&& g) const {
    using namespace pset_detail;
    if (root_ == 0) return;
    struct Frame {
      const Node* node;
      unsigned pos;
      unsigned count;
    };
    Frame stack[kMaxDepth];
    int depth = 0;
    stack[0] = {as_node(root_), 0, as_node(root_)->count(0)};
    while (depth >= 0) {
      Frame& f = stack[depth];
      if (f.pos == f.count) {
        --depth;
        continue;
      }
      const std::uintptr_t e = f.node->slots()[f.pos++];
      if (is_leaf(e)) {
        g(e);
      } else {
        ++depth;
        const Node* c = as_node(e);
        stack[depth] = {c, 0, c->count(static_cast<unsigned>(depth) * kLevelBits)};
      }
    }
  }

  // Adds a string that is known to be absent; takes over one reference.
  void insert_new(std::uintptr_t leaf, std::uint64_t h);

  std::uintptr_t root_ = 0;  // root node, 0 when empty
  std::uint64_t key_;
  std::size_t size_ = 0;
};

}  // namespace lumo
