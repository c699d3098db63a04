#include "base/zeroed_pages.h"

#include <cstdlib>

#include "base/fast_paths.h"

#if LUMO_FAST_PATHS && (defined(__unix__) || defined(__APPLE__))
#include <sys/mman.h>
#define LUMO_HAVE_MMAP 1
#elif LUMO_FAST_PATHS && defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#define LUMO_HAVE_VIRTUAL_ALLOC 1
#endif

namespace lumo {

namespace {

bool mapped(std::size_t bytes) {
#if defined(LUMO_HAVE_MMAP) || defined(LUMO_HAVE_VIRTUAL_ALLOC)
  return bytes >= ZeroedPages::kMapFrom;
#else
  (void)bytes;
  return false;
#endif
}

// A mapping of `bytes` zero bytes of its own, or null.
void* map_zeroed(std::size_t bytes) {
#if defined(LUMO_HAVE_MMAP)
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
#elif defined(LUMO_HAVE_VIRTUAL_ALLOC)
  // Committed pages read as zeros and get memory when first touched.
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
  (void)bytes;
  return nullptr;
#endif
}

void unmap_zeroed(void* p, std::size_t bytes) noexcept {
#if defined(LUMO_HAVE_MMAP)
  munmap(p, bytes);
#elif defined(LUMO_HAVE_VIRTUAL_ALLOC)
  (void)bytes;
  VirtualFree(p, 0, MEM_RELEASE);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace

ZeroedPages::ZeroedPages(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  void* p = mapped(bytes) ? map_zeroed(bytes) : std::calloc(bytes, 1);
  if (p == nullptr) return;
  data_ = static_cast<std::uint8_t*>(p);
  bytes_ = bytes;
}

void ZeroedPages::release() noexcept {
  if (data_ == nullptr) return;
  if (mapped(bytes_)) {
    unmap_zeroed(data_, bytes_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  bytes_ = 0;
}

}  // namespace lumo
