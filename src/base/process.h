// Calls on the running process that only some systems have, each with a
// plain answer where the system has no such call.
//
// The Python module uses these; the core does not. A build without fast
// paths (base/fast_paths.h) finds no symbols, as a system without a dynamic
// symbol lookup would.
#pragma once

#include "base/fast_paths.h"

#if defined(__unix__) || defined(__APPLE__)
#include <dlfcn.h>
#include <unistd.h>
#define LUMO_HAVE_POSIX_PROCESS 1
#else
#define LUMO_HAVE_POSIX_PROCESS 0
#endif

namespace lumo {

// The address of `name` among the symbols of everything the process has
// loaded, or null where it has none, or where there is no way to ask.
inline void* find_loaded_symbol(const char* name) {
#if LUMO_FAST_PATHS && LUMO_HAVE_POSIX_PROCESS
  return dlsym(RTLD_DEFAULT, name);
#else
  (void)name;
  return nullptr;
#endif
}

// Whether the process has file descriptors to write to.
inline constexpr bool kHaveDescriptors = LUMO_HAVE_POSIX_PROCESS != 0;

// Writes one byte to descriptor `fd` where kHaveDescriptors; true when it
// was written.
inline bool write_byte(int fd, char byte) {
#if LUMO_HAVE_POSIX_PROCESS
  return write(fd, &byte, 1) == 1;
#else
  (void)fd;
  (void)byte;
  return false;
#endif
}

}  // namespace lumo
