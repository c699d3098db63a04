// The interpreter's C API for the binding, restricted to the stable ABI, and
// the small helpers that every binding file shares.
//
// This directory is the only code that includes Python.h. Every entry point
// runs with the interpreter lock held and never releases it.
#pragma once

#define Py_LIMITED_API 0x03090000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

namespace lumo::py {

// An owned (strong) reference, released when it goes out of scope.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = o.p_;
      o.p_ = nullptr;
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  static Ref borrowed(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  PyObject* p_ = nullptr;
};

// A C function of any of the method signatures, as the PyCFunction that
// PyMethodDef stores (the flags tell the interpreter its real shape).
template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// Whether the running interpreter is at least major.minor. The module is
// built for the 3.9 stable ABI; a few later additions are used only when
// the interpreter that loaded it has them.
bool interpreter_at_least(unsigned major, unsigned minor);

// A new str from UTF-8 bytes.
inline PyObject* new_str(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

}  // namespace lumo::py
