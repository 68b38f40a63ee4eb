// APMPPoolAllocator: a standard allocator for the small objects that evaluation makes and drops
// at a high rate (call scopes and their first variables, return values, numbers). Freed blocks
// are kept in free lists of the thread, one per size class of 16 bytes up to
// APMPPoolLargestBlock, so that a function call or a counting step does not go to malloc. Larger
// requests, and every request in a build with AddressSanitizer (which must see each block), go to
// operator new directly.
//
// A list keeps at most a bounded number of bytes; blocks beyond it are given back at once, and
// every list of a thread is given back when the thread ends. A block freed on another thread than
// the one that made it joins that other thread's list (every block comes from operator new).
//
// Thread safety: the lists are per thread; the allocator itself has no state.
#pragma once

#include <cstddef>

inline constexpr size_t APMPPoolLargestBlock = 512;

// A block of at least `bytes` bytes, aligned for any fundamental type.
void* APMPPoolAllocate(size_t bytes);
// Gives back a block from APMPPoolAllocate() of the same size.
void APMPPoolFree(void* block, size_t bytes) noexcept;

template <typename T>
class APMPPoolAllocator {
 public:
  using value_type = T;
  APMPPoolAllocator() = default;
  template <typename U>
  APMPPoolAllocator(const APMPPoolAllocator<U>&) {
  }  // NOLINT: conversions of allocators are implicit

  T* allocate(size_t n) { return static_cast<T*>(APMPPoolAllocate(n * sizeof(T))); }
  void deallocate(T* block, size_t n) noexcept { APMPPoolFree(block, n * sizeof(T)); }

  template <typename U>
  bool operator==(const APMPPoolAllocator<U>&) const {
    return true;
  }
};
