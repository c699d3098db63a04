// The interrupt hook that the binding passes to every long core call.
//
// The core polls it every thousand or so small steps; it lets the interpreter
// run the signal handlers that are due (the lock is held throughout, so this
// is the only chance they get). When a handler raises (Ctrl-C gives
// KeyboardInterrupt), the hook says stop and the handler's exception stays
// pending: the method that made the call returns null and the exception
// reaches the caller.
//
// For the module's own tests only (not part of its API): the private module
// function `_signal_at_first_poll(signum, fd=-1)` arms a one-shot action for
// the next poll of any long call: write one byte to `fd` (so that another
// process learns that the call is under way), then raise `signum` in this
// process, before the signal handlers are run. While nothing is armed, a
// poll costs one more load.
#pragma once

#include "base/interrupt.h"
#include "module/py.h"

namespace lumo::py {

// The armed action of _signal_at_first_poll(); see module.cpp.
struct FirstPollAction {
  bool armed = false;
  int signum = 0;  // 0: none
  int fd = -1;     // -1: none
};

inline FirstPollAction first_poll_action;

// Runs and disarms the armed action.
void run_first_poll_action();

class SignalCheck final : public lumo::Interrupt {
 public:
  bool should_stop() override {
    if (first_poll_action.armed) [[unlikely]]
      run_first_poll_action();
    if (!raised_ && PyErr_CheckSignals() < 0) raised_ = true;
    return raised_;
  }

  // True once a signal handler raised; its exception is then pending.
  bool raised() const { return raised_; }

 private:
  bool raised_ = false;
};

}  // namespace lumo::py
