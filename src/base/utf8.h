// Encoding one code point as UTF-8.
//
// The lexer writes the code point of an escape into a tag, and the Python
// binding turns the code points of a str into the text the core reads; both
// encode with this one function. Checking that the code point may be
// encoded (no surrogate, nothing past U+10FFFF) is the caller's.
#pragma once

#include <cstddef>

namespace lumo {

// Writes the UTF-8 form of `c` (at most U+10FFFF, not a surrogate) at `out`,
// which has room for four bytes; returns the number of bytes written.
inline std::size_t encode_utf8(char32_t c, unsigned char* out) {
  if (c < 0x80) {
    out[0] = static_cast<unsigned char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<unsigned char>(0xc0 | (c >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (c & 0x3f));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<unsigned char>(0xe0 | (c >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3f));
    out[2] = static_cast<unsigned char>(0x80 | (c & 0x3f));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xf0 | (c >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3f));
  out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3f));
  out[3] = static_cast<unsigned char>(0x80 | (c & 0x3f));
  return 4;
}

}  // namespace lumo
