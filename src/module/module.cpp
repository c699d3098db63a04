// The module object: initialisation entry point, module body and the two
// module functions.
//
// The module is single-phase: PyInit creates it once per process and keeps
// it in the process-wide state, and a second initialisation is refused. Its
// body adds the two classes and the two functions one member at a time,
// recording each name in `__all__`, and `__version__` (the project's version,
// which the build passes in as LUMO_VERSION). Both functions have one shape (bind the
// text and the validate flag, compile with the signal check as interrupt
// hook, wrap the model or raise), written once in `parse_text`; a build
// error becomes ValueError, an interrupted build the signal handler's own
// exception.
#include <csignal>
#include <string_view>

#include "base/process.h"
#include "model/build_error.h"
#include "model/query.h"
#include "model/tag_graph.h"
#include "module/binding.h"
#include "module/errors.h"
#include "module/objects.h"
#include "module/py.h"
#include "module/signal_check.h"
#include "reader/reader.h"

namespace lumo::py {
namespace {

const char* const kParseQueryNames[] = {"query", "validate"};
const Signature kParseQuerySig = {"parse_query()", kParseQueryNames, 2, 1};

const char* const kParseTagGraphNames[] = {"graph", "validate"};
const Signature kParseTagGraphSig = {"parse_tag_graph()", kParseTagGraphNames, 2, 1};

// Converts the bound (text, validate=True) of `sig`, runs
// `compile(text, validate, hook)` and hands the model it built to `wrap`,
// with the text object and the flag.
template <class Compile, class Wrap>
PyObject* parse_text(const Signature& sig, PyObject* const* argv, Compile compile, Wrap wrap) {
  Ref holder;
  std::string_view text;
  if (!convert_str_arg(sig.names[0], argv[0], holder, text)) return nullptr;
  bool validate = true;
  if (argv[1] != nullptr && !convert_bool_arg(sig.names[1], argv[1], validate)) return nullptr;

  SignalCheck signals;
  auto built = compile(text, validate, &signals);
  if (built) return wrap(std::move(built).value(), argv[0], validate);
  if (built.error().kind == BuildErrorKind::Interrupted) {
    ensure_error();  // the signal handler's exception
    return nullptr;
  }
  set_error_text(PyExc_ValueError, render_build_error(built.error()));
  return nullptr;
}

PyObject* parse_query(PyObject*, PyObject* const* argv) {
  return guarded([&]() -> PyObject* {
    return parse_text(
        kParseQuerySig, argv,
        // No query rule depends on `validate`; it is accepted for symmetry.
        [](std::string_view text, bool, Interrupt* hook) { return compile_query(text, hook); },
        new_query);
  });
}

PyObject* parse_tag_graph(PyObject*, PyObject* const* argv) {
  return guarded([&]() -> PyObject* {
    return parse_text(
        kParseTagGraphSig, argv,
        [](std::string_view text, bool validate, Interrupt* hook) {
          return load_tag_graph(text, validate, hook);
        },
        new_tag_graph);
  });
}

// _signal_at_first_poll(signum, fd=-1): for the module's own tests (see
// module/signal_check.h). Arms the action; ValueError for a signal number
// the process cannot raise, or a descriptor where the platform has none.
const char* const kFirstPollNames[] = {"signum", "fd"};
const Signature kFirstPollSig = {"_signal_at_first_poll()", kFirstPollNames, 2, 1};

bool convert_int_arg(const char* name, PyObject* obj, int& out) {
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) {
    prefix_argument_error(name);
    return false;
  }
  if (value < -1 || value > 1 << 20) {
    PyErr_Format(PyExc_ValueError, "argument '%s': out of range", name);
    return false;
  }
  out = static_cast<int>(value);
  return true;
}

PyObject* signal_at_first_poll(PyObject*, PyObject* const* argv) {
  return guarded([&]() -> PyObject* {
    FirstPollAction action;
    if (!convert_int_arg("signum", argv[0], action.signum)) return nullptr;
    if (argv[1] != nullptr && !convert_int_arg("fd", argv[1], action.fd)) return nullptr;
    if (action.signum < 0 || action.signum >= NSIG) {
      PyErr_SetString(PyExc_ValueError, "signal number out of range");
      return nullptr;
    }
    if (!kHaveDescriptors && action.fd != -1) {
      PyErr_SetString(PyExc_ValueError, "no descriptors on this platform");
      return nullptr;
    }
    action.armed = true;
    first_poll_action = action;
    Py_RETURN_NONE;
  });
}

PyMethodDef signal_at_first_poll_def = entry_def<kFirstPollSig, signal_at_first_poll>(
    "_signal_at_first_poll",
    "_signal_at_first_poll(signum, fd=-1)\n--\n\n"
    "Internal, for the module's own tests: at the next poll of a long call, write one\n"
    "byte to fd (unless -1), then raise signal signum in the process (unless 0).");

PyMethodDef parse_query_def = entry_def<kParseQuerySig, parse_query>(
    "parse_query", "parse_query(query, validate=True)\n--\n\n");
PyMethodDef parse_tag_graph_def = entry_def<kParseTagGraphSig, parse_tag_graph>(
    "parse_tag_graph", "parse_tag_graph(graph, validate=True)\n--\n\n");

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "lumo_query._lumo_query",
    "Queries and tag graphs in one small tag language: parse, match, and SQL prefilters.",
    0,        // no per-module state
    nullptr,  // no method table: the body adds the functions
    nullptr, nullptr, nullptr, nullptr,
};

