// Exception helpers of the binding.
//
// Every error the binding raises itself goes through these few functions, so
// that messages have one wording: conversion failures name the type's
// qualified name and the target, argument failures gain an "argument '<name>'"
// prefix with the original error kept as __cause__, and texts from the core
// are decoded as UTF-8 with replacement (a report may quote any input). None
// of them can leave the binding without an exception set after a failure.
#include "module/errors.h"

namespace lumo::py {

void ensure_error() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

std::string type_qualname(PyObject* obj) {
  static const char kFailed[] = "<failed to extract type name>";
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return kFailed;
  }
  Ref bytes(PyUnicode_AsUTF8String(name.get()));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
    PyErr_Clear();
    return kFailed;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

void set_error_text(PyObject* type, std::string_view text) {
  Ref msg(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!msg) {
    ensure_error();
    return;
  }
  PyErr_SetObject(type, msg.get());
}

void set_conversion_error(PyObject* obj, const char* target) {
  std::string text = "'";
  text += type_qualname(obj);
  text += "' object cannot be converted to '";
  text += target;
  text += "'";
  set_error_text(PyExc_TypeError, text);
}

void prefix_argument_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) {
    ensure_error();
    return;
  }
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  Ref cause_type(type);
  Ref cause(value);
  Ref cause_tb(tb);
  if (!cause) {  // normalisation failed and left nothing usable
    ensure_error();
    return;
  }
  if (cause_tb) PyException_SetTraceback(cause.get(), cause_tb.get());

  Ref text(PyObject_Str(cause.get()));
  if (!text) return;
  Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) {
    ensure_error();
    return;
  }
  PyObject* replacement =
      PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), static_cast<PyObject*>(nullptr));
  if (replacement == nullptr) {
    ensure_error();
    return;
  }
  PyException_SetCause(replacement, cause.release());  // steals the cause
  Py_INCREF(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, replacement, nullptr);
}

}  // namespace lumo::py
