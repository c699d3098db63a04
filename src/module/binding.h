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

// A str (or subclass) as UTF-8: a view that stays valid while `holder`
// lives (a reference to the str itself, or to a bytes copy on interpreters
// older than 3.10). Failures: TypeError ('PyString'), or the interpreter's
// encoding error.
bool convert_str(PyObject* obj, Ref& holder, std::string_view& out);

// True, False, or a numpy boolean scalar. Failure: TypeError ('PyBool'),
// or whatever the scalar's __bool__ raised.
bool convert_bool(PyObject* obj, bool& out);

// convert_str / convert_bool with the "argument '<name>': " prefix applied
// to a TypeError.
bool convert_str_arg(const char* name, PyObject* obj, Ref& holder, std::string_view& out);
bool convert_bool_arg(const char* name, PyObject* obj, bool& out);

}  // namespace lumo::py