// Sets module.<name> = value and appends name to __all__ (created on first
// use).
bool add_member(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  Ref key(PyUnicode_InternFromString(name));
  if (!key) return false;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    set_conversion_error(all.get(), "PyList");
    return false;
  }
  if (PyList_Append(all.get(), key.get()) < 0) return false;
  return PyObject_SetAttr(module, key.get(), value) == 0;
}

// The public functions belong to the package that re-exports them: they
// name `lumo_query` as their module (which is where pickle finds them) and,
// when the package is importing this module from its __init__, are bound to
// the package, as they were when this module was the package itself. Loaded
// on its own, this module binds them to itself.
bool add_function(PyObject* module, PyMethodDef* def) {
  Ref package_name(PyUnicode_InternFromString("lumo_query"));
  if (!package_name) return false;
  Ref package(PyImport_GetModule(package_name.get()));
  if (!package) {
    if (PyErr_Occurred()) return false;
    package = Ref::borrowed(module);
  }
  Ref function(PyCFunction_NewEx(def, package.get(), package_name.get()));
  if (!function) return false;
  return add_member(module, def->ml_name, function.get());
}

// A private function: an attribute of the module, not in __all__.
bool add_private_function(PyObject* module, PyMethodDef* def) {
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  Ref function(PyCFunction_NewEx(def, module, module_name.get()));
  return function && PyObject_SetAttrString(module, def->ml_name, function.get()) == 0;
}

bool module_body(PyObject* module) {
  return add_member(module, "Query", reinterpret_cast<PyObject*>(query_type())) &&
         add_member(module, "TagGraph", reinterpret_cast<PyObject*>(tag_graph_type())) &&
         add_function(module, &parse_query_def) && add_function(module, &parse_tag_graph_def) &&
         add_private_function(module, &signal_at_first_poll_def) &&
         PyModule_AddStringConstant(module, "__version__", LUMO_VERSION) == 0;
}

PyObject* init_module() {
  ModuleState& state = module_state();
  if (state.module != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "lumo_query may be initialized only once per interpreter process");
    return nullptr;
  }
  Ref module(PyModule_Create2(&module_def, 3));
  if (!module || !module_body(module.get())) {
    ensure_error();
    return nullptr;  // the half-built module is released here
  }
  state.module = module.get();
  Py_INCREF(state.module);  // the process-wide slot keeps its own reference
  return module.release();
}

}  // namespace

void run_first_poll_action() {
  const FirstPollAction action = first_poll_action;
  first_poll_action = FirstPollAction{};
  if (action.fd != -1) (void)write_byte(action.fd, 'p');
  if (action.signum != 0) std::raise(action.signum);
}

}  // namespace lumo::py

PyMODINIT_FUNC PyInit__lumo_query(void) {
  return lumo::py::guarded([] { return lumo::py::init_module(); });
}
