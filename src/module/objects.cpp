// The Query and TagGraph classes: creation, deallocation and their methods.
//
// Both classes are the same kind of object, a ModelObject that owns one model
// and a borrow counter, so everything that does not depend on the model is
// written once as a template over the model type: the receiver and argument
// checks, deallocation, instance creation and the class object itself. What
// differs per class (its name, where the class object is cached, its method
// table) sits in one ClassInfo specialisation each. The class objects are
// heap types built from a PyType_Spec; where the interpreter knows immutable
// types (3.10 on) they are created immutable, so that plain Python cannot
// swap `__new__` and conjure an instance without a model. Every method still
// checks for a model, since older interpreters leave that route open. Long
// core calls get a SignalCheck, so a signal handler that raises ends them.
#include "module/objects.h"

#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "eval/collect.h"
#include "eval/explain.h"
#include "eval/match.h"
#include "module/binding.h"
#include "module/errors.h"
#include "module/signal_check.h"
#include "module/str_cache.h"
#include "output/meta.h"
#include "output/sql.h"

namespace lumo::py {
namespace {

// What tells the two classes apart.
template <class Model>
struct ClassInfo;

template <>
struct ClassInfo<lumo::Query> {
  static constexpr const char* kName = "Query";
  static constexpr const char* kSpecName = "builtins.Query";
  static constexpr const char* kMadeBy = "parse_query()";
  static constexpr const char* kParse = "parse_query";
  static constexpr PyTypeObject* ModuleState::*kSlot = &ModuleState::query_type;
  static PyMethodDef methods[];
};

template <>
struct ClassInfo<lumo::GraphState> {
  static constexpr const char* kName = "TagGraph";
  static constexpr const char* kSpecName = "builtins.TagGraph";
  static constexpr const char* kMadeBy = "parse_tag_graph()";
  static constexpr const char* kParse = "parse_tag_graph";
  static constexpr PyTypeObject* ModuleState::*kSlot = &ModuleState::tag_graph_type;
  static PyMethodDef methods[];
};

bool is_instance(PyObject* obj, PyTypeObject* type) {
  return type != nullptr &&
         (Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type));
}

// `obj` as an instance of the Model's class, or null with a TypeError set:
// the conversion error for another type, or the missing-model error.
template <class Model>
ModelObject<Model>* as_model_object(PyObject* obj) {
  using Info = ClassInfo<Model>;
  if (!is_instance(obj, module_state().*Info::kSlot)) {
    set_conversion_error(obj, Info::kName);
    return nullptr;
  }
  auto* typed = reinterpret_cast<ModelObject<Model>*>(obj);
  if (typed->model == nullptr) {
    PyErr_Format(PyExc_TypeError, "this %s object has no model: only %s makes usable ones",
                 Info::kName, Info::kMadeBy);
    return nullptr;
  }
  return typed;
}

// The same for a method argument: the error says which argument it was.
template <class Model>
ModelObject<Model>* model_argument(PyObject* obj, const char* name) {
  ModelObject<Model>* typed = as_model_object<Model>(obj);
  if (typed == nullptr) prefix_argument_error(name);
  return typed;
}

template <class Model>
void dealloc_instance(PyObject* self) {
  auto* obj = reinterpret_cast<ModelObject<Model>*>(self);
  if (obj->model != nullptr) obj->model->~Model();
  Py_XDECREF(obj->text);
  obj->borrow.~BorrowFlag();
  PyTypeObject* type = Py_TYPE(self);
  // The classes are not collected by the cycle collector and set no
  // allocator of their own: PyObject_Free is their tp_free.
  PyObject_Free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  if (!name) {
    ensure_error();
    return nullptr;
  }
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

// Py_TPFLAGS_IMMUTABLETYPE means "attributes cannot be set" from 3.10 on.
// The module is built for 3.9 as well, whose headers may not name the bit and
// whose interpreter must not be handed it, so the flag is chosen at run time.
constexpr unsigned long kImmutableTypeFlag = 1UL << 8;

bool interpreter_has_immutable_types() { return interpreter_at_least(3, 10); }

// The class object of the Model's class, created on the first call and kept
// for the process. No Py_TPFLAGS_BASETYPE: the classes cannot be subclassed.
template <class Model>
PyTypeObject* class_object() {
  using Info = ClassInfo<Model>;
  PyTypeObject*& slot = module_state().*Info::kSlot;
  if (slot != nullptr) return slot;
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Model>)},
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_methods, Info::methods},
      {0, nullptr},
  };
  unsigned long flags = Py_TPFLAGS_DEFAULT;
  if (interpreter_has_immutable_types()) flags |= kImmutableTypeFlag;
  PyType_Spec desc = {Info::kSpecName, static_cast<int>(sizeof(ModelObject<Model>)), 0,
                      static_cast<unsigned int>(flags), slots};
  PyObject* type = PyType_FromSpec(&desc);
  if (type == nullptr) {
    ensure_error();
    return nullptr;
  }
  slot = reinterpret_cast<PyTypeObject*>(type);
  return slot;
}

