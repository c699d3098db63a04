// ChunkedVector: an append-only sequence stored in fixed-size chunks.
//
// Growing never moves or copies the elements already stored, and every
// chunk is small enough for the allocator to serve from (and return to) its
// ordinary heap, so large documents do not turn into one huge block that is
// mapped, faulted in and unmapped again on every parse. Indexing costs a
// shift and a mask.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace lumo {

template <class T, unsigned ChunkBits = 10>
class ChunkedVector {
 public:
  ChunkedVector() = default;
  ChunkedVector(ChunkedVector&& o) noexcept
      : chunks_(std::move(o.chunks_)), size_(std::exchange(o.size_, 0)) {}
  ChunkedVector& operator=(ChunkedVector&& o) noexcept {
    if (this != &o) {
      clear();
      chunks_ = std::move(o.chunks_);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  ChunkedVector(const ChunkedVector&) = delete;
  ChunkedVector& operator=(const ChunkedVector&) = delete;
  ~ChunkedVector() { clear(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  T& operator[](std::size_t i) { return chunk(i >> ChunkBits)[i & kMask]; }
  const T& operator[](std::size_t i) const { return chunk(i >> ChunkBits)[i & kMask]; }
  T& back() { return (*this)[size_ - 1]; }
  const T& back() const { return (*this)[size_ - 1]; }

  template <class... Args>
  T& emplace_back(Args&&... args) {
    if ((size_ & kMask) == 0 && (size_ >> ChunkBits) == chunks_.size()) {
      chunks_.emplace_back(static_cast<Slot*>(::operator new(sizeof(Slot) * kChunk)));
    }
    T* p = ::new (static_cast<void*>(&chunk(size_ >> ChunkBits)[size_ & kMask]))
        T(std::forward<Args>(args)...);
    ++size_;
    return *p;
  }
  void push_back(T&& v) { emplace_back(std::move(v)); }
  void push_back(const T& v) { emplace_back(v); }

  // Destroys every element; the chunks are released too.
  void clear() {
    for (std::size_t i = 0; i < size_; ++i) (*this)[i].~T();
    size_ = 0;
    chunks_.clear();
  }

 private:
  static constexpr std::size_t kChunk = std::size_t{1} << ChunkBits;
  static constexpr std::size_t kMask = kChunk - 1;
  struct alignas(T) Slot {
    unsigned char bytes[sizeof(T)];
  };
  struct Free {
    void operator()(Slot* p) const { ::operator delete(p); }
  };

  T* chunk(std::size_t c) { return std::launder(reinterpret_cast<T*>(chunks_[c].get())); }
  const T* chunk(std::size_t c) const {
    return std::launder(reinterpret_cast<const T*>(chunks_[c].get()));
  }

  std::vector<std::unique_ptr<Slot, Free>> chunks_;
  std::size_t size_ = 0;
};

}  // namespace lumo
