// UTF-16 to UTF-8, for texts that arrive as UTF-16.
//
// The Python binding takes a long text that is not ASCII through CPython's
// UTF-16 encoder, which copies code units several times faster than its
// UTF-8 encoder goes through characters, and turns the units into UTF-8
// here. The input is valid UTF-16 (the encoder refuses lone surrogates), in
// native byte order, read as bytes so that it needs no alignment. Runs of
// ASCII, the bulk of most texts, go eight units at a time with SSE2 (four
// elsewhere).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumo {

namespace utf16_detail {

inline constexpr std::uint64_t kNotAscii = 0xff80ff80ff80ff80u;  // per unit: >= 0x80

inline std::uint64_t load4(const unsigned char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

inline std::uint16_t load1(const unsigned char* p) {
  std::uint16_t u;
  std::memcpy(&u, p, sizeof u);
  return u;
}

// The length of the run of ASCII units at p, up to `units`, counted in
// whole blocks: the rest is left to the unit-by-unit path.
inline std::size_t ascii_run(const unsigned char* p, std::size_t units) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i high = _mm_set1_epi16(static_cast<short>(0xff80));
  const __m128i zero = _mm_setzero_si128();
  for (; i + 8 <= units; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, high), zero)) != 0xffff) return i;
  }
#endif
  for (; i + 4 <= units; i += 4)
    if ((load4(p + 2 * i) & kNotAscii) != 0) return i;
  return i;
}

// Writes the `n` ASCII units at p (n from ascii_run) as bytes to o.
inline void narrow_ascii(const unsigned char* p, std::size_t n, unsigned char* o) {
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 8 <= n; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * i));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + i), _mm_packus_epi16(v, v));
  }
#endif
  for (; i < n; ++i) o[i] = static_cast<unsigned char>(load1(p + 2 * i));
}

inline bool high_surrogate(std::uint16_t u) { return u >= 0xd800 && u < 0xdc00; }
inline bool low_surrogate(std::uint16_t u) { return u >= 0xdc00 && u < 0xe000; }

}  // namespace utf16_detail

// Writes the UTF-8 of the `units` code units at `p` to `out`, which has room
// for three bytes a unit, and returns how many bytes it wrote.
inline std::size_t utf16_to_utf8(const unsigned char* p, std::size_t units, char* out) {
  using namespace utf16_detail;
  auto* o = reinterpret_cast<unsigned char*>(out);
  std::size_t i = 0;
  while (i < units) {
    const std::size_t run = ascii_run(p + 2 * i, units - i);
    narrow_ascii(p + 2 * i, run, o);
    i += run;
    o += run;
    if (i == units) break;
    std::uint32_t c = load1(p + 2 * i);
    if (high_surrogate(static_cast<std::uint16_t>(c)) && i + 1 < units &&
        low_surrogate(load1(p + 2 * i + 2))) {
      c = 0x10000 + ((c - 0xd800) << 10) + (load1(p + 2 * i + 2) - 0xdc00u);
      ++i;
    }
    ++i;
    if (c < 0x80) {
      *o++ = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
      *o++ = static_cast<unsigned char>(0xc0 | (c >> 6));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
      *o++ = static_cast<unsigned char>(0xe0 | (c >> 12));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3f));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3f));
    } else {
      *o++ = static_cast<unsigned char>(0xf0 | (c >> 18));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3f));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3f));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3f));
    }
  }
  return static_cast<std::size_t>(o - reinterpret_cast<unsigned char*>(out));
}

}  // namespace lumo
