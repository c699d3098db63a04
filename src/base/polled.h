// Array algorithms that poll an interrupt as they go.
//
// The standard algorithms run to their end once called. On arrays as large as
// the input (a domain of every graph subject, the relations of a graph) that
// is a stretch of work between two polls that grows with the input, so the
// work that sorts, merges or filters such arrays goes through these instead:
// the same results, with the poll ticked every block of elements. An array
// of at most a block takes the standard algorithm, inline, and one tick
// (none for a few elements); a longer one goes out of line.
//
// Every function returns false when the poll said stop; the array is then in
// an unspecified (but valid) state and the caller abandons its work.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <functional>
#include <iterator>
#include <memory>
#include <utility>

#include "base/compiler.h"
#include "base/interrupt.h"

namespace lumo {

namespace polled_detail {

// Elements merged, compared or moved between two ticks.
inline constexpr std::size_t kBlock = InterruptPoll::kBlock;
// Runs std::sort sorts whole, with a tick after each (about 26,000 turns of
// its loops at most).
inline constexpr std::size_t kSortRun = 2048;

// The turns of std::sort over n elements, for the audit and the tick.
inline std::size_t sort_turns(std::size_t n) { return n * (1 + std::bit_width(n)); }

// Merges the sorted runs of `width` elements of [first, first + n) in
// passes, a block of elements between two ticks; false when the poll said
// stop. Equal elements keep their order.
template <class T, class Less>
LUMO_NOINLINE bool merge_runs(InterruptPoll& poll, T* first, std::size_t n, std::size_t width,
                              Less& less) {
  std::unique_ptr<T[]> scratch(new T[n]);
  T* src = first;
  T* dst = scratch.get();
  for (; width < n; width *= 2) {
    for (std::size_t lo = 0; lo < n; lo += 2 * width) {
      const std::size_t mid = std::min(lo + width, n);
      const std::size_t hi = std::min(lo + 2 * width, n);
      std::size_t i = lo, j = mid, k = lo;
      while (k < hi) {
        const std::size_t stop = std::min(hi, k + kBlock);
        audit_work(stop - k);
        // Both runs have elements left; then one of them, copied.
        for (; k < stop && i < mid && j < hi; ++k)
          dst[k] = less(src[j], src[i]) ? std::move(src[j++]) : std::move(src[i++]);
        for (; k < stop && i < mid; ++k) dst[k] = std::move(src[i++]);
        for (; k < stop; ++k) dst[k] = std::move(src[j++]);
        if (poll.tick_turns(kBlock)) return false;
      }
    }
    std::swap(src, dst);
  }
  if (src != first) {
    for (std::size_t k = 0; k < n; k += kBlock) {
      const std::size_t stop = std::min(n, k + kBlock);
      audit_work(stop - k);
      std::move(src + k, src + stop, first + k);
      if (poll.tick_turns(kBlock)) return false;
    }
  }
  return true;
}

// polled_sort() of more than kSortRun elements: std::sort on runs of
// kSortRun, then merges.
template <class T, class Less>
LUMO_NOINLINE bool sort_long(InterruptPoll& poll, T* first, std::size_t n, Less& less) {
  for (std::size_t lo = 0; lo < n; lo += kSortRun) {
    const std::size_t count = std::min(kSortRun, n - lo);
    std::sort(first + lo, first + lo + count, less);
    audit_work(sort_turns(count));
    if (poll.tick_turns(sort_turns(count))) return false;
  }
  return merge_runs(poll, first, n, kSortRun, less);
}

// Stable insertion sort of [first, first + n), for short runs; returns the
// turns its loops took.
template <class T, class Less>
std::size_t insertion_sort(T* first, std::size_t n, Less& less) {
  std::size_t turns = 0;
  for (std::size_t i = 1; i < n; ++i) {
    T x = std::move(first[i]);
    std::size_t j = i;
    for (; j > 0 && less(x, first[j - 1]); --j) first[j] = std::move(first[j - 1]);
    first[j] = std::move(x);
    turns += 1 + i - j;
  }
  audit_work(turns);
  return turns;
}

// polled_stable_sort() of more than a block: insertion sort on runs of 32,
// then merges.
template <class T, class Less>
LUMO_NOINLINE bool stable_sort_long(InterruptPoll& poll, T* first, std::size_t n, Less& less) {
  constexpr std::size_t kRun = 32;
  for (std::size_t lo = 0; lo < n; lo += kRun) {
    if (poll.tick_turns(insertion_sort(first + lo, std::min(kRun, n - lo), less))) return false;
  }
  return merge_runs(poll, first, n, kRun, less);
}

template <class Vector>
LUMO_NOINLINE bool unique_long(InterruptPoll& poll, Vector& v) {
  std::size_t out = 1;
  if (!poll.for_each_block(v.size(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo > 0 ? lo : 1; i < hi; ++i) {
          if (!(v[i] == v[out - 1])) {
            if (out != i) v[out] = std::move(v[i]);
            ++out;
          }
        }
      })) {
    return false;
  }
  v.erase(v.begin() + static_cast<std::ptrdiff_t>(out), v.end());
  return true;
}

template <class VectorA, class VectorB, class Out>
LUMO_NOINLINE bool intersection_long(InterruptPoll& poll, const VectorA& a, const VectorB& b,
                                     Out& out) {
  std::size_t i = 0, j = 0;
  std::size_t turns = 0;
  while (i < a.size() && j < b.size()) {
    audit_work();
    if (++turns == kBlock) {
      turns = 0;
      if (poll.tick_turns(kBlock)) return false;
    }
    if (a[i] < b[j]) {
      ++i;
    } else if (b[j] < a[i]) {
      ++j;
    } else {
      out.push_back(a[i]);
      ++i;
      ++j;
    }
  }
  return true;
}

}  // namespace polled_detail

