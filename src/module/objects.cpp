// The Query and TagGraph classes: creation, deallocation and their methods.
#include "module/objects.h"

#include <memory>
#include <string>
#include <vector>

#include "eval/collect.h"
#include "eval/match.h"
#include "module/binding.h"
#include "output/meta.h"
#include "output/sql.h"

namespace lumo::py {
namespace {

template <class F>
PyCFunction as_method(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

bool is_instance(PyObject* obj, PyTypeObject* type) {
  return type != nullptr &&
         (Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type));
}

// The receiver as a Query / TagGraph, or null with the conversion error set.
QueryObject* query_receiver(PyObject* self) {
  if (!is_instance(self, module_state().query_type)) {
    set_conversion_error(self, "Query");
    return nullptr;
  }
  return reinterpret_cast<QueryObject*>(self);
}

TagGraphObject* tag_graph_receiver(PyObject* self) {
  if (!is_instance(self, module_state().tag_graph_type)) {
    set_conversion_error(self, "TagGraph");
    return nullptr;
  }
  return reinterpret_cast<TagGraphObject*>(self);
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

void query_dealloc(PyObject* self) {
  auto* q = reinterpret_cast<QueryObject*>(self);
  delete q->model;
  q->borrow.~BorrowFlag();
  free_instance(self);
}

void tag_graph_dealloc(PyObject* self) {
  auto* g = reinterpret_cast<TagGraphObject*>(self);
  delete g->graph;
  g->borrow.~BorrowFlag();
  free_instance(self);
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

// Allocates an instance of `type` with its borrow counter free and no model.
PyObject* alloc_instance(PyTypeObject* type) {
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc ? alloc(type, 0) : nullptr;
  if (obj == nullptr) ensure_error();
  return obj;
}

// A new list of str from strings or string views.
template <class Strings>
PyObject* str_list(const Strings& items) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) {
    ensure_error();
    return nullptr;
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
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
PyObject* sql_param(const SqlParam& param) {
  if (const auto* tag = std::get_if<std::string_view>(&param)) {
    PyObject* s = new_str(*tag);
    if (s == nullptr) ensure_error();
    return s;
  }
  return str_list(std::get<std::vector<std::string_view>>(param));
}

// ---- Query methods ---------------------------------------------------------

const char* const kIsMatchNames[] = {"graph"};
const Signature kIsMatchSig = {"Query.is_match()", kIsMatchNames, 1, 1};

PyObject* query_is_match(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[kMaxParams];
    if (!bind_arguments(kIsMatchSig, args, kwargs, argv)) return nullptr;
    QueryObject* query = query_receiver(self);
    if (query == nullptr) return nullptr;
    SharedBorrow query_borrow;
    if (!query_borrow.acquire(query->borrow)) return nullptr;

    if (!is_instance(argv[0], module_state().tag_graph_type)) {
      set_conversion_error(argv[0], "TagGraph");
      prefix_argument_error("graph");
      return nullptr;
    }
    auto* graph = reinterpret_cast<TagGraphObject*>(argv[0]);
    ExclusiveBorrow graph_borrow;
    if (!graph_borrow.acquire(graph->borrow)) return nullptr;

    bool matched = lumo::is_match(*query->model, graph->graph->ensure_index());
    graph_borrow.release();
    query_borrow.release();
    return PyBool_FromLong(matched ? 1 : 0);
  });
}

const char* const kToSqlNames[] = {"args"};
const Signature kToSqlSig = {"Query.to_sql()", kToSqlNames, 1, 1};

PyObject* query_to_sql(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[kMaxParams];
    if (!bind_arguments(kToSqlSig, args, kwargs, argv)) return nullptr;
    QueryObject* query = query_receiver(self);
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
    // Values are appended as they are printed and each placeholder takes
    // the list's length right after its append. A plain list is appended
    // to directly; a subclass through its own append, so that an override
    // sees every value.
    class ListSink : public SqlParamSink {
     public:
      explicit ListSink(PyObject* list) : list_(list) {}
      bool append(SqlParam param, std::size_t& length_after) override {
        Ref value(sql_param(param));
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
      Ref append_name_;
    };
    ListSink sink(list);
    std::string sql;
    if (!lumo::to_sql(*query->model, sink, sql)) {
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
    QueryObject* query = query_receiver(self);
    if (query == nullptr) return nullptr;
    SharedBorrow borrow;
    if (!borrow.acquire(query->borrow)) return nullptr;
    // Copied out so that no Python object is created while the model is held.
    const std::vector<MetaQuery> metas = lumo::meta_queries(*query->model);
    borrow.release();

    Ref list(PyList_New(static_cast<Py_ssize_t>(metas.size())));
    if (!list) {
      ensure_error();
      return nullptr;
    }
    for (std::size_t i = 0; i < metas.size(); ++i) {
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

PyMethodDef query_methods[] = {
    {"is_match", as_method(query_is_match), METH_VARARGS | METH_KEYWORDS,
     "is_match($self, graph)\n--\n\n"},
    {"to_sql", as_method(query_to_sql), METH_VARARGS | METH_KEYWORDS,
     "to_sql($self, args)\n--\n\n"},
    {"meta_queries", as_method(query_meta_queries), METH_NOARGS, "meta_queries($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- TagGraph methods ------------------------------------------------------

PyObject* tag_graph_collect_tags(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    TagGraphObject* graph = tag_graph_receiver(self);
    if (graph == nullptr) return nullptr;
    ExclusiveBorrow borrow;
    if (!borrow.acquire(graph->borrow)) return nullptr;
    std::vector<std::string> tags = lumo::collect_tags(graph->graph->ensure_index());
    borrow.release();
    return str_list(tags);
  });
}

PyMethodDef tag_graph_methods[] = {
    {"collect_tags", as_method(tag_graph_collect_tags), METH_NOARGS,
     "collect_tags($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- class objects -------------------------------------------------------

PyType_Slot query_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(query_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_methods, query_methods},
    {0, nullptr},
};

PyType_Slot tag_graph_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(tag_graph_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_methods, tag_graph_methods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the classes cannot be subclassed.
PyType_Spec query_type_desc = {"builtins.Query", static_cast<int>(sizeof(QueryObject)), 0,
                               Py_TPFLAGS_DEFAULT, query_slots};
PyType_Spec tag_graph_type_desc = {"builtins.TagGraph",
                                   static_cast<int>(sizeof(TagGraphObject)), 0,
                                   Py_TPFLAGS_DEFAULT, tag_graph_slots};

PyTypeObject* cached_type(PyTypeObject*& slot, PyType_Spec& desc) {
  if (slot == nullptr) {
    PyObject* type = PyType_FromSpec(&desc);
    if (type == nullptr) {
      ensure_error();
      return nullptr;
    }
    slot = reinterpret_cast<PyTypeObject*>(type);  // kept for the process
  }
  return slot;
}

}  // namespace

ModuleState& module_state() {
  static ModuleState state;
  return state;
}

PyTypeObject* query_type() { return cached_type(module_state().query_type, query_type_desc); }

PyTypeObject* tag_graph_type() {
  return cached_type(module_state().tag_graph_type, tag_graph_type_desc);
}

PyObject* new_query(lumo::Query model) {
  auto owned = std::make_unique<lumo::Query>(std::move(model));
  PyObject* obj = alloc_instance(query_type());
  if (obj == nullptr) return nullptr;
  auto* q = reinterpret_cast<QueryObject*>(obj);
  new (&q->borrow) BorrowFlag();
  q->model = owned.release();
  return obj;
}

PyObject* new_tag_graph(lumo::TagGraph model) {
  auto owned = std::make_unique<lumo::GraphState>(std::move(model));
  PyObject* obj = alloc_instance(tag_graph_type());
  if (obj == nullptr) return nullptr;
  auto* g = reinterpret_cast<TagGraphObject*>(obj);
  new (&g->borrow) BorrowFlag();
  g->graph = owned.release();
  return obj;
}

}  // namespace lumo::py
