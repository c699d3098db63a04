// Interrupting long work.
//
// Parsing, building, index building, matching, tag collection and SQL
// generation can run for a long time on large or hostile input. Each of them
// takes an optional Interrupt, a small interface its caller implements (the
// Python binding checks for signals, a database binding for query cancel),
// and polls it through an InterruptPoll: a countdown of work units that asks
// the hook once every kStride units, which keeps the gap between two polls
// well under a millisecond while costing one decrement per unit. When the
// hook says stop, the work unwinds through its ordinary result-or-error path,
// leaves every object it was given as it found it, and reports Interrupted;
// the caller then raises whatever its hook recorded.
//
// Every loop of that work ticks the poll, so that the work done between two
// questions does not grow with the input: a loop whose body is a unit of work
// ticks once per turn (turn()); a loop with a small body one unit per
// kTurnsPerUnit turns, in blocks (for_each(), for_each_block(), turn_at()); a
// loop whose body holds another loop once per turn, the inner loop's turns
// weighing too (tick_done()). The hot loops of the linear stages (a walk over
// subjects, say) count their turns, inner loops included, in a TurnCounter,
// which costs an addition per turn and ticks a block of turns at a time; an
// inner loop that can be longer than a block runs in blocks of its own, out
// of line. A stage whose input is small (kSmall) may run its loops whole and
// tick once for them. Two kinds of work are not split and weigh what they
// cost in one tick instead: work on a single string (reading one token,
// hashing, comparing or copying one string weighs one unit per kBytesPerUnit
// bytes), and bulk memory operations (filling or copying an array, the
// regrowth of a container, which doubles and so costs at most what was added
// since the last one).
//
// Test builds (LUMO_INTERRUPT_AUDIT, set for the test build only) check the
// loops: every loop body counts its turns with audit_work(), and each
// question records the most work counted between two questions, which tests
// assert stays under a bound that does not grow with the input. In the
// module and the extension audit_work() is empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "base/compiler.h"

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

#if defined(LUMO_INTERRUPT_AUDIT)
// The audit of the work done between two questions; one per thread.
namespace interrupt_audit {

struct Counter {
  std::uint64_t since_poll = 0;  // work counted since the last question
  std::uint64_t longest = 0;     // the most counted between two questions
  std::uint64_t polls = 0;       // questions since reset()
};

inline thread_local Counter counter;

// Starts a new audit.
inline void reset() { counter = Counter{}; }

// The most work counted between two questions since reset(), the stretch
// still open included (the work after the last question is a stretch too).
inline std::uint64_t longest_stretch() {
  return counter.longest > counter.since_poll ? counter.longest : counter.since_poll;
}

inline std::uint64_t polls() { return counter.polls; }

inline void polled() {
  if (counter.since_poll > counter.longest) counter.longest = counter.since_poll;
  counter.since_poll = 0;
  ++counter.polls;
}

}  // namespace interrupt_audit

// Counts `turns` turns of a loop body (the audit's unit of work).
inline void audit_work(std::size_t turns = 1) { interrupt_audit::counter.since_poll += turns; }
#else
inline void audit_work(std::size_t = 1) {}
#endif

class InterruptPoll {
 public:
  // Work units between two questions to the hook. A unit is a small, bounded
  // piece of work (a candidate tried, a subject indexed, a token read).
  static constexpr std::uint32_t kStride = 1024;
  // Turns of a loop with a small, bounded body (a few loads and stores) that
  // weigh one unit.
  static constexpr std::uint32_t kTurnsPerUnit = 16;
  // Bytes of one string (read, hashed, copied) that weigh one unit.
  static constexpr std::uint32_t kBytesPerUnit = 256;
  // Turns of a loop with a small body between two ticks.
  static constexpr std::size_t kBlock = 256;

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

  // One turn of a loop whose body is a unit of work: counts it for the audit
  // and ticks.
  bool turn() {
    audit_work();
    return tick();
  }

  // Turn k (counting from 0) of a loop with a small, bounded body that
  // for_each() does not suit: ticks once every kBlock turns; true once the
  // hook has asked to stop.
  bool turn_at(std::size_t k) {
    audit_work();
    return k % kBlock == kBlock - 1 && tick(kBlock / kTurnsPerUnit);
  }

  // tick() for `n` turns of a loop with a small body (at least one unit).
  bool tick_turns(std::size_t n) { return tick(units_of(n, kTurnsPerUnit)); }

  // Ticks for `turns` turns of a loop with a small body (none for fewer
  // than kTurnsPerUnit); true once the hook has asked to stop.
  bool tick_done(std::size_t turns) {
    const std::size_t units = turns / kTurnsPerUnit;
    return units != 0 && tick(static_cast<std::uint32_t>(units));
  }

  // tick() for work on `n` bytes of one string (at least one unit).
  bool tick_bytes(std::size_t n) { return tick(units_of(n, kBytesPerUnit)); }

  bool stopped() const { return stopped_; }

