#include "module/str_cache.h"

namespace lumo::py::str_cache_detail {

Cache* cache_here() {
  static Cache* c = new Cache();  // lives as long as the process
  PyInterpreterState* here = PyInterpreterState_Get();
  if (c->owner == nullptr) c->owner = here;
  return c->owner == here ? c : nullptr;
}

PyObject* fill(Entry& e, std::string_view s) {
  PyObject* made = new_str(s);
  if (made == nullptr) return nullptr;
  PyObject* old = e.str;
  Py_INCREF(made);
  e.str = made;
  e.length = static_cast<std::uint8_t>(s.size());
  copy_bytes(e.text, s.data(), s.size());
  Py_XDECREF(old);  // a str: freeing it runs no Python code
  return made;
}

}  // namespace lumo::py::str_cache_detail
