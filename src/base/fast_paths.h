// Whether this build takes the core's fast paths.
//
// The core has a fast way and a plain way for a few things: huge pages
// for large arrays, large zeroed arrays mapped from the system, prefetches,
// scans and compares a word (or sixteen bytes) at a time, the 128-bit
// multiply of the compiler, a reader
// workspace kept per thread, and the interpreter's own UTF-8 view in the
// module. Each fast way is used only where the platform has it; the plain
// way is what every other platform runs. A build with LUMO_PORTABLE defined
// to a non-zero value (CMake: -DLUMO_PORTABLE=ON) takes the plain way
// everywhere, so that the test suites exercise what a platform without any
// of these gets. Answers are the same either way; only the speed differs.
//
// Code that has a fast path tests LUMO_FAST_PATHS in the preprocessor or
// kFastPaths in C++, next to its own platform check.
#pragma once

#if defined(LUMO_PORTABLE) && LUMO_PORTABLE
#define LUMO_FAST_PATHS 0
#else
#define LUMO_FAST_PATHS 1
#endif

#include <bit>

namespace lumo {

inline constexpr bool kFastPaths = LUMO_FAST_PATHS != 0;

// Byte order: the stored forms and the hashes are defined little-endian,
// and code that reads native words says which order it assumes. A machine
// of mixed order is refused here rather than read wrongly.
static_assert(std::endian::native == std::endian::little ||
                  std::endian::native == std::endian::big,
              "the core reads words in little- or big-endian order only");

}  // namespace lumo
