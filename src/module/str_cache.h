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

#include "module/py.h"

namespace lumo::py {

// A new reference to a str of the UTF-8 text `s`, from the cache when it
// holds one; null with an exception set on failure.
PyObject* cached_str(std::string_view s);

}  // namespace lumo::py
