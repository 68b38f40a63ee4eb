// Per-thread caches of small blocks: the shared blocks of fnd::Value (a reference count beside its
// string, vector or dictionary) come from here, so that building and dropping many values does not
// reach the heap allocator for each of them, and so that these blocks do not sit between the
// heap's other blocks (the buffers of those strings and vectors) and keep them from merging.
//
// Blocks of at most kMaxBlockSize bytes come in size classes of kGranule bytes, carved from slabs
// of kSlabBytes, each serving one class for all threads. A freed block joins the free list of its
// class on the freeing thread, whichever thread made it; a thread keeps at most kMaxBytesPerClass
// bytes per class and hands the rest back to their slabs. A thread's lists go back to the slabs
// when the thread exits, and a block freed on it after that goes straight to its slab. A slab whose
// blocks are all back goes to the heap, but for one empty slab per class kept for the next demand.
// So the memory held is what live values use, plus the threads' bounded lists and their slabs'
// slack. Sanitizer builds bypass all of it (kEnabled is false), so that the sanitizer sees every
// block.
//
// Thread safety: any thread may allocate and free. Each thread's lists are its own; the slabs of a
// class are shared under one mutex, taken only to move a batch of blocks or to free past the bound.
#pragma once

#include <cstddef>
#include <new>

namespace fnd {

class BlockCache {
 public:
  static constexpr size_t kGranule = 16;
  static constexpr size_t kMaxBlockSize = 128;
  static constexpr size_t kMaxBytesPerClass = 256 * 1024;
  static constexpr size_t kSlabBytes = 16 * 1024;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  static constexpr bool kEnabled = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
  static constexpr bool kEnabled = false;
#else
  static constexpr bool kEnabled = true;
#endif
#else
  static constexpr bool kEnabled = true;
#endif

  // A block of at least `size` bytes, aligned for any type new would align. Throws
  // std::bad_alloc like operator new.
  static void* allocate(size_t size);
  // Frees a block from allocate() of the same size, made on any thread.
  static void deallocate(void* block, size_t size) noexcept;

  // Blocks this thread holds in the class that serves `size` bytes (0 when size is not cached).
  static size_t cachedBlocks(size_t size);
  // Slabs the process holds for the class that serves `size` bytes.
  static size_t slabs(size_t size);
  // Hands every block this thread holds back to its slab; the cache stays usable.
  static void releaseThreadCache() noexcept;
};

// A standard allocator over BlockCache, for std::allocate_shared.
template <typename T>
class BlockCacheAllocator {
 public:
  using value_type = T;
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "blocks have new's alignment");

  BlockCacheAllocator() noexcept = default;
  template <typename U>
  BlockCacheAllocator(const BlockCacheAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(BlockCache::allocate(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept { BlockCache::deallocate(p, n * sizeof(T)); }

  friend bool operator==(const BlockCacheAllocator&, const BlockCacheAllocator&) noexcept {
    return true;
  }
};

}  // namespace fnd
