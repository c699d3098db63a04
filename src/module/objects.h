// The Query and TagGraph classes and the process-wide module state.
#pragma once

#include <new>
#include <utility>

#include "eval/index.h"
#include "model/query.h"
#include "model/tag_graph.h"
#include "module/borrow.h"
#include "module/py.h"

namespace lumo::py {

// Everything the binding keeps for the life of the process.
struct ModuleState {
  PyObject* module = nullptr;           // set once the module body has run
  PyTypeObject* query_type = nullptr;   // created on first use
  PyTypeObject* tag_graph_type = nullptr;
};

ModuleState& module_state();

// An instance of either class: the model it owns, inside the object, the
// counter that keeps calls from overlapping on it, and the text and validate
// flag it was parsed from (what it pickles as). `model` is never null in
// an instance that the module made (it points at `storage`); the methods
// refuse one that is (TypeError) rather than trust that no other route
// created it.
template <class Model>
struct ModelObject {
  PyObject_HEAD
  BorrowFlag borrow;
  PyObject* text;  // owned: an exact str, or null
  bool validate;
  Model* model;  // owned: the object in `storage`, or null
  alignas(Model) unsigned char storage[sizeof(Model)];
};

using QueryObject = ModelObject<lumo::Query>;
using TagGraphObject = ModelObject<lumo::GraphState>;  // indexed on first use

// The class objects (borrowed references), created on first use; null with
// an exception set when creating them fails.
PyTypeObject* query_type();
PyTypeObject* tag_graph_type();

// New instances owning the given models, parsed from `text` (a str, kept as
// an exact str) with `validate`; null with an exception set.
PyObject* new_query(lumo::Query model, PyObject* text, bool validate);
PyObject* new_tag_graph(lumo::GraphState model, PyObject* text, bool validate);

// Runs an entry point body, turning an escaping C++ exception (allocation
// failure) into a Python exception.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "lumo_query: unexpected internal failure");
    return nullptr;
  }
}

}  // namespace lumo::py