  // Runs body(i) for i in [begin, end): the turns of a loop with a small,
  // bounded body, ticked one unit per kTurnsPerUnit turns in blocks of
  // kBlock turns; a loop of at most kBlock turns costs one comparison more
  // than a plain one and no tick. (A loop around it ticks for its turns: a
  // turn of the outer loop, or tick_done() where the inner loop can be long
  // beside it.) A body that returns bool ends the loop early by returning
  // false (as `break` would). Returns false when the poll said stop; the loop
  // then ended early.
  //
  // for_each<false> is the plain loop, for code that has made sure its
  // input is small (see kSmall).
  template <bool kPolled = true, class Body>
  bool for_each(std::size_t begin, std::size_t end, Body&& body) {
    if constexpr (kPolled) {
      // (With begin > end the difference wraps: for_blocks() then does
      // nothing, as the loop below would.)
      if (end - begin > kBlock) [[unlikely]]
        return for_blocks(begin, end, body);
    }
    for (std::size_t i = begin; i < end; ++i) {
      if (!turn_of(body, i)) return true;
    }
    return true;
  }

  template <bool kPolled = true, class Body>
  bool for_each(std::size_t n, Body&& body) {
    return for_each<kPolled>(0, n, static_cast<Body&&>(body));
  }

  // Runs body(lo, hi) over [0, n) a block of at most kBlock at a time,
  // ticking between blocks as for_each() does: for a flat loop with a small
  // body, which body() keeps in its plain form. Returns false when the poll
  // said stop.
  template <class Body>
  bool for_each_block(std::size_t n, Body&& body) {
    for (std::size_t lo = 0; lo < n; lo += kBlock) {
      const std::size_t hi = n - lo > kBlock ? lo + kBlock : n;
      audit_work(hi - lo);
      body(lo, hi);
      if (hi < n && tick(kBlock / kTurnsPerUnit)) return false;
    }
    return true;
  }

  // A stage whose input has at most kSmall elements (subjects, strings,
  // relations) has loops of at most about kSmall turns: it may check its
  // input against this once and run its loops whole (for_each<false>).
  static constexpr std::size_t kSmall = 64;

 private:
  // for_each() of more than one block. The body comes by value, which for
  // a lambda that captures a few references is a copy in registers: the
  // caller then needs no copy of it in memory on its short path.
  template <class Body>
  LUMO_NOINLINE bool for_blocks(std::size_t i, std::size_t end, Body body) {
    while (i < end) {
      const std::size_t from = i;
      const std::size_t block_end = end - i > kBlock ? i + kBlock : end;
      for (; i < block_end; ++i) {
        if (!turn_of(body, i)) return !tick_done(i + 1 - from);
      }
      if (tick_done(i - from)) return false;
    }
    return true;
  }

  template <class Body>
  static bool turn_of(Body& body, std::size_t i) {
    audit_work();
    if constexpr (std::is_same_v<decltype(body(i)), bool>) {
      return body(i);
    } else {
      body(i);
      return true;
    }
  }

  static std::uint32_t units_of(std::size_t n, std::uint32_t per_unit) {
    const std::size_t units = n / per_unit + 1;
    return units < kStride ? static_cast<std::uint32_t>(units) : kStride;
  }

  bool ask() {
#if defined(LUMO_INTERRUPT_AUDIT)
    interrupt_audit::polled();
#endif
    if (!stopped_ && hook_ != nullptr) stopped_ = hook_->should_stop();
    left_ = stopped_ ? 0 : kStride;  // once stopped, every tick says so
    return stopped_;
  }

  Interrupt* hook_;
  std::uint32_t left_ = kStride;
  bool stopped_ = false;
};

// The turns of a loop whose turns are too light for a tick each (a step of a
// walk over subjects, say), counted in a local of the loop's own (usually a
// register, where the poll's countdown is in memory) and ticked a block at a
// time.
class TurnCounter {
 public:
  explicit TurnCounter(InterruptPoll& poll) : poll_(poll) {}

  // One turn, plus `inner` turns of a loop inside it, at most
  // InterruptPoll::kBlock (a longer loop runs in blocks that tick for
  // themselves, and counts nothing here); true once the poll has said stop.
  bool turn(std::size_t inner = 0) {
    turns_ += 1 + inner;
    return turns_ >= InterruptPoll::kBlock && flush();
  }

  // Counts `inner` turns (at most InterruptPoll::kBlock) of a loop inside
  // the next turn.
  void add(std::size_t inner) { turns_ += inner; }

  // Ticks for the turns counted since the last tick, where they make a unit
  // (as InterruptPoll::tick_done()), once the loop is over; true once the
  // poll has said stop.
  bool finish() {
    audit_work(turns_);
    const std::size_t turns = turns_;
    turns_ = 0;
    return poll_.tick_done(turns);
  }

 private:
  bool flush() {
    audit_work(turns_);
    const std::size_t turns = turns_;
    turns_ = 0;
    return poll_.tick_turns(turns);
  }

  InterruptPoll& poll_;
  std::size_t turns_ = 0;
};

}  // namespace lumo
