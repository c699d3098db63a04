// Interrupting long work.
//
// Parsing, index building, matching and SQL generation can run for a long
// time on large or hostile input. Each of them takes an optional Interrupt,
// a small interface its caller implements (the Python binding checks for
// signals, a database binding for query cancel), and polls it through an
// InterruptPoll: a countdown of work units that asks the hook once every
// kStride units, which keeps the gap between two polls well under a
// millisecond while costing one decrement per unit. When the hook says stop,
// the work unwinds through its ordinary result-or-error path, leaves every
// object it was given as it found it, and reports Interrupted; the caller
// then raises whatever its hook recorded.
#pragma once

#include <cstdint>

namespace lumo {

class Interrupt {
 public:
  // True when the work should stop now. Called from the working thread.
  virtual bool should_stop() = 0;

 protected:
  ~Interrupt() = default;
};

// The error value of an interrupted step.
struct Interrupted {};

class InterruptPoll {
 public:
  // Work units between two questions to the hook. A unit is a small, bounded
  // piece of work (a candidate tried, a subject indexed, a token read).
  static constexpr std::uint32_t kStride = 1024;

  explicit InterruptPoll(Interrupt* hook) : hook_(hook) {}

  // Counts `units` of work; true once the hook has asked to stop (and from
  // then on).
  bool tick(std::uint32_t units = 1) {
    if (left_ > units) {
      left_ -= units;
      return false;
    }
    return ask();
  }

  bool stopped() const { return stopped_; }

 private:
  bool ask() {
    if (!stopped_ && hook_ != nullptr) stopped_ = hook_->should_stop();
    left_ = stopped_ ? 0 : kStride;  // once stopped, every tick says so
    return stopped_;
  }

  Interrupt* hook_;
  std::uint32_t left_ = kStride;
  bool stopped_ = false;
};

}  // namespace lumo
