// An optional value kept out of line.
//
// Box<T> holds a T on the heap or nothing: a pointer's size where it is
// absent, which suits fields that are empty most of the time. Unlike a bare
// unique_ptr it copies its value with it, so records holding one stay plain
// copyable values.
#pragma once

#include <memory>
#include <utility>

namespace lumo {

template <class T>
class Box {
 public:
  Box() = default;
  Box(T value) : p_(std::make_unique<T>(std::move(value))) {}
  Box(const Box& o) : p_(o.p_ ? std::make_unique<T>(*o.p_) : nullptr) {}
  Box& operator=(const Box& o) {
    if (this != &o) p_ = o.p_ ? std::make_unique<T>(*o.p_) : nullptr;
    return *this;
  }
  Box(Box&&) noexcept = default;
  Box& operator=(Box&&) noexcept = default;

  bool has_value() const { return p_ != nullptr; }
  explicit operator bool() const { return has_value(); }
  T& operator*() { return *p_; }
  const T& operator*() const { return *p_; }
  T* operator->() { return p_.get(); }
  const T* operator->() const { return p_.get(); }
  void reset() { p_.reset(); }

 private:
  std::unique_ptr<T> p_;
};

}  // namespace lumo
