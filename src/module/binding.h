// Argument binding and conversion for the module's functions and methods.
#pragma once

#include <cstddef>
#include <string_view>

#include "module/py.h"

namespace lumo::py {

// The parameters of one callable; every parameter is positional-or-keyword,
// and the first `required` of them have no default.
struct Signature {
  const char* full_name;  // "parse_query()", "Query.to_sql()"
  const char* const* names;
  std::size_t count;
  std::size_t required;
};

inline constexpr std::size_t kMaxParams = 4;

// Binds `args` and `kwargs` (may be null) to the parameters. On success
// out[i] is the borrowed argument for parameter i, or null when it was not
// passed; on failure a TypeError is set and false returned.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                    PyObject* out[kMaxParams]);

// The same for a vectorcall-style call (METH_FASTCALL | METH_KEYWORDS):
// positional arguments args[0 .. nargs), then one value per name in
// `kwnames` (may be null). Same errors, in the same order.
bool bind_fast_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, PyObject* out[kMaxParams]);

// A callable's body over its bound arguments (argv[kMaxParams]).
using BoundBody = PyObject* (*)(PyObject* self, PyObject* const* argv);

// The two entry points of a callable with signature Sig: METH_VARARGS |
// METH_KEYWORDS, which every interpreter takes, and METH_FASTCALL |
// METH_KEYWORDS, which joined the stable ABI in 3.10 and spares building an
// argument tuple per call.
template <const Signature& Sig, BoundBody Body>
struct Entry {
  static PyObject* varargs(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* argv[kMaxParams];
    if (!bind_arguments(Sig, args, kwargs, argv)) return nullptr;
    return Body(self, argv);
  }
  static PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* argv[kMaxParams];
    if (!bind_fast_arguments(Sig, args, nargs, kwnames, argv)) return nullptr;
    return Body(self, argv);
  }
};

// Whether the interpreter takes METH_FASTCALL within the stable ABI (3.10
// and later).
bool fastcall_available();

// A method definition for Entry<Sig, Body>, in the faster convention where
// the interpreter has it. The definitions are made when the module is
// loaded, inside the interpreter that imports it.
template <const Signature& Sig, BoundBody Body>
PyMethodDef entry_def(const char* name, const char* doc) {
  // The bit's value is part of the stable ABI from 3.10 on; headers for a
  // 3.9 stable-ABI build do not name it.
  constexpr int kMethFastcall = 0x0080;
  if (fastcall_available())
    return {name, as_cfunction(Entry<Sig, Body>::fastcall), kMethFastcall | METH_KEYWORDS, doc};
  return {name, as_cfunction(Entry<Sig, Body>::varargs), METH_VARARGS | METH_KEYWORDS, doc};
}

// A str (or subclass) as UTF-8: a view that stays valid while `holder`
// lives (a reference to the str itself, or to a copy for a long text that
// is not ASCII and on interpreters older than 3.10). Failures: TypeError
// ('PyString'), or the interpreter's encoding error.
bool convert_str(PyObject* obj, Ref& holder, std::string_view& out);

// True, False, or a numpy boolean scalar. Failure: TypeError ('PyBool'),
// or whatever the scalar's __bool__ raised.
bool convert_bool(PyObject* obj, bool& out);

// convert_str / convert_bool with the "argument '<name>': " prefix applied
// to a TypeError.
bool convert_str_arg(const char* name, PyObject* obj, Ref& holder, std::string_view& out);
bool convert_bool_arg(const char* name, PyObject* obj, bool& out);

}  // namespace lumo::py
