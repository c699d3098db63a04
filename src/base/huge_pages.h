// Large arrays on huge pages, where the system offers them.
//
// A string table of a large graph is probed at random all over its slots;
// with the usual small pages nearly every probe also misses the TLB. An
// array of a huge page or more is therefore placed on a 2 MiB boundary
// and the system is asked (Linux's madvise(MADV_HUGEPAGE)) to back it with
// huge pages, which it does as the pages are first touched; the advice is
// taken back when the array is freed, since the allocator may hand the
// memory out again in small blocks. Smaller arrays, and every array on
// other systems, are allocated as usual; a build without fast paths
// (base/fast_paths.h) places large arrays on the boundary but asks nothing.
#pragma once

#include <cstddef>
#include <memory>
#include <memory_resource>
#include <new>

namespace lumo {

namespace huge_detail {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Arrays from this size up go on huge pages.
inline constexpr std::size_t kHugeFrom = kHugePage;

void* allocate_huge(std::size_t bytes);
void free_huge(void* p, std::size_t bytes) noexcept;

}  // namespace huge_detail

// std::allocator, but large arrays go on huge pages.
template <class T>
struct HugeAllocator {
  using value_type = T;

  HugeAllocator() = default;
  template <class U>
  HugeAllocator(const HugeAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes >= huge_detail::kHugeFrom) return static_cast<T*>(huge_detail::allocate_huge(bytes));
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes >= huge_detail::kHugeFrom) {
      huge_detail::free_huge(p, bytes);
    } else {
      std::allocator<T>().deallocate(p, n);
    }
  }
  friend bool operator==(const HugeAllocator&, const HugeAllocator&) { return true; }
};

// The upstream of a match's arena: blocks of a huge page or more go on huge
// pages, like HugeAllocator's arrays, the rest come from new. A match over a
// large graph takes arrays of a few bytes per subject; on small pages their
// first touch is most of what they cost.
std::pmr::memory_resource* huge_block_resource();

}  // namespace lumo