// A new instance of the Model's class that owns `model`, parsed from the
// str `text` with `validate`; null with an exception set (the model is then
// released).
template <class Model>
PyObject* new_instance(Model&& model, PyObject* text, bool validate) {
  // The text is kept as an exact str, so that a pickle holds no subclass.
  Ref kept = PyUnicode_CheckExact(text) ? Ref::borrowed(text) : Ref(PyObject_Str(text));
  if (!kept) {
    ensure_error();
    return nullptr;
  }
  static_assert(std::is_nothrow_move_constructible_v<Model>);
  // Python's allocators align objects to 16 bytes.
  static_assert(alignof(ModelObject<Model>) <= 16);
  PyTypeObject* type = class_object<Model>();
  if (type == nullptr) return nullptr;
  // The generic allocator is the classes' tp_alloc (they set none).
  PyObject* obj = PyType_GenericAlloc(type, 0);
  if (obj == nullptr) {
    ensure_error();
    return nullptr;
  }
  auto* typed = reinterpret_cast<ModelObject<Model>*>(obj);
  new (&typed->borrow) BorrowFlag();
  typed->text = kept.release();
  typed->validate = validate;
  typed->model = new (typed->storage) Model(std::move(model));  // moves never throw
  return obj;
}

// Ends a method whose core call reported that the signal check stopped it:
// the signal handler's exception is pending.
PyObject* interrupted() {
  ensure_error();
  return nullptr;
}

// A new list of str from strings or string views. With `signals`, a long
// list gives signal handlers their turn while it is built (null with the
// handler's exception when one raised).
template <class Strings>
PyObject* str_list(const Strings& items, SignalCheck* signals = nullptr) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) {
    ensure_error();
    return nullptr;
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (signals != nullptr && i % InterruptPoll::kStride == InterruptPoll::kStride - 1 &&
        signals->should_stop()) {
      return nullptr;
    }
    PyObject* s = new_str(items[i]);
    if (s == nullptr) {
      ensure_error();
      return nullptr;
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s);  // steals s
  }
  return list.release();
}

// One SQL parameter as a Python value: a str, or a new list of str.
PyObject* sql_param(const SqlParam& param, SignalCheck& signals) {
  if (const auto* tag = std::get_if<std::string_view>(&param)) {
    PyObject* s = new_str(*tag);
    if (s == nullptr) ensure_error();
    return s;
  }
  return str_list(std::get<std::vector<std::string_view>>(param), &signals);
}

// The caller's argument list as to_sql's sink. Values are appended as they
// are printed and each placeholder takes the list's length right after its
// append. A plain list is appended to directly; a subclass through its own
// append, so that an override sees every value.
class ListSink final : public SqlParamSink {
 public:
  ListSink(PyObject* list, SignalCheck& signals) : list_(list), signals_(signals) {}

  bool append(SqlParam param, std::size_t& length_after) override {
    Ref value(sql_param(param, signals_));
    if (!value) return false;
    if (PyList_CheckExact(list_)) {
      if (PyList_Append(list_, value.get()) < 0) return false;
    } else {
      if (!append_name_) {
        append_name_ = Ref(PyUnicode_InternFromString("append"));
        if (!append_name_) return false;
      }
      Ref done(PyObject_CallMethodObjArgs(list_, append_name_.get(), value.get(),
                                          static_cast<PyObject*>(nullptr)));
      if (!done) return false;
    }
    const Py_ssize_t n = PyList_Size(list_);
    if (n < 0) return false;
    length_after = static_cast<std::size_t>(n);
    return true;
  }

 private:
  PyObject* list_;
  SignalCheck& signals_;
  Ref append_name_;
};

// ---- Query methods ---------------------------------------------------------

