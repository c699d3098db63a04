// Sixteen bytes of a bare tag classed at once, where the processor has the
// vector instructions for it (SSE2).
//
// LUMO_HAVE_ASCII_CHUNK is 1 where class_ascii_chunk() exists; elsewhere,
// and in a build without fast paths (base/fast_paths.h), the lexer scans a
// byte at a time.
#pragma once

#include "base/fast_paths.h"

#if LUMO_FAST_PATHS && defined(__SSE2__)
#include <emmintrin.h>
#define LUMO_HAVE_ASCII_CHUNK 1
#else
#define LUMO_HAVE_ASCII_CHUNK 0
#endif

#if LUMO_HAVE_ASCII_CHUNK

namespace lumo {

// Bit k of `stop` is set when byte k is not an ASCII tag character: not a
// letter, digit, apostrophe, low line, space or hyphen (bytes from 0x80 on
// included); of `high` when byte k is 0x80 or more; of `spaces` when it is a
// space.
struct AsciiChunk {
  unsigned stop, high, spaces;
};

// The sixteen bytes at p, which may be unaligned.
inline AsciiChunk class_ascii_chunk(const char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // x in [lo, lo + count) as signed bytes: x + (0x80 - lo) < -128 + count.
  const auto in_range = [](__m128i x, char lo, int count) {
    const __m128i shifted = _mm_add_epi8(x, _mm_set1_epi8(static_cast<char>(0x80 - lo)));
    return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(-128 + count)));
  };
  const __m128i letter = in_range(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 26);
  const __m128i digit = in_range(v, '0', 10);
  const __m128i space = _mm_cmpeq_epi8(v, _mm_set1_epi8(' '));
  const __m128i marks =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\'')),
                                _mm_cmpeq_epi8(v, _mm_set1_epi8('_'))),
                   _mm_or_si128(space, _mm_cmpeq_epi8(v, _mm_set1_epi8('-'))));
  const __m128i ok = _mm_or_si128(_mm_or_si128(letter, digit), marks);
  return {~static_cast<unsigned>(_mm_movemask_epi8(ok)) & 0xffffu,
          static_cast<unsigned>(_mm_movemask_epi8(v)),
          static_cast<unsigned>(_mm_movemask_epi8(space))};
}

}  // namespace lumo

#endif
