#include "base/free_memory.h"

#include <cstdlib>  // defines __GLIBC__ where the C library is glibc

#include "base/fast_paths.h"

#if LUMO_FAST_PATHS && defined(__GLIBC__)
#define LUMO_HAVE_MALLOC_TRIM 1
#include <malloc.h>
#endif

namespace lumo {

void release_free_memory() {
#if defined(LUMO_HAVE_MALLOC_TRIM)
  malloc_trim(0);
#endif
}

}  // namespace lumo
