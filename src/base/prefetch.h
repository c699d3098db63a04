// Asking for a cache line before it is needed.
//
// A large table's lookups wait on loads from memory, one after the other;
// asking for the next few lines ahead lets the processor overlap them. A
// prefetch is only a hint: where the compiler has no way to give it (and in
// a build without fast paths, base/fast_paths.h), it does nothing and the code is as right, only slower on large tables.
#pragma once

#include "base/fast_paths.h"

#if !LUMO_FAST_PATHS
// No prefetches: the hint is dropped.
#elif defined(__GNUC__)
// GCC and Clang: __builtin_prefetch, no header.
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#elif defined(_MSC_VER) && defined(_M_ARM64)
#include <intrin.h>
#endif

namespace lumo {

namespace prefetch_detail {

// kWrite: 0 for a line about to be read, 1 for one about to be written.
template <int kWrite>
inline void line(const void* p) {
#if !LUMO_FAST_PATHS
  (void)p;
#elif defined(__GNUC__)
  __builtin_prefetch(p, kWrite, 3);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#elif defined(_MSC_VER) && defined(_M_ARM64)
  __prefetch(p);
#else
  (void)p;
#endif
}

}  // namespace prefetch_detail

// The line holding `p`, for reading.
inline void prefetch_read(const void* p) { prefetch_detail::line<0>(p); }

// The line holding `p`, about to be written.
inline void prefetch_write(const void* p) { prefetch_detail::line<1>(p); }

}  // namespace lumo
