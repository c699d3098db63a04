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

struct QueryObject {
  PyObject_HEAD
  BorrowFlag borrow;
  lumo::Query* model;  // owned
};

struct TagGraphObject {
  PyObject_HEAD
  BorrowFlag borrow;
  lumo::GraphState* graph;  // owned
};

// The class objects (borrowed references), created on first use; null with
// an exception set when creating them fails.
PyTypeObject* query_type();
PyTypeObject* tag_graph_type();

// New instances owning the given models; null with an exception set.
PyObject* new_query(lumo::Query model);
PyObject* new_tag_graph(lumo::TagGraph model);

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