// The body of is_match() and explain(): `step(query, indexed graph,
// signals)` runs with the query borrowed shared and the graph exclusively
// (its index may be built first), and `make` turns what it gave into the
// call's result once both borrows have ended.
template <class Step, class Make>
PyObject* on_query_and_graph(PyObject* self, PyObject* graph_argument, Step step, Make make) {
  return guarded([&]() -> PyObject* {
    QueryObject* query = as_model_object<lumo::Query>(self);
    if (query == nullptr) return nullptr;
    SharedBorrow query_borrow;
    if (!query_borrow.acquire(query->borrow)) return nullptr;
    TagGraphObject* graph = model_argument<lumo::GraphState>(graph_argument, "graph");
    if (graph == nullptr) return nullptr;
    ExclusiveBorrow graph_borrow;
    if (!graph_borrow.acquire(graph->borrow)) return nullptr;

    SignalCheck signals;
    const IndexedGraph* indexed = graph->model->ensure_index(&signals);
    if (indexed == nullptr) return interrupted();
    auto done = step(*query->model, *indexed, signals);
    if (!done) return interrupted();
    graph_borrow.release();
    query_borrow.release();
    return make(done.value());
  });
}

const char* const kIsMatchNames[] = {"graph"};
const Signature kIsMatchSig = {"Query.is_match()", kIsMatchNames, 1, 1};

PyObject* query_is_match(PyObject* self, PyObject* const* argv) {
  return on_query_and_graph(
      self, argv[0],
      [](const lumo::Query& query, const IndexedGraph& graph, SignalCheck& signals) {
        return lumo::is_match(query, graph, &signals);
      },
      [](bool matched) { return PyBool_FromLong(matched ? 1 : 0); });
}

const Signature kExplainSig = {"Query.explain()", kIsMatchNames, 1, 1};

PyObject* query_explain(PyObject* self, PyObject* const* argv) {
  return on_query_and_graph(
      self, argv[0],
      [](const lumo::Query& query, const IndexedGraph& graph, SignalCheck& signals) {
        return lumo::explain_text(query, graph, &signals);
      },
      [](const std::string& text) {
        PyObject* result = new_str(text);
        if (result == nullptr) ensure_error();
        return result;
      });
}

const char* const kToSqlNames[] = {"args"};
const Signature kToSqlSig = {"Query.to_sql()", kToSqlNames, 1, 1};

PyObject* query_to_sql(PyObject* self, PyObject* const* argv) {
  return guarded([&]() -> PyObject* {
    QueryObject* query = as_model_object<lumo::Query>(self);
    if (query == nullptr) return nullptr;
    ExclusiveBorrow borrow;
    if (!borrow.acquire(query->borrow)) return nullptr;

    PyObject* list = argv[0];
    if (!PyList_Check(list)) {
      borrow.release();
      set_conversion_error(list, "PyList");
      prefix_argument_error("args");
      return nullptr;
    }
    SignalCheck signals;
    ListSink sink(list, signals);
    std::string sql;
    if (!lumo::to_sql(*query->model, sink, sql, &signals)) {
      // Refused by the sink or stopped by a signal handler; the values
      // appended so far stay in the list either way.
      ensure_error();
      return nullptr;
    }
    PyObject* text = new_str(sql);
    if (text == nullptr) ensure_error();
    return text;
  });
}

PyObject* query_meta_queries(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    QueryObject* query = as_model_object<lumo::Query>(self);
    if (query == nullptr) return nullptr;
    SharedBorrow borrow;
    if (!borrow.acquire(query->borrow)) return nullptr;
    // Copied out so that no Python object is created while the model is held.
    SignalCheck signals;
    InterruptPoll poll(&signals);
    const std::vector<MetaQuery>& all = lumo::meta_queries(*query->model);
    std::vector<MetaQuery> metas;
    metas.reserve(all.size());
    for (const MetaQuery& m : all) {
      if (poll.turn()) return interrupted();
      metas.push_back(m);
    }
    borrow.release();

    Ref list(PyList_New(static_cast<Py_ssize_t>(metas.size())));
    if (!list) {
      ensure_error();
      return nullptr;
    }
    for (std::size_t i = 0; i < metas.size(); ++i) {
      if (poll.turn()) return interrupted();
      Ref key(new_str(metas[i].key));
      Ref value(key ? new_str(metas[i].value) : nullptr);
      Ref tuple(value ? PyTuple_New(3) : nullptr);
      if (!tuple) {
        ensure_error();
        return nullptr;
      }
      PyTuple_SetItem(tuple.get(), 0, PyBool_FromLong(metas[i].negated ? 1 : 0));
      PyTuple_SetItem(tuple.get(), 1, key.release());
      PyTuple_SetItem(tuple.get(), 2, value.release());
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
    }
    return list.release();
  });
}

