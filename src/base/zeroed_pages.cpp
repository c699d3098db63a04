#include "base/zeroed_pages.h"

#include <cstdlib>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define LUMO_HAVE_MMAP 1
#endif

namespace lumo {

namespace {

bool mapped(std::size_t bytes) {
#if defined(LUMO_HAVE_MMAP)
  return bytes >= ZeroedPages::kMapFrom;
#else
  (void)bytes;
  return false;
#endif
}

}  // namespace

ZeroedPages::ZeroedPages(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  void* p = nullptr;
  if (mapped(bytes)) {
#if defined(LUMO_HAVE_MMAP)
    p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
#endif
  } else {
    p = std::calloc(bytes, 1);
    if (p == nullptr) return;
  }
  data_ = static_cast<std::uint8_t*>(p);
  bytes_ = bytes;
}

void ZeroedPages::release() noexcept {
  if (data_ == nullptr) return;
  if (mapped(bytes_)) {
#if defined(LUMO_HAVE_MMAP)
    munmap(data_, bytes_);
#endif
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  bytes_ = 0;
}

}  // namespace lumo
