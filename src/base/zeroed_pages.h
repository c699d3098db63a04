// Large arrays that start as zeros and are cleared page by page, by the
// system, as they are first touched.
//
// calloc() promises the zeros but not that laziness: a block it serves from
// memory the allocator kept (as it does for blocks under its mapping
// threshold, which rises as large blocks are freed) is cleared in full at
// once. A match's memo of a million pairs that visits a handful of them
// would pay for clearing all of them, call after call. Arrays of 256 KiB
// and more therefore come straight from the system, as a mapping of their
// own, where there is one (mmap, or VirtualAlloc on Windows); smaller ones,
// which clear faster than a mapping is made and dropped, and all of them
// elsewhere (and in a build without fast paths, base/fast_paths.h), from
// calloc().
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumo {

class ZeroedPages {
 public:
  ZeroedPages() = default;
  // `bytes` zero bytes; data() is null when the system refuses them.
  explicit ZeroedPages(std::size_t bytes);
  ZeroedPages(const ZeroedPages&) = delete;
  ZeroedPages& operator=(const ZeroedPages&) = delete;
  ZeroedPages(ZeroedPages&& other) noexcept
      : data_(other.data_), bytes_(other.bytes_) {
    other.data_ = nullptr;
    other.bytes_ = 0;
  }
  ZeroedPages& operator=(ZeroedPages&& other) noexcept {
    if (this != &other) {
      release();
      data_ = other.data_;
      bytes_ = other.bytes_;
      other.data_ = nullptr;
      other.bytes_ = 0;
    }
    return *this;
  }
  ~ZeroedPages() { release(); }

  std::uint8_t* data() const { return data_; }

  static constexpr std::size_t kMapFrom = std::size_t{256} << 10;

 private:
  void release() noexcept;

  std::uint8_t* data_ = nullptr;
  std::size_t bytes_ = 0;
};

}  // namespace lumo