// Sorts [first, first + n) by `less`; equal elements end in any order.
template <class T, class Less>
LUMO_ALWAYS_INLINE bool polled_sort(InterruptPoll& poll, T* first, std::size_t n, Less less) {
  if (n < InterruptPoll::kTurnsPerUnit) {
    // What std::sort does with so few (an insertion sort, which gives the
    // same order), without its calls. A few elements weigh nothing beside
    // the turn of the loop around them.
    (void)polled_detail::insertion_sort(first, n, less);
    return !poll.stopped();
  }
  if (n > polled_detail::kSortRun) [[unlikely]]
    return polled_detail::sort_long(poll, first, n, less);
  std::sort(first, first + n, less);
  audit_work(polled_detail::sort_turns(n));
  return !poll.tick_done(polled_detail::sort_turns(n));
}

template <class Vector, class Less>
LUMO_ALWAYS_INLINE bool polled_sort(InterruptPoll& poll, Vector& v, Less less) {
  return polled_sort(poll, v.data(), v.size(), less);
}

template <class Vector>
LUMO_ALWAYS_INLINE bool polled_sort(InterruptPoll& poll, Vector& v) {
  return polled_sort(poll, v.data(), v.size(), std::less<>());
}

// Sorts [first, first + n) by `less`, keeping equal elements in their order.
template <class T, class Less>
LUMO_ALWAYS_INLINE bool polled_stable_sort(InterruptPoll& poll, T* first, std::size_t n,
                                          Less less) {
  if (n > polled_detail::kBlock) [[unlikely]]
    return polled_detail::stable_sort_long(poll, first, n, less);
  return !poll.tick_done(polled_detail::insertion_sort(first, n, less));
}

// Keeps the elements of `v` for which `keep` holds, in their order.
template <class Vector, class Keep>
bool polled_keep_if(InterruptPoll& poll, Vector& v, Keep keep) {
  std::size_t out = 0;
  if (!poll.for_each_block(v.size(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) {
          if (keep(v[i])) {
            if (out != i) v[out] = std::move(v[i]);
            ++out;
          }
        }
      })) {
    return false;
  }
  v.erase(v.begin() + static_cast<std::ptrdiff_t>(out), v.end());
  return true;
}

// Removes the repeats of a sorted `v`.
template <class Vector>
LUMO_ALWAYS_INLINE bool polled_unique(InterruptPoll& poll, Vector& v) {
  if (v.size() > polled_detail::kBlock) [[unlikely]]
    return polled_detail::unique_long(poll, v);
  const std::size_t turns = v.size();
  audit_work(turns);
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return !poll.tick_done(turns);
}

// Appends to `out` the elements of sorted `a` that sorted `b` holds too.
template <class VectorA, class VectorB, class Out>
LUMO_ALWAYS_INLINE bool polled_intersection(InterruptPoll& poll, const VectorA& a, const VectorB& b,
                                           Out& out) {
  if (a.size() + b.size() > polled_detail::kBlock) [[unlikely]]
    return polled_detail::intersection_long(poll, a, b, out);
  audit_work(a.size() + b.size());
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return !poll.tick_done(a.size() + b.size());
}

}  // namespace lumo
