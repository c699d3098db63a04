// UTF-32 to UTF-8, for texts that arrive as code points.
//
// The Python binding copies a long text that is not ASCII out of its str a
// slice at a time as code points (CPython widens its own storage into a
// buffer of ours, with no object made), and turns them into UTF-8 here.
// Runs of ASCII, the bulk of most texts, go eight code points at a time
// with SSE2 (one at a time elsewhere, and in a build without fast paths). A surrogate code point, which a str
// may hold but UTF-8 may not, stops the conversion.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/fast_paths.h"
#include "base/utf8.h"

#if LUMO_FAST_PATHS && defined(__SSE2__)
#include <emmintrin.h>
#define LUMO_UTF32_SSE2 1
#endif

namespace lumo {

// Writes the UTF-8 of the `n` code points at `p` to `out`, which has room
// for four bytes a code point, and sets `written`. False, with `written`
// unset, when a code point is a surrogate (U+D800..U+DFFF) or past U+10FFFF.
inline bool utf32_to_utf8(const std::uint32_t* p, std::size_t n, char* out, std::size_t& written) {
  auto* o = reinterpret_cast<unsigned char*>(out);
  std::size_t i = 0;
  while (i < n) {
#if defined(LUMO_UTF32_SSE2)
    // Eight code points below 0x80 at once, narrowed to bytes.
    const __m128i high = _mm_set1_epi32(~0x7f);
    while (n - i >= 8) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 4));
      if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(_mm_or_si128(a, b), high),
                                            _mm_setzero_si128())) != 0xffff)
        break;
      const __m128i words = _mm_packs_epi32(a, b);  // values below 0x80 pack exactly
      _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(words, words));
      i += 8;
      o += 8;
    }
    if (i == n) break;
#endif
    const std::uint32_t c = p[i++];
    if ((c >= 0xd800 && c < 0xe000) || c >= 0x110000) return false;
    o += encode_utf8(static_cast<char32_t>(c), o);
  }
  written = static_cast<std::size_t>(o - reinterpret_cast<unsigned char*>(out));
  return true;
}

}  // namespace lumo
