// Argument binding and conversion.
//
// The module's callables take METH_VARARGS | METH_KEYWORDS (METH_FASTCALL |
// METH_KEYWORDS on 3.10 and later, where the stable ABI has it) and bind
// their arguments here against a small Signature table rather than through the
// interpreter's format strings, so that every failure has the module's own
// wording (the full name of the callable, "argument '<name>'" prefixes) and
// so that numpy booleans are accepted by value. Binding only borrows the
// objects; conversion of a str hands back a view of its UTF-8, held alive
// by an owned reference.
#include "module/binding.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "base/huge_pages.h"
#include "base/process.h"
#include "base/utf32.h"
#include "module/errors.h"
#include "module/signal_check.h"

namespace lumo::py {
namespace {

const char* was_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

void too_many_positional(const Signature& sig, Py_ssize_t given) {
  if (sig.required < sig.count) {
    PyErr_Format(PyExc_TypeError,
                 "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.full_name, sig.required, sig.count, given, was_were(given));
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 sig.full_name, sig.count, given, was_were(given));
  }
}

void missing_required(const Signature& sig, PyObject* const out[kMaxParams]) {
  std::size_t missing[kMaxParams];
  std::size_t n = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing[n++] = i;
  }
  std::string text = sig.full_name;
  text += " missing ";
  text += std::to_string(n);
  text += n == 1 ? " required positional argument: " : " required positional arguments: ";
  for (std::size_t k = 0; k < n; ++k) {
    if (k != 0) {
      if (n > 2) text += ",";
      text += k + 1 == n ? " and " : " ";
    }
    text += "'";
    text += sig.names[missing[k]];
    text += "'";
  }
  set_error_text(PyExc_TypeError, text);
}

// The index of the parameter called `key`, or -1.
Py_ssize_t find_parameter(const Signature& sig, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

// Binds keyword argument `key` to its parameter.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value,
                  PyObject* out[kMaxParams]) {
  const Py_ssize_t i = find_parameter(sig, key);
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name,
                 key);
    return false;
  }
  if (out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name,
                 sig.names[i]);
    return false;
  }
  out[i] = value;
  return true;
}

bool have_required(const Signature& sig, PyObject* const out[kMaxParams]) {
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) {
      missing_required(sig, out);
      return false;
    }
  }
  return true;
}

bool is_numpy_bool_type(PyObject* type) {
  Ref module(PyObject_GetAttrString(type, "__module__"));
  if (!module || !PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    PyErr_Clear();
    return false;
  }
  Ref name(PyObject_GetAttrString(type, "__name__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                    PyObject* out[kMaxParams]) {
  for (std::size_t i = 0; i < kMaxParams; ++i) out[i] = nullptr;

  Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (given < 0) {
    ensure_error();
    return false;
  }
  if (static_cast<std::size_t>(given) > sig.count) {
    too_many_positional(sig, given);
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) {
    out[i] = PyTuple_GetItem(args, i);
    if (out[i] == nullptr) {
      ensure_error();
      return false;
    }
  }

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(sig, key, value, out)) return false;
    }
  }
  return have_required(sig, out);
}

