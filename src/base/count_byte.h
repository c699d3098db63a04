// Counting one byte value in a buffer, eight bytes at a time.
//
// The reader counts the lines of a large text before it reads it, to size
// its arrays. Each word of eight bytes goes through a word trick that marks
// the bytes equal to the value exactly; the marks are summed in byte lanes,
// gathered every 255 words. That is a few operations per word whatever the
// bytes are, with no branch on a match, where finding each line end with
// memchr pays a call and its setup per line: graph texts have short lines,
// and there the count wins. No benchmark times this pass alone (bench.py
// sections a and b time whole reads of large texts, which include it); to
// weigh it against memchr, time count_byte(p, n, '\n') and a memchr loop
// over a text from `python3 bench/textgen.py graph --mb 100`. A build
// without fast paths (base/fast_paths.h) counts byte by byte.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/fast_paths.h"

namespace lumo {

// One byte at a time.
inline std::size_t count_byte_plain(const char* p, std::size_t n, char value) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) count += p[i] == value;
  return count;
}

// Eight bytes at a time. Always compiled, so that tests can compare it with
// count_byte_plain() in any build.
inline std::size_t count_byte_words(const char* p, std::size_t n, char value) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7fu;
  const std::uint64_t spread = kOnes * static_cast<unsigned char>(value);
  std::size_t count = 0;
  std::size_t i = 0;
  while (n - i >= 8) {
    // Each byte lane counts up to 255 matches before the lanes are summed.
    std::uint64_t lanes = 0;
    const std::size_t words = std::min<std::size_t>((n - i) / 8, 255);
    for (std::size_t k = 0; k < words; ++k, i += 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, sizeof w);
      const std::uint64_t x = w ^ spread;                       // zero where the byte matches
      const std::uint64_t nonzero = ((x & kLow7) + kLow7) | x;  // top bit set where it does not
      lanes += (~nonzero & ~kLow7) >> 7;
    }
    // Pairs of byte lanes summed into 16-bit lanes, then the four of those
    // summed into the top one by a multiply.
    lanes = (lanes & 0x00ff00ff00ff00ffu) + ((lanes >> 8) & 0x00ff00ff00ff00ffu);
    count += static_cast<std::size_t>((lanes * 0x0001000100010001u) >> 48);
  }
  for (; i < n; ++i) count += p[i] == value;
  return count;
}

inline std::size_t count_byte(const char* p, std::size_t n, char value) {
  if constexpr (kFastPaths) return count_byte_words(p, n, value);
  return count_byte_plain(p, n, value);
}

}  // namespace lumo
