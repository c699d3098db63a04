#include "module/str_cache.h"

#include "base/random_hash.h"
#include "eval/tag_table.h"

namespace lumo::py {
namespace {

constexpr std::size_t kEntries = 4096;  // a power of two
constexpr std::size_t kMaxLength = 30;  // longer texts are made anew

struct Entry {
  PyObject* str = nullptr;  // owned
  std::uint8_t length = 0;
  char text[kMaxLength];
};

struct Cache {
  std::uint64_t seed = premix_seed(draw_hash_key());
  PyInterpreterState* owner = nullptr;
  Entry entries[kEntries];
};

Cache& cache() {
  static Cache* c = new Cache();  // lives as long as the process
  return *c;
}

}  // namespace

PyObject* cached_str(std::string_view s) {
  if (s.size() > kMaxLength) return new_str(s);
  Cache& c = cache();
  PyInterpreterState* here = PyInterpreterState_Get();
  if (c.owner == nullptr) c.owner = here;
  if (c.owner != here) return new_str(s);
  Entry& e = c.entries[hash_bytes_premixed(s.data(), s.size(), c.seed) & (kEntries - 1)];
  if (e.str != nullptr && e.length == s.size() &&
      tag_detail::same_bytes(e.text, s.data(), s.size())) {
    Py_INCREF(e.str);
    return e.str;
  }
  PyObject* made = new_str(s);
  if (made == nullptr) return nullptr;
  PyObject* old = e.str;
  Py_INCREF(made);
  e.str = made;
  e.length = static_cast<std::uint8_t>(s.size());
  tag_detail::copy_bytes(e.text, s.data(), s.size());
  Py_XDECREF(old);  // a str: freeing it runs no Python code
  return made;
}

}  // namespace lumo::py