bool bind_fast_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, PyObject* out[kMaxParams]) {
  for (std::size_t i = 0; i < kMaxParams; ++i) out[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > sig.count) {
    too_many_positional(sig, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t named = PyTuple_Size(kwnames);
    if (named < 0) {
      ensure_error();
      return false;
    }
    for (Py_ssize_t k = 0; k < named; ++k) {
      PyObject* key = PyTuple_GetItem(kwnames, k);
      if (key == nullptr) {
        ensure_error();
        return false;
      }
      if (!bind_keyword(sig, key, args[nargs + k], out)) return false;
    }
  }
  return have_required(sig, out);
}

bool fastcall_available() {
  static const bool available = interpreter_at_least(3, 10);
  return available;
}

bool interpreter_at_least(unsigned major, unsigned minor) {
  const char* v = Py_GetVersion();  // "3.11.7 (main, ...)"
  unsigned at_major = 0;
  unsigned at_minor = 0;
  while (*v >= '0' && *v <= '9') at_major = at_major * 10 + static_cast<unsigned>(*v++ - '0');
  if (*v++ != '.') return false;
  while (*v >= '0' && *v <= '9') at_minor = at_minor * 10 + static_cast<unsigned>(*v++ - '0');
  return at_major > major || (at_major == major && at_minor >= minor);
}

namespace {

// PyUnicode_AsUTF8AndSize joined the stable ABI in 3.10. It views a str's
// UTF-8 without copying it (an ASCII str's own bytes; other strs keep the
// UTF-8 it makes, as for any C function that takes a str as text). The
// module is built for 3.9 as well, whose stable ABI lacks it, so it is
// looked up at run time (base/process.h), and only on 3.10 and later;
// where it is not found, and for long texts that are not ASCII, the text
// is copied for the call.
using Utf8View = const char* (*)(PyObject*, Py_ssize_t*);

// The longest str that is viewed rather than copied, in characters, unless
// it is ASCII (which costs nothing to view).
constexpr Py_ssize_t kViewedLength = 16 * 1024;

// Whether `obj`, a str, is known to be ASCII. Only an exact str is asked
// (str.isascii() reads a flag), so that no override runs; any failure
// answers no.
bool known_ascii(PyObject* obj) {
  if (!PyUnicode_CheckExact(obj)) return false;
  Ref answer(PyObject_CallMethod(obj, "isascii", nullptr));
  if (!answer) {
    PyErr_Clear();
    return false;
  }
  return answer.get() == Py_True;
}

Utf8View find_utf8_view() {
  if (!interpreter_at_least(3, 10)) return nullptr;
  return reinterpret_cast<Utf8View>(find_loaded_symbol("PyUnicode_AsUTF8AndSize"));
}

// A long text to be copied is taken out of its str a slice at a time as
// code points, which CPython writes straight into a buffer of ours (no
// object made, and several times faster than its UTF-8 encoder goes
// through a str that is not ASCII), and turned into UTF-8 here. The UTF-8
// goes to one buffer, on huge pages where the system has them, sized for
// the worst case but touched only as far as it is written, and owned by a
// capsule for the call. False, with no error set, where anything fails (a
// lone surrogate, or no memory): the UTF-8 encoder then reports it as usual.
// The copy gives signal handlers their turn between slices, as the core's
// long calls do; false with the handler's exception set when one raised.
constexpr Py_ssize_t kSliceLength = 16 * 1024;  // code points
constexpr const char* kCopyName = "lumo_query.text";

// The buffer a capsule owns; freed with it.
struct TextCopy {
  char* data = nullptr;
  std::size_t capacity = 0;
  ~TextCopy() {
    if (data != nullptr) HugeAllocator<char>().deallocate(data, capacity);
  }
};

void free_text_copy(PyObject* capsule) {
  auto* copy = static_cast<TextCopy*>(PyCapsule_GetPointer(capsule, kCopyName));
  if (copy == nullptr) PyErr_Clear();
  delete copy;
}

bool copy_by_slices(PyObject* obj, Py_ssize_t length, Ref& holder, std::string_view& out) {
  std::unique_ptr<Py_UCS4[]> points(new (std::nothrow) Py_UCS4[kSliceLength]);
  std::unique_ptr<TextCopy> copy(new (std::nothrow) TextCopy);
  if (points == nullptr || copy == nullptr) return false;
  // Four bytes of UTF-8 at most for each code point.
  copy->capacity = 4 * static_cast<std::size_t>(length);
  try {
    copy->data = HugeAllocator<char>().allocate(copy->capacity);
  } catch (const std::bad_alloc&) {
    return false;
  }
  char* const utf8 = copy->data;
  Ref capsule(PyCapsule_New(copy.get(), kCopyName, free_text_copy));
  if (!capsule) {
    PyErr_Clear();
    return false;
  }
  copy.release();  // the capsule's now
  std::size_t used = 0;
  SignalCheck signals;
  InterruptPoll poll(&signals);
  for (Py_ssize_t at = 0; at < length; at += kSliceLength) {
    if (poll.tick_bytes(4 * kSliceLength)) return false;  // (an exception is pending)
    const Py_ssize_t count = std::min(kSliceLength, length - at);
    Ref slice(PyUnicode_Substring(obj, at, at + count));
    std::size_t written = 0;
    if (!slice || PyUnicode_AsUCS4(slice.get(), points.get(), kSliceLength, 0) == nullptr ||
        !utf32_to_utf8(points.get(), static_cast<std::size_t>(count), utf8 + used, written)) {
      PyErr_Clear();
      return false;
    }
    used += written;
  }
  out = std::string_view(utf8, used);
  holder = std::move(capsule);
  return true;
}

}  // namespace

bool convert_str(PyObject* obj, Ref& holder, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    set_conversion_error(obj, "PyString");
    return false;
  }
  static const Utf8View utf8_view = find_utf8_view();
  const Py_ssize_t length = PyUnicode_GetLength(obj);
  // A str that is not ASCII keeps the UTF-8 that the view makes for as long
  // as the str lives; for a long text the copy, freed after the call, costs
  // less than that. A long ASCII text is viewed: it has no copy to keep.
  if (utf8_view != nullptr && (length <= kViewedLength || known_ascii(obj))) {
    Py_ssize_t size = 0;
    const char* data = utf8_view(obj, &size);  // lone surrogates fail here
    if (data == nullptr) {
      ensure_error();
      return false;
    }
    out = std::string_view(data, static_cast<std::size_t>(size));
    holder = Ref::borrowed(obj);
    return true;
  }
  if (length > kViewedLength) {
    if (copy_by_slices(obj, length, holder, out)) return true;
    if (PyErr_Occurred()) return false;  // a signal handler's exception
  }
  Ref bytes(PyUnicode_AsUTF8String(obj));  // lone surrogates fail here
  if (!bytes) {
    ensure_error();
    return false;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
    ensure_error();
    return false;
  }
  out = std::string_view(data, static_cast<std::size_t>(size));
  holder = std::move(bytes);
  return true;
}

bool convert_bool(PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (!is_numpy_bool_type(type)) {
    set_conversion_error(obj, "PyBool");
    return false;
  }
  // The special method is looked up on the type, as the interpreter does.
  Ref method(PyObject_GetAttrString(type, "__bool__"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      ensure_error();
      return false;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 type);
    return false;
  }
  Ref result(PyObject_CallFunctionObjArgs(method.get(), obj, static_cast<PyObject*>(nullptr)));
  if (!result) {
    ensure_error();
    return false;
  }
  if (!PyBool_Check(result.get())) {
    set_conversion_error(result.get(), "PyBool");
    return false;
  }
  out = result.get() == Py_True;
  return true;
}

bool convert_str_arg(const char* name, PyObject* obj, Ref& holder, std::string_view& out) {
  if (convert_str(obj, holder, out)) return true;
  prefix_argument_error(name);
  return false;
}

bool convert_bool_arg(const char* name, PyObject* obj, bool& out) {
  if (convert_bool(obj, out)) return true;
  prefix_argument_error(name);
  return false;
}

}  // namespace lumo::py
