// Syntax tree of the tag language.
//
// One tree serves query text and tag graph text alike. It is stored flat, so
// that no part of the system ever recurses over it and releasing it is a plain
// sweep over a few vectors however deep the text nests:
//
//   * Tag expressions live in an ExprPool and refer to their operands by
//     ExprId. A node is a List (items + `all`), a Not (operand) or a Tag
//     (text + span); texts and item lists are held by the pool. Nodes spliced
//     away by fold_list stay in the pool unused.
//   * Subject entries live in ParsedDocument::entries in pre-order (a subject
//     before its children, siblings in text order), which is also the order in
//     which the parser meets them. entries[0] is the synthetic root. Children
//     are indices into the same vector, so the builders can take entry i as
//     subject i without walking the tree.
//
// Every list keeps text order; every string is an owned UTF-8 text with the
// escapes of quoted strings resolved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/box.h"
#include "base/chunked_vector.h"
#include "base/interrupt.h"

namespace lumo {

// A byte range of the trimmed text, end exclusive.
struct Span {
  std::size_t start = 0;
  std::size_t end = 0;
  friend bool operator==(const Span&, const Span&) = default;
};

using ExprId = std::size_t;
using EntryId = std::size_t;

enum class ExprKind : std::uint8_t { List, Not, Tag };

struct ExprNode {
  ExprKind kind = ExprKind::List;
  bool all = true;                // List: "," (true) or "/" (false)
  ExprId operand = 0;             // Not
  std::span<const ExprId> items;  // List; stored in the pool
  std::string_view tag;           // Tag; stored in the pool
  Span span;                      // Tag
};

// Owner of every expression node of one document (and later of one query),
// and of the texts and item lists the nodes refer to. Nodes are plain values
// that view the pool's own storage, so building a tree costs no allocation
// per node and releasing it is a sweep over a few blocks. The storage does
// not move when the pool does; a pool cannot be copied.
class ExprPool {
 public:
  ExprPool() : arena_(std::make_unique<std::pmr::monotonic_buffer_resource>()) {}
  ExprPool(ExprPool&&) noexcept = default;
  ExprPool& operator=(ExprPool&&) noexcept = default;
  ExprPool(const ExprPool&) = delete;
  ExprPool& operator=(const ExprPool&) = delete;

  // Copies `text` into the pool and returns the pool's copy.
  std::string_view store(std::string_view text);
  // Room for `size` bytes of text in the pool, for a caller that copies a
  // long text in steps; null when `size` is 0.
  char* text_storage(std::size_t size);

  ExprId add_tag(std::string_view text, Span span) { return add_stored_tag(store(text), span); }
  // `text` must already be stored in this pool.
  ExprId add_stored_tag(std::string_view text, Span span);
  ExprId add_not(ExprId operand);
  ExprId add_list(const std::vector<ExprId>& items, bool all) {
    return add_list(items.data(), items.size(), all);
  }
  ExprId add_list(const ExprId* first, std::size_t count, bool all);
  ExprId add_empty_all() { return add_list(nullptr, 0, true); }

  const ExprNode& operator[](ExprId id) const { return nodes_[id]; }
  ExprNode& operator[](ExprId id) { return nodes_[id]; }
  std::size_t size() const { return nodes_.size(); }

 private:
  ExprId push(const ExprNode& n) {
    nodes_.push_back(n);
    return nodes_.size() - 1;
  }

  std::unique_ptr<std::pmr::monotonic_buffer_resource> arena_;
  ChunkedVector<ExprNode> nodes_;
};

// The construction rule for every ","-list, "/"-list and the root expression:
// items that are Lists with the same `all` are spliced in (one level), and a
// single remaining item stands for itself. With `poll`, its loops tick it;
// once it says stop the result means nothing and the caller drops it.
ExprId fold_list(ExprPool& pool, std::vector<ExprId> items, bool all,
                 InterruptPoll* poll = nullptr);

// The same over a range of items that the caller keeps, at most
// InterruptPoll::kBlock of them (fold_long_list() takes more).
ExprId fold_list(ExprPool& pool, const ExprId* first, std::size_t count, bool all);

// fold_list() over a range of any length, its loops ticking `poll`.
ExprId fold_long_list(ExprPool& pool, const ExprId* first, std::size_t count, bool all,
                      InterruptPoll& poll);

// "@" name { "." name }
struct NamePath {
  std::vector<std::string> names;  // at least one
  Span span;                       // from the "@" to the end of the last name
};

// ">" target [ "(" context ")" ]
struct RelationSpec {
  NamePath target;
  std::optional<NamePath> context;
};

struct SubjectEntry {
  std::string name;
  std::vector<std::string> identities;
  std::vector<EntryId> children;
  Box<RelationSpec> relation;
  ExprId expression = 0;
  Span span;             // the subject token alone
  EntryId parent = 0;    // the entry it is written inside; the root's is 0
};

struct MetaQuery {
  bool negated = false;
  std::string key;
  std::string value;
  friend bool operator==(const MetaQuery&, const MetaQuery&) = default;
};

struct ParsedDocument {
  ChunkedVector<SubjectEntry> entries;  // pre-order; entries[0] is the root
  ExprPool exprs;
  std::vector<MetaQuery> meta_queries;

  const SubjectEntry& root() const { return entries[0]; }
};

}  // namespace lumo
