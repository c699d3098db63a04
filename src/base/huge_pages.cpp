#include "base/huge_pages.h"

#include "base/fast_paths.h"

#if LUMO_FAST_PATHS && defined(__linux__)
#include <sys/mman.h>
#endif

namespace lumo::huge_detail {

void* allocate_huge(std::size_t bytes) {
  void* p = ::operator new(bytes, std::align_val_t{kHugePage});
#if LUMO_FAST_PATHS && defined(__linux__) && defined(MADV_HUGEPAGE)
  // Only whole huge pages of the array itself; a refusal leaves small pages.
  madvise(p, bytes & ~(kHugePage - 1), MADV_HUGEPAGE);
#endif
  return p;
}

void free_huge(void* p, std::size_t bytes) noexcept {
#if LUMO_FAST_PATHS && defined(__linux__) && defined(MADV_NOHUGEPAGE)
  // The allocator may keep the memory for smaller blocks; the system should
  // not gather those into huge pages for us (which could grow the process
  // by a huge page for each small block in use there).
  madvise(p, bytes & ~(kHugePage - 1), MADV_NOHUGEPAGE);
#else
  (void)bytes;
#endif
  ::operator delete(p, std::align_val_t{kHugePage});
}

}  // namespace lumo::huge_detail

namespace lumo {

namespace {

class HugeBlockResource final : public std::pmr::memory_resource {
  void* do_allocate(std::size_t bytes, std::size_t align) override {
    if (bytes >= huge_detail::kHugeFrom && align <= huge_detail::kHugePage)
      return huge_detail::allocate_huge(bytes);
    return ::operator new(bytes, std::align_val_t{align});
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t align) override {
    if (bytes >= huge_detail::kHugeFrom && align <= huge_detail::kHugePage) {
      huge_detail::free_huge(p, bytes);
    } else {
      ::operator delete(p, bytes, std::align_val_t{align});
    }
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }
};

}  // namespace

std::pmr::memory_resource* huge_block_resource() {
  static HugeBlockResource resource;
  return &resource;
}

}  // namespace lumo
