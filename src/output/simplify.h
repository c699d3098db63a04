// Simplification of a query's condition, shared by SQL generation
// (output/sql.cpp) and the GIN plan (output/gin_plan.cpp), so that both give
// exactly the same condition.
//
//   collect   every subject after the root contributes its identities as
//             single tags and its expression, all under one all-list;
//   simplify  negations become "always true", always-true items vanish from
//             all-lists and turn a whole any-list into "always true", items
//             that are lists of the same kind are spliced in one level, and
//             a list left with one item stands for that item.
//
// Expressions may nest as deep as the query text does, so the walk uses an
// explicit stack: collection and simplification run as one post-order walk
// over the expression pool, and the simplified lists are singly linked
// chains of cells, so that splicing a same-kind list into its parent costs
// O(1) however long it is.
//
// The result is a monotone tree of tags and lists (an all-list holds when
// all its items do, an any-list when one does). An always-true value (an
// empty all-list, see Simplifier::is_true) only ever stands for the whole
// condition; an empty any-list ("never") can stand for it or be an item of
// an all-list; every other list has at least two items. Internal to
// src/output/.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/interrupt.h"
#include "model/query.h"

// Each including file gets its own copy (the unnamed namespace), so that
// the compiler inlines and lays out the walk as it would a local class.
namespace lumo::condition {
namespace {

inline constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// A simplified expression: a tag (borrowed text) or a list of cells.
struct SNode {
  std::string_view tag;     // Tag
  std::size_t head = kNone;  // List: first cell
  std::size_t tail = kNone;  // List: last cell
  std::size_t count = 0;     // List: number of cells
  bool is_tag = false;
  bool all = true;
};

// One item of a simplified list.
struct Cell {
  std::size_t node;
  std::size_t next;
};

// Node 0 is the shared "always true" value: the empty all-list. It is never
// linked into a list, so sharing it is safe.
inline constexpr std::size_t kTrue = 0;

class Simplifier {
 public:
  Simplifier(const ExprPool& pool, InterruptPoll& poll) : pool_(pool), poll_(poll) {
    nodes_.push_back(SNode{});  // kTrue
  }

  std::size_t new_tag(std::string_view text) {
    SNode n;
    n.is_tag = true;
    n.tag = text;
    nodes_.push_back(n);
    return nodes_.size() - 1;
  }

  std::size_t new_list(bool all) {
    SNode n;
    n.all = all;
    nodes_.push_back(n);
    return nodes_.size() - 1;
  }

  bool is_true(std::size_t id) const {
    const SNode& n = nodes_[id];
    return !n.is_tag && n.all && n.count == 0;
  }

  // Adds the simplified item `item` to the list accumulator `list`. Returns
  // false when the list has collapsed to "always true" (an any-list meeting
  // an always-true item); its remaining items need not be looked at.
  bool add_item(std::size_t list, std::size_t item) {
    SNode& acc = nodes_[list];
    if (is_true(item)) return acc.all;
    const SNode& it = nodes_[item];
    if (!it.is_tag && it.all == acc.all) {
      if (it.count == 0) return true;
      if (acc.count == 0) {
        acc.head = it.head;
      } else {
        cells_[acc.tail].next = it.head;
      }
      acc.tail = it.tail;
      acc.count += it.count;
      return true;
    }
    cells_.push_back(Cell{item, kNone});
    std::size_t c = cells_.size() - 1;
    if (acc.count == 0) {
      acc.head = c;
    } else {
      cells_[acc.tail].next = c;
    }
    acc.tail = c;
    ++acc.count;
    return true;
  }

  // The value of a finished accumulator.
  std::size_t finish(std::size_t list) const {
    const SNode& acc = nodes_[list];
    if (acc.count == 1) return cells_[acc.head].node;
    return list;
  }

  // Simplifies the expression `root` without recursion.
  std::size_t simplify(ExprId root) {
    std::size_t result = kNone;
    auto start = [&](ExprId id) -> bool {
      const ExprNode& e = pool_[id];
      switch (e.kind) {
        case ExprKind::Tag:
          result = new_tag(e.tag);
          return false;
        case ExprKind::Not:
          result = kTrue;
          return false;
        case ExprKind::List:
          break;
      }
      frames_.push_back(Frame{id, 0, new_list(e.all)});
      return true;
    };

    const std::size_t base = frames_.size();
    if (!start(root)) return result;
    while (frames_.size() > base) {
      if (poll_.turn()) return kTrue;  // the caller sees poll_.stopped()
      Frame& f = frames_.back();
      const ExprNode& e = pool_[f.expr];
      if (f.next == e.items.size()) {
        result = finish(f.acc);
      } else {
        ExprId child = e.items[f.next++];
        if (start(child)) continue;
        // `result` holds the child's value: fall through to deliver it.
        if (add_item(frames_.back().acc, result)) continue;
        result = kTrue;  // collapsed any-list
      }
      // `result` is the value of the top frame: hand it to the frame below.
      frames_.pop_back();
      while (frames_.size() > base) {
        if (poll_.turn()) return kTrue;  // a collapse can run through every open list
        Frame& parent = frames_.back();
        if (add_item(parent.acc, result)) break;
        result = kTrue;
        frames_.pop_back();
      }
    }
    return result;
  }

  const SNode& node(std::size_t id) const { return nodes_[id]; }
  const Cell& cell(std::size_t id) const { return cells_[id]; }

 private:
  struct Frame {
    ExprId expr;
    std::size_t next;  // next item of the expression to look at
    std::size_t acc;   // list accumulator node
  };

  const ExprPool& pool_;
  InterruptPoll& poll_;
  std::vector<SNode> nodes_;
  std::vector<Cell> cells_;
  std::vector<Frame> frames_;
};

// Collects and simplifies the query's condition into `s`: the subjects'
// identities and expressions are the items of one all-list, which never
// collapses. Returns the simplified condition, or kNone when `poll` stopped
// the work.
inline std::size_t simplify_query(const Query& query, Simplifier& s, InterruptPoll& poll) {
  std::size_t root = s.new_list(true);
  for (std::size_t i = 1; i < query.subjects.size(); ++i) {
    if (poll.turn()) return kNone;
    const QuerySubject& subject = query.subjects[i];
    for (const std::string& identity : subject.identities) {
      (void)s.add_item(root, s.new_tag(identity));
    }
    (void)s.add_item(root, s.simplify(subject.expression));
    if (poll.stopped()) return kNone;
  }
  return s.finish(root);
}

}  // namespace
}  // namespace lumo::condition
