#include "eval/persistent_set.h"

#include <new>

namespace lumo {

using namespace pset_detail;

namespace {

std::uint32_t& refs_of(std::uintptr_t e) {
  // Str and Node both start with their reference count.
  return *reinterpret_cast<std::uint32_t*>(e & ~kLeafTag);
}

void retain(std::uintptr_t e) {
  std::uint32_t& r = refs_of(e);
  if (r != kPinned) ++r;
}

std::size_t str_bytes(std::size_t len) {
  return len < Str::kLongLength ? sizeof(Str) + len : sizeof(Str) + sizeof(std::size_t) + len;
}

std::uintptr_t make_leaf(std::string_view s) {
  void* mem = ::operator new(str_bytes(s.size()));
  Str* str = static_cast<Str*>(mem);
  str->refs = 1;
  if (s.size() < Str::kLongLength) {
    str->len = static_cast<std::uint32_t>(s.size());
    if (!s.empty()) std::memcpy(str->bytes(), s.data(), s.size());
  } else {
    str->len = Str::kLongLength;
    const std::size_t n = s.size();
    std::memcpy(str->bytes(), &n, sizeof n);
    std::memcpy(str->bytes() + sizeof n, s.data(), n);
  }
  return reinterpret_cast<std::uintptr_t>(str) | kLeafTag;
}

Node* new_node(unsigned count) {
  void* mem = ::operator new(sizeof(Node) + count * sizeof(std::uintptr_t));
  Node* n = static_cast<Node*>(mem);
  n->refs = 1;
  return n;
}

void free_node(Node* n, unsigned count) {
  ::operator delete(n, sizeof(Node) + count * sizeof(std::uintptr_t));
}

// Drops one reference to a slot word found at trie level `shift`, freeing what
// it reaches when that was the last one. Recursion is bounded by the trie's
// depth (kMaxDepth).
void release(std::uintptr_t e, unsigned shift) {
  std::uint32_t& r = refs_of(e);
  if (r == kPinned || --r != 0) return;
  if (is_leaf(e)) {
    const Str* s = leaf_str(e);
    ::operator delete(const_cast<Str*>(s), str_bytes(s->view().size()));
    return;
  }
  Node* n = reinterpret_cast<Node*>(e);
  const unsigned count = n->count(shift);
  for (unsigned i = 0; i < count; ++i) release(n->slots()[i], shift + kLevelBits);
  free_node(n, count);
}

Node* clone(const Node* n, unsigned count) {
  Node* c = new_node(count);
  c->bitmap = n->bitmap;
  std::memcpy(c->slots(), n->slots(), count * sizeof(std::uintptr_t));
  for (unsigned i = 0; i < count; ++i) retain(c->slots()[i]);
  return c;
}

unsigned chunk(std::uint64_t h, unsigned shift) {
  return static_cast<unsigned>((h >> shift) & 31);
}

// Builds the subtree, rooted at level `shift`, that holds two different
// strings a and b whose hashes agree on every level above `shift`.
std::uintptr_t make_pair_subtree(std::uintptr_t a, std::uint64_t ha, std::uintptr_t b,
                                 std::uint64_t hb, unsigned shift) {
  unsigned split = shift;
  while (split <= kLastShift && chunk(ha, split) == chunk(hb, split)) split += kLevelBits;
  Node* bottom = new_node(2);
  if (split > kLastShift) {
    bottom->bitmap = 2;
    bottom->slots()[0] = a;
    bottom->slots()[1] = b;
  } else {
    const unsigned ca = chunk(ha, split), cb = chunk(hb, split);
    bottom->bitmap = (std::uint32_t{1} << ca) | (std::uint32_t{1} << cb);
    bottom->slots()[ca < cb ? 0 : 1] = a;
    bottom->slots()[ca < cb ? 1 : 0] = b;
  }
  std::uintptr_t cur = reinterpret_cast<std::uintptr_t>(bottom);
  while (split > shift) {
    split -= kLevelBits;
    Node* w = new_node(1);
    w->bitmap = std::uint32_t{1} << chunk(ha, split);
    w->slots()[0] = cur;
    cur = reinterpret_cast<std::uintptr_t>(w);
  }
  return cur;
}

}  // namespace

PersistentSet::PersistentSet() : key_(draw_hash_key() & ~std::uint64_t{1}) {}

PersistentSet::PersistentSet(const PersistentSet& o)
    : root_(o.root_), key_(o.key_), size_(o.size_) {
  if (root_ != 0) retain(root_);
}

PersistentSet& PersistentSet::operator=(const PersistentSet& o) {
  if (o.root_ != 0) retain(o.root_);
  if (root_ != 0) release(root_, 0);
  root_ = o.root_;
  key_ = o.key_;
  size_ = o.size_;
  return *this;
}

PersistentSet::PersistentSet(PersistentSet&& o) noexcept
    : root_(o.root_), key_(o.key_), size_(o.size_) {
  o.root_ = 0;
  o.size_ = 0;
}

PersistentSet& PersistentSet::operator=(PersistentSet&& o) noexcept {
  if (this == &o) return *this;
  if (root_ != 0) release(root_, 0);
  root_ = o.root_;
  key_ = o.key_;
  size_ = o.size_;
  o.root_ = 0;
  o.size_ = 0;
  return *this;
}

PersistentSet::~PersistentSet() {
  if (root_ != 0) release(root_, 0);
}

bool PersistentSet::insert(std::string_view s) {
  const std::uint64_t h = hash(s);
  if (root_ != 0 && find(h, s)) return false;
  insert_new(make_leaf(s), h);
  return true;
}

bool PersistentSet::insert_shared(std::string_view s, PersistentSet& strings) {
  if (&strings == this) return insert(s);
  const std::uint64_t h = hash(s);
  if (root_ != 0 && find(h, s)) return false;
  const std::uint64_t hs = strings.hash(s);
  std::uintptr_t leaf = strings.root_ != 0 ? strings.find_leaf(hs, s) : 0;
  if (leaf == 0) {
    leaf = make_leaf(s);
    strings.insert_new(leaf, hs);
  }
  retain(leaf);
  insert_new(leaf, h);
  return true;
}

void PersistentSet::insert_all(const PersistentSet& other) {
  if (other.root_ == 0 || other.root_ == root_) return;
  if (root_ == 0) {
    *this = other;
    return;
  }
  other.visit_leaves([this](std::uintptr_t e) {
    const std::string_view s = leaf_str(e)->view();
    const std::uint64_t h = hash(s);
    if (find(h, s)) return;
    retain(e);
    insert_new(e, h);
  });
}

void PersistentSet::insert_new(std::uintptr_t leaf, std::uint64_t h) {
  ++size_;
  if (root_ == 0) {
    Node* n = new_node(1);
    n->bitmap = std::uint32_t{1} << chunk(h, 0);
    n->slots()[0] = leaf;
    root_ = reinterpret_cast<std::uintptr_t>(n);
    return;
  }
  // Walk down, copying every node that is shared with another set, so that
  // the path from root_ to the change is owned by this set alone.
  std::uintptr_t* ref = &root_;
  for (unsigned shift = 0;; shift += kLevelBits) {
    Node* n = reinterpret_cast<Node*>(*ref);
    const unsigned count = n->count(shift);
    if (n->refs != 1) {
      Node* c = clone(n, count);
      if (n->refs != kPinned) --n->refs;  // still held by the other owners
      *ref = reinterpret_cast<std::uintptr_t>(c);
      n = c;
    }
    if (shift > kLastShift) {
      Node* g = new_node(count + 1);
      g->bitmap = count + 1;
      std::memcpy(g->slots(), n->slots(), count * sizeof(std::uintptr_t));
      g->slots()[count] = leaf;
      free_node(n, count);
      *ref = reinterpret_cast<std::uintptr_t>(g);
      return;
    }
    const std::uint32_t bit = std::uint32_t{1} << chunk(h, shift);
    const unsigned idx = popcount32(n->bitmap & (bit - 1));
    if (!(n->bitmap & bit)) {
      Node* g = new_node(count + 1);
      g->bitmap = n->bitmap | bit;
      std::memcpy(g->slots(), n->slots(), idx * sizeof(std::uintptr_t));
      g->slots()[idx] = leaf;
      std::memcpy(g->slots() + idx + 1, n->slots() + idx,
                  (count - idx) * sizeof(std::uintptr_t));
      free_node(n, count);
      *ref = reinterpret_cast<std::uintptr_t>(g);
      return;
    }
    std::uintptr_t& e = n->slots()[idx];
    if (is_leaf(e)) {
      const std::uint64_t he = hash(leaf_str(e)->view());
      e = make_pair_subtree(e, he, leaf, h, shift + kLevelBits);
      return;
    }
    ref = &e;
  }
}

}  // namespace lumo
