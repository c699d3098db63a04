// The interrupt hook that the binding passes to every long core call.
//
// The core polls it every thousand or so small steps; it lets the interpreter
// run the signal handlers that are due (the lock is held throughout, so this
// is the only chance they get). When a handler raises (Ctrl-C gives
// KeyboardInterrupt), the hook says stop and the handler's exception stays
// pending: the method that made the call returns null and the exception
// reaches the caller.
#pragma once

#include "base/interrupt.h"
#include "module/py.h"

namespace lumo::py {

class SignalCheck final : public lumo::Interrupt {
 public:
  bool should_stop() override {
    if (!raised_ && PyErr_CheckSignals() < 0) raised_ = true;
    return raised_;
  }

  // True once a signal handler raised; its exception is then pending.
  bool raised() const { return raised_; }

 private:
  bool raised_ = false;
};

}  // namespace lumo::py
