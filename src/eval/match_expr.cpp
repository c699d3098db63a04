// The expression test walks the flat expression pool with an explicit stack
// kept between calls, so a million nested negations or lists cost no native
// stack and no allocation after the first deep call. A frame's `next` counts
// the items a list has started; a finished frame leaves its value in `value`
// for the frame below, which decides whether it is settled (an all-list met a
// false item, an any-list a true one) or moves on.

#include "eval/match_expr.h"

namespace lumo {

bool ExprTester::test(const ExprPool& pool, ExprId expr, const PersistentSet& tags) {
  stack_.clear();
  stack_.push_back(Frame{expr, 0});
  bool value = false;      // result of the frame most recently finished
  bool returning = false;  // whether `value` is waiting for the top frame
  while (!stack_.empty()) {
    Frame& f = stack_.back();
    const ExprNode& node = pool[f.id];
    switch (node.kind) {
      case ExprKind::Tag:
        value = tags.contains(node.tag);
        stack_.pop_back();
        returning = true;
        break;
      case ExprKind::Not:
        if (returning) {
          value = !value;
          stack_.pop_back();
        } else {
          stack_.push_back(Frame{node.operand, 0});
        }
        break;
      case ExprKind::List: {
        if (returning && value != node.all) {
          // all-list met a false item, or any-list met a true one: decided.
          stack_.pop_back();
          break;
        }
        if (f.next == node.items.size()) {
          value = node.all;
          stack_.pop_back();
          returning = true;
          break;
        }
        ExprId item = node.items[f.next++];
        stack_.push_back(Frame{item, 0});
        returning = false;
        break;
      }
    }
  }
  return value;
}

}  // namespace lumo