// ---- TagGraph methods ------------------------------------------------------

PyObject* tag_graph_collect_tags(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    TagGraphObject* graph = as_model_object<lumo::GraphState>(self);
    if (graph == nullptr) return nullptr;
    ExclusiveBorrow borrow;
    if (!borrow.acquire(graph->borrow)) return nullptr;
    SignalCheck signals;
    const IndexedGraph* indexed = graph->model->ensure_index(&signals);
    if (indexed == nullptr) return interrupted();
    borrow.release();
    // The strs are made from the graph's own strings: an indexed graph
    // never changes, and `self` keeps it alive while signal handlers run.
    InterruptPoll poll(&signals);
    const std::size_t count = lumo::count_collected(*indexed, poll);
    if (poll.stopped()) return interrupted();
    Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) {
      ensure_error();
      return nullptr;
    }
    StrMaker make;
    std::size_t i = 0;
    const bool done = lumo::for_each_collected(
        *indexed,
        [&](std::string_view text) {
          PyObject* s = make(text);
          if (s == nullptr) {
            ensure_error();
            return false;
          }
          PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i++), s);  // steals s
          // A str is a unit of work; a long one weighs its bytes.
          if (text.size() > InterruptPoll::kBytesPerUnit) [[unlikely]]
            return !poll.tick_bytes(text.size());
          return !poll.tick();
        },
        poll);
    if (poll.stopped()) return interrupted();
    return done ? list.release() : nullptr;
  });
}

// ---- pickling --------------------------------------------------------------

// (parse function, (text, validate)): an object pickles as the call that
// makes it again. The function is looked up on the module, whose own
// functions pickle by name (lumo_query.parse_query, ...).
template <class Model>
PyObject* reduce_instance(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    ModelObject<Model>* obj = as_model_object<Model>(self);
    if (obj == nullptr) return nullptr;
    if (obj->text == nullptr) {
      PyErr_Format(PyExc_TypeError, "cannot pickle this %s object: it has no text",
                   ClassInfo<Model>::kName);
      return nullptr;
    }
    PyObject* module = module_state().module;
    if (module == nullptr) {
      PyErr_SetString(PyExc_SystemError, "lumo_query: the module is not initialised");
      return nullptr;
    }
    Ref parse(PyObject_GetAttrString(module, ClassInfo<Model>::kParse));
    if (!parse) {
      ensure_error();
      return nullptr;
    }
    return Py_BuildValue("(O(OO))", parse.get(), obj->text, obj->validate ? Py_True : Py_False);
  });
}

// ---- method tables ---------------------------------------------------------

PyMethodDef ClassInfo<lumo::Query>::methods[] = {
    entry_def<kIsMatchSig, query_is_match>("is_match", "is_match($self, graph)\n--\n\n"),
    entry_def<kToSqlSig, query_to_sql>("to_sql", "to_sql($self, args)\n--\n\n"),
    {"meta_queries", as_cfunction(query_meta_queries), METH_NOARGS,
     "meta_queries($self)\n--\n\n"},
    entry_def<kExplainSig, query_explain>("explain", "explain($self, graph)\n--\n\n"),
    {"__reduce__", as_cfunction(reduce_instance<lumo::Query>), METH_NOARGS,
     "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef ClassInfo<lumo::GraphState>::methods[] = {
    {"collect_tags", as_cfunction(tag_graph_collect_tags), METH_NOARGS,
     "collect_tags($self)\n--\n\n"},
    {"__reduce__", as_cfunction(reduce_instance<lumo::GraphState>), METH_NOARGS,
     "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

ModuleState& module_state() {
  static ModuleState state;
  return state;
}

PyTypeObject* query_type() { return class_object<lumo::Query>(); }

PyTypeObject* tag_graph_type() { return class_object<lumo::GraphState>(); }

PyObject* new_query(lumo::Query model, PyObject* text, bool validate) {
  return new_instance(std::move(model), text, validate);
}

PyObject* new_tag_graph(lumo::GraphState model, PyObject* text, bool validate) {
  return new_instance(std::move(model), text, validate);
}

}  // namespace lumo::py
