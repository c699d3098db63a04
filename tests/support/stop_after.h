// An interrupt hook for tests: answers "stop" from its n-th question on and
// counts the questions.
#pragma once

#include <cstddef>

#include "base/interrupt.h"

namespace lumo {

class StopAfter final : public Interrupt {
 public:
  explicit StopAfter(std::size_t n) : n_(n) {}
  bool should_stop() override { return ++asked_ >= n_; }
  std::size_t asked() const { return asked_; }

 private:
  std::size_t n_;
  std::size_t asked_ = 0;
};

}  // namespace lumo
