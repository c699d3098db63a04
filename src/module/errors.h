// Setting and reshaping the exceptions the binding raises.
#pragma once

#include <string>
#include <string_view>

#include "module/py.h"

namespace lumo::py {

// Makes sure an exception is set after an interpreter call reported failure:
// when it set none, a SystemError takes its place.
void ensure_error();

// The `__qualname__` of the object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* obj);

// Sets TypeError "'<type>' object cannot be converted to '<target>'".
void set_conversion_error(PyObject* obj, const char* target);

// Turns a pending TypeError into "argument '<name>': <text>" with the original
// as its __cause__; any other pending exception is left as it is.
void prefix_argument_error(const char* name);

// Sets an exception of `type` whose message is the UTF-8 `text`.
void set_error_text(PyObject* type, std::string_view text);

}  // namespace lumo::py
