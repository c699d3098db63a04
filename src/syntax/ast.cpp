// Syntax tree storage.
//
// The expression pool hands out nodes from a chunked vector and keeps texts
// and item lists in a monotonic arena, so nodes are plain values that view
// memory which neither moves nor is freed before the pool. fold_list splices
// lists of the same kind one level deep; its range form copies the items
// into a vector only when there is something to splice.
#include "syntax/ast.h"

#include <cstring>
#include <utility>

namespace lumo {

char* ExprPool::text_storage(std::size_t size) {
  return size == 0 ? nullptr : static_cast<char*>(arena_->allocate(size, 1));
}

std::string_view ExprPool::store(std::string_view text) {
  if (text.empty()) return {};
  char* p = text_storage(text.size());
  std::memcpy(p, text.data(), text.size());
  return {p, text.size()};
}

ExprId ExprPool::add_stored_tag(std::string_view text, Span span) {
  ExprNode n;
  n.kind = ExprKind::Tag;
  n.tag = text;
  n.span = span;
  return push(n);
}

ExprId ExprPool::add_not(ExprId operand) {
  ExprNode n;
  n.kind = ExprKind::Not;
  n.operand = operand;
  return push(n);
}

ExprId ExprPool::add_list(const ExprId* first, std::size_t count, bool all) {
  ExprNode n;
  n.kind = ExprKind::List;
  n.all = all;
  if (count != 0) {
    auto* p = static_cast<ExprId*>(arena_->allocate(count * sizeof(ExprId), alignof(ExprId)));
    std::memcpy(p, first, count * sizeof(ExprId));
    n.items = std::span<const ExprId>(p, count);
  }
  return push(n);
}

ExprId fold_long_list(ExprPool& pool, const ExprId* first, std::size_t count, bool all,
                      InterruptPoll& poll) {
  bool splice = false;
  if (!poll.for_each(count, [&](std::size_t i) {
        const ExprNode& n = pool[first[i]];
        return !(splice = n.kind == ExprKind::List && n.all == all);
      })) {
    return first[0];
  }
  if (splice) return fold_list(pool, std::vector<ExprId>(first, first + count), all, &poll);
  return pool.add_list(first, count, all);
}

ExprId fold_list(ExprPool& pool, const ExprId* first, std::size_t count, bool all) {
  if (count == 1) return first[0];
  for (std::size_t i = 0; i < count; ++i) {
    const ExprNode& n = pool[first[i]];
    if (n.kind == ExprKind::List && n.all == all) {
      return fold_list(pool, std::vector<ExprId>(first, first + count), all);
    }
  }
  return pool.add_list(first, count, all);
}

ExprId fold_list(ExprPool& pool, std::vector<ExprId> items, bool all, InterruptPoll* poll) {
  InterruptPoll none(nullptr);
  InterruptPoll& p = poll != nullptr ? *poll : none;
  bool splice = false;
  p.for_each(items.size(), [&](std::size_t i) {
    const ExprNode& n = pool[items[i]];
    return !(splice = n.kind == ExprKind::List && n.all == all);
  });
  if (splice) {
    std::vector<ExprId> out;
    out.reserve(items.size());
    p.for_each(items.size(), [&](std::size_t i) {
      ExprNode& n = pool[items[i]];
      if (n.kind == ExprKind::List && n.all == all) {
        out.insert(out.end(), n.items.begin(), n.items.end());
        n.items = {};
      } else {
        out.push_back(items[i]);
      }
    });
    items = std::move(out);
  }
  if (items.size() == 1) return items[0];
  if (p.stopped() && !items.empty()) return items[0];
  return pool.add_list(items, all);
}

}  // namespace lumo
