// Result-or-error values.
//
// Every fallible step of the core returns a Result<T, E>: either the value it
// produced or the error that stopped it. The core throws none of its own
// errors; only running out of memory throws (std::bad_alloc from the
// standard containers and allocators, std::bad_array_new_length from
// HugeAllocator), and both bindings catch every exception at their entry
// points (module/objects.h, postgres/calls.cpp), turning it into their own
// error. The type is a thin wrapper over std::variant with names that read
// well at call sites.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace lumo {

template <class E>
struct Err {
  E error;
};

template <class E>
Err<std::decay_t<E>> make_err(E&& e) {
  return Err<std::decay_t<E>>{std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  // A value is moved (or copied) in once.
  Result(T&& value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(const T& value) : v_(std::in_place_index<0>, value) {}
  Result(Err<E> err) : v_(std::in_place_index<1>, std::move(err.error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }

  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

}  // namespace lumo
