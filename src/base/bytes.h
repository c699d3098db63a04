// Comparing and copying short byte strings without a call.
//
// Tags and names are mostly a few bytes long, and the string table and the
// binding's str cache compare and copy them on every lookup. For n up to
// sixteen these read (and write) the n bytes as two words that overlap,
// one at each end, instead of calling memcmp or memcpy; longer strings go
// to those. A build without fast paths (base/fast_paths.h) calls them for
// every length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/fast_paths.h"

namespace lumo {

namespace bytes_detail {

template <class Word>
inline Word load(const char* p) {
  Word w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Whether the n bytes (sizeof(Word) <= n <= 2 * sizeof(Word)) at x and y
// are equal, compared as the Word at each end.
template <class Word>
inline bool same_ends(const char* x, const char* y, std::size_t n) {
  return load<Word>(x) == load<Word>(y) &&
         load<Word>(x + n - sizeof(Word)) == load<Word>(y + n - sizeof(Word));
}

// Copies n bytes (sizeof(Word) <= n <= 2 * sizeof(Word)) as the Word at
// each end, which overlap.
template <class Word>
inline void copy_ends(char* dst, const char* src, std::size_t n) {
  const Word a = load<Word>(src);
  const Word b = load<Word>(src + n - sizeof(Word));
  std::memcpy(dst, &a, sizeof a);
  std::memcpy(dst + n - sizeof b, &b, sizeof b);
}

}  // namespace bytes_detail

// Whether the n bytes at x and y are equal.
inline bool same_bytes(const char* x, const char* y, std::size_t n) {
  if constexpr (!kFastPaths) return n == 0 || std::memcmp(x, y, n) == 0;
  if (n > 16) return std::memcmp(x, y, n) == 0;
  if (n >= 8) return bytes_detail::same_ends<std::uint64_t>(x, y, n);
  if (n >= 4) return bytes_detail::same_ends<std::uint32_t>(x, y, n);
  for (std::size_t i = 0; i < n; ++i)
    if (x[i] != y[i]) return false;
  return true;
}

// Copies n bytes from src to dst (not overlapping).
inline void copy_bytes(char* dst, const char* src, std::size_t n) {
  if constexpr (!kFastPaths) {
    if (n != 0) std::memcpy(dst, src, n);
  } else if (n > 16) {
    std::memcpy(dst, src, n);
  } else if (n >= 8) {
    bytes_detail::copy_ends<std::uint64_t>(dst, src, n);
  } else if (n >= 4) {
    bytes_detail::copy_ends<std::uint32_t>(dst, src, n);
  } else {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
  }
}

}  // namespace lumo
