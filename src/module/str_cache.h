// Recently made str objects for short texts.
//
// collect_tags() turns every tag of a graph into a str, and a loop over
// database rows meets the same few hundred tags again and again; making
// each str anew is most of that call's time. The cache is direct-mapped by
// a hash of the text: a hit hands out another reference to the str made
// before, a miss makes one and keeps it in place of the entry's old one.
// Strs are immutable, so sharing one between lists changes nothing a caller
// can see but object identity. The cache serves the interpreter that filled
// it and makes strs anew for any other, and it never holds more than its
// few thousand short strs. Entry points hold the interpreter lock, which
// guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/bytes.h"
#include "base/random_hash.h"
#include "module/py.h"

namespace lumo::py {

namespace str_cache_detail {

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

// The cache, or null when another interpreter filled it.
Cache* cache_here();

// Makes the str for `s` and keeps it in `e`.
PyObject* fill(Entry& e, std::string_view s);

}  // namespace str_cache_detail

// Makes strs through the cache; one serves a whole list, so the check of
// the interpreter is made once.
class StrMaker {
 public:
  StrMaker() : cache_(str_cache_detail::cache_here()) {}

  // A new reference to a str of the UTF-8 text `s`; null with an exception
  // set on failure.
  PyObject* operator()(std::string_view s) {
    if (cache_ == nullptr || s.size() > str_cache_detail::kMaxLength) return new_str(s);
    str_cache_detail::Entry& e =
        cache_->entries[hash_bytes_premixed(s.data(), s.size(), cache_->seed) &
                        (str_cache_detail::kEntries - 1)];
    if (e.str != nullptr && e.length == s.size() &&
        same_bytes(e.text, s.data(), s.size())) {
      Py_INCREF(e.str);
      return e.str;
    }
    return str_cache_detail::fill(e, s);
  }

 private:
  str_cache_detail::Cache* cache_;
};

}  // namespace lumo::py
