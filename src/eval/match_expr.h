// Tag expression test for matching: does an expression hold on a subject?
//
// Expressions nest as deep as the text did (a million negations or
// parentheses), so the test walks the flat pool with an explicit stack that
// the tester keeps between calls. A frame's `next` counts the items a list
// has started; a finished frame leaves its value in `value` for the frame
// below, which decides whether it is settled (an all-list met a false item,
// an any-list a true one) or moves on. The caller says whether a tag holds,
// given the tag's node and text.
#pragma once

#include <cstddef>
#include <string_view>
#include <memory_resource>
#include <vector>

#include "base/interrupt.h"
#include "syntax/ast.h"

namespace lumo {

class ExprTester {
 public:
  explicit ExprTester(std::pmr::memory_resource* memory = std::pmr::get_default_resource())
      : stack_(memory) {}

  // Tag: holds(id, text); Not: negation; all-list: every item (empty holds);
  // any-list: some item (empty fails). Lists stop at the first item that
  // decides them. Each step of the walk is a turn of `poll`, counted in a
  // TurnCounter; false as well when it says stop. Without kPolled the walk
  // does not tick, for a caller that knows it short (see Feasibility).
  template <bool kPolled = true, class Holds>
  bool test(const ExprPool& pool, ExprId expr, Holds&& holds, InterruptPoll& poll) {
    const ExprNode& top = pool[expr];
    if (top.kind == ExprKind::Tag) return holds(expr, top.tag);
    stack_.clear();
    stack_.push_back(Frame{expr, 0});
    bool value = false;      // result of the frame most recently finished
    bool returning = false;  // whether `value` is waiting for the top frame
    TurnCounter turns(poll);
    while (!stack_.empty()) {
      if constexpr (kPolled) {
        if (turns.turn()) return false;
      } else {
        audit_work();
      }
      Frame& f = stack_.back();
      const ExprNode& node = pool[f.id];
      switch (node.kind) {
        case ExprKind::Tag:
          value = holds(f.id, node.tag);
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
        case ExprKind::List:
          if (returning && value != node.all) {
            stack_.pop_back();  // decided
            break;
          }
          if (f.next == node.items.size()) {
            value = node.all;
            stack_.pop_back();
            returning = true;
            break;
          }
          stack_.push_back(Frame{node.items[f.next++], 0});
          returning = false;
          break;
      }
    }
    return !(kPolled && turns.finish()) && value;
  }

 private:
  struct Frame {
    ExprId id;
    std::size_t next;  // List: items already started
  };
  std::pmr::vector<Frame> stack_;
};

}  // namespace lumo
