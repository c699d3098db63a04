// Tag expression test for matching: does an expression hold on a set of tags?
//
// Expressions nest as deep as the text did (a million negations or
// parentheses), so the test walks the flat pool with an explicit stack that
// the tester keeps between calls.
#pragma once

#include <cstddef>
#include <vector>

#include "eval/persistent_set.h"
#include "syntax/ast.h"

namespace lumo {

class ExprTester {
 public:
  // Tag: membership; Not: negation; all-list: every item (empty holds);
  // any-list: some item (empty fails). Lists stop at the first item that
  // decides them.
  bool test(const ExprPool& pool, ExprId expr, const PersistentSet& tags);

 private:
  struct Frame {
    ExprId id;
    std::size_t next;  // List: items already started; Not: 1 once entered
  };
  std::vector<Frame> stack_;
};

}  // namespace lumo
