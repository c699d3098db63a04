// The per-instance borrow counter that refuses overlapping access.
//
// The counter is 0 when free, the number of shared borrows while shared, and
// kExclusive while one exclusive borrow holds it. A refused shared borrow
// raises RuntimeError "Already mutably borrowed", a refused exclusive borrow
// "Already borrowed".
#pragma once

#include <atomic>
#include <cstddef>
#include <limits>

#include "module/py.h"

namespace lumo::py {

class BorrowFlag {
 public:
  static constexpr std::size_t kExclusive = std::numeric_limits<std::size_t>::max();

  bool try_shared() {
    std::size_t cur = flag_.load(std::memory_order_relaxed);
    while (cur != kExclusive && cur != kExclusive - 1) {
      if (flag_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }
  bool try_exclusive() {
    std::size_t expected = 0;
    return flag_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                         std::memory_order_relaxed);
  }
  void release_shared() { flag_.fetch_sub(1, std::memory_order_release); }
  void release_exclusive() { flag_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::size_t> flag_{0};
};

// A borrow held for the rest of a scope.
class SharedBorrow {
 public:
  SharedBorrow() = default;
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() { release(); }

  // Sets RuntimeError and returns false when refused.
  bool acquire(BorrowFlag& f) {
    if (!f.try_shared()) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    flag_ = &f;
    return true;
  }
  void release() {
    if (flag_) flag_->release_shared();
    flag_ = nullptr;
  }

 private:
  BorrowFlag* flag_ = nullptr;
};

class ExclusiveBorrow {
 public:
  ExclusiveBorrow() = default;
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() { release(); }

  bool acquire(BorrowFlag& f) {
    if (!f.try_exclusive()) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    flag_ = &f;
    return true;
  }
  void release() {
    if (flag_) flag_->release_exclusive();
    flag_ = nullptr;
  }

 private:
  BorrowFlag* flag_ = nullptr;
};

}  // namespace lumo::py
