#include "platform/foundation/block_cache.h"

#include <pthread.h>

#include <cstdint>
#include <mutex>
#include <type_traits>

namespace fnd {

namespace {

constexpr size_t kClasses = BlockCache::kMaxBlockSize / BlockCache::kGranule;
// Blocks moved between a thread's list and the shared slabs under one lock.
constexpr size_t kBatch = 64;
// Empty slabs a class keeps for the next demand; further ones go back to the heap.
constexpr size_t kEmptySlabsKept = 1;

// The class of a size from 1 to kMaxBlockSize, and the size every block of a class has.
constexpr size_t classOf(size_t size) { return (size - 1) / BlockCache::kGranule; }
constexpr size_t classSize(size_t c) { return (c + 1) * BlockCache::kGranule; }
constexpr uint32_t maxBlocks(size_t c) {
  return static_cast<uint32_t>(BlockCache::kMaxBytesPerClass / classSize(c));
}

struct FreeBlock {
  FreeBlock* next;
};

// The head of a slab; its blocks follow. Slabs are aligned to their size, so a block finds its
// slab by masking its address.
struct Slab {
  Slab* prev;  // Links among the class's slabs that have free blocks.
  Slab* next;
  FreeBlock* free;  // Blocks back in the slab.
  uint32_t freeCount;
  uint32_t capacity;
  bool listed;  // Whether it is among the slabs with free blocks.
};
constexpr size_t kSlabHeader =
    (sizeof(Slab) + BlockCache::kGranule - 1) / BlockCache::kGranule * BlockCache::kGranule;
static_assert(BlockCache::kSlabBytes % BlockCache::kGranule == 0 &&
                  (BlockCache::kSlabBytes & (BlockCache::kSlabBytes - 1)) == 0,
              "slabs are a power of two, found by masking");

Slab* slabOf(const void* block) {
  return reinterpret_cast<Slab*>(reinterpret_cast<uintptr_t>(block) &
                                 ~uintptr_t{BlockCache::kSlabBytes - 1});
}

// The slabs of one class, shared by all threads.
struct SharedSlabs {
  std::mutex mutex;
  // Guarded by mutex.
  Slab* withFree = nullptr;  // Slabs with at least one free block.
  size_t emptySlabs = 0;     // Listed slabs whose every block is free.
  size_t slabs = 0;          // All slabs of the class.
};

// Constant-initialised and trivially destructible: no guard that a fork could catch half-taken,
// and still usable while the process ends, when values are freed to the last.
constinit SharedSlabs gSharedSlabs[kClasses];
static_assert(std::is_trivially_destructible_v<SharedSlabs>, "the slabs outlive every value");

SharedSlabs& sharedSlabs(size_t c) { return gSharedSlabs[c]; }

// A child made by fork() must not inherit a lock that another thread of the parent held: every
// class is locked across the fork. The handlers are registered while the program loads, before it
// has threads.
void lockAllForFork() {
  for (SharedSlabs& s : gSharedSlabs) s.mutex.lock();
}
void unlockAllAfterFork() {
  for (size_t c = kClasses; c-- > 0;) gSharedSlabs[c].mutex.unlock();
}
[[maybe_unused]] const bool gForkHandlersRegistered =
    pthread_atfork(lockAllForFork, unlockAllAfterFork, unlockAllAfterFork) == 0;

// REQUIRES: s.mutex held, for this and the helpers below.
void link(SharedSlabs& s, Slab* slab) {
  slab->prev = nullptr;
  slab->next = s.withFree;
  if (s.withFree) s.withFree->prev = slab;
  s.withFree = slab;
  slab->listed = true;
}

void unlink(SharedSlabs& s, Slab* slab) {
  if (slab->prev) {
    slab->prev->next = slab->next;
  } else {
    s.withFree = slab->next;
  }
  if (slab->next) slab->next->prev = slab->prev;
  slab->listed = false;
}

// A free block of class c, from a new slab when no slab has one.
FreeBlock* takeShared(SharedSlabs& s, size_t c) {
  Slab* slab = s.withFree;
  if (!slab) {
    void* memory =
        ::operator new (BlockCache::kSlabBytes, std::align_val_t{BlockCache::kSlabBytes});
    slab = new (memory) Slab{};
    const size_t size = classSize(c);
    slab->capacity = static_cast<uint32_t>((BlockCache::kSlabBytes - kSlabHeader) / size);
    char* first = static_cast<char*>(memory) + kSlabHeader;
    for (size_t i = slab->capacity; i-- > 0;) {
      auto* block = reinterpret_cast<FreeBlock*>(first + i * size);
      block->next = slab->free;
      slab->free = block;
    }
    slab->freeCount = slab->capacity;
    ++s.slabs;
    ++s.emptySlabs;
    link(s, slab);
  }
  if (slab->freeCount == slab->capacity) --s.emptySlabs;
  FreeBlock* block = slab->free;
  slab->free = block->next;
  if (--slab->freeCount == 0) unlink(s, slab);
  return block;
}

// Puts a block back in its slab; a slab left empty goes back to the heap unless the class keeps it.
void giveShared(SharedSlabs& s, FreeBlock* block) {
  Slab* slab = slabOf(block);
  block->next = slab->free;
  slab->free = block;
  if (!slab->listed) link(s, slab);
  if (++slab->freeCount < slab->capacity) return;
  if (s.emptySlabs < kEmptySlabsKept) {
    ++s.emptySlabs;
    return;
  }
  unlink(s, slab);
  --s.slabs;
  ::operator delete (slab, std::align_val_t{BlockCache::kSlabBytes});
}

enum class ListsState : uint8_t {
  kUnused,  // Nothing cached yet; the release at thread exit is not registered.
  kLive,    // Registered for release at thread exit.
  kGone,    // Released at thread exit: blocks go straight to their slabs.
};

// Constant-initialised and trivially destructible, so that reaching it costs no guard.
struct ThreadLists {
  FreeBlock* heads[kClasses];
  uint32_t counts[kClasses];
  ListsState state;
};
constinit thread_local ThreadLists tLists{};

// Its destructor hands the lists back when the thread exits. It is touched when the thread first
// holds a block, which registers that destructor.
struct ThreadRelease {
  bool armed = false;
  ~ThreadRelease() {
    BlockCache::releaseThreadCache();
    tLists.state = ListsState::kGone;
  }
};
thread_local ThreadRelease tRelease;

void arm(ThreadLists& lists) {
  tRelease.armed = true;
  lists.state = ListsState::kLive;
}

// Moves up to `count` blocks of class c from the thread's list back to their slabs.
void flush(ThreadLists& lists, size_t c, size_t count) {
  SharedSlabs& s = sharedSlabs(c);
  std::lock_guard lock(s.mutex);
  for (; count > 0 && lists.heads[c]; --count) {
    FreeBlock* block = lists.heads[c];
    lists.heads[c] = block->next;
    --lists.counts[c];
    giveShared(s, block);
  }
}

// A block of class c when the thread's list is empty; a live list takes a batch more.
[[gnu::noinline]] void* refill(ThreadLists& lists, size_t c) {
  if (lists.state == ListsState::kUnused) arm(lists);
  SharedSlabs& s = sharedSlabs(c);
  std::lock_guard lock(s.mutex);
  void* block = takeShared(s, c);
  if (lists.state != ListsState::kLive) return block;
  for (size_t i = 1; i < kBatch; ++i) {
    FreeBlock* more = takeShared(s, c);
    more->next = lists.heads[c];
    lists.heads[c] = more;
    ++lists.counts[c];
  }
  return block;
}

[[gnu::noinline]] void deallocateSlow(ThreadLists& lists, void* block, size_t c) {
  if (lists.state == ListsState::kUnused) arm(lists);
  if (lists.state == ListsState::kLive) {
    auto* free = static_cast<FreeBlock*>(block);
    free->next = lists.heads[c];
    lists.heads[c] = free;
    ++lists.counts[c];
    if (lists.counts[c] > maxBlocks(c)) flush(lists, c, kBatch);
    return;
  }
  SharedSlabs& s = sharedSlabs(c);
  std::lock_guard lock(s.mutex);
  giveShared(s, static_cast<FreeBlock*>(block));
}

}  // namespace

void* BlockCache::allocate(size_t size) {
  if (kEnabled && size - 1 < kMaxBlockSize) {
    const size_t c = classOf(size);
    ThreadLists& lists = tLists;
    if (FreeBlock* block = lists.heads[c]) {
      lists.heads[c] = block->next;
      --lists.counts[c];
      return block;
    }
    return refill(lists, c);
  }
  return ::operator new(size);
}

void BlockCache::deallocate(void* block, size_t size) noexcept {
  if (kEnabled && size - 1 < kMaxBlockSize) {
    const size_t c = classOf(size);
    ThreadLists& lists = tLists;
    if (lists.state == ListsState::kLive && lists.counts[c] < maxBlocks(c)) {
      auto* free = static_cast<FreeBlock*>(block);
      free->next = lists.heads[c];
      lists.heads[c] = free;
      ++lists.counts[c];
      return;
    }
    deallocateSlow(lists, block, c);
    return;
  }
  ::operator delete(block);
}

size_t BlockCache::cachedBlocks(size_t size) {
  if (!kEnabled || size - 1 >= kMaxBlockSize) return 0;
  return tLists.counts[classOf(size)];
}

size_t BlockCache::slabs(size_t size) {
  if (!kEnabled || size - 1 >= kMaxBlockSize) return 0;
  SharedSlabs& s = sharedSlabs(classOf(size));
  std::lock_guard lock(s.mutex);
  return s.slabs;
}

void BlockCache::releaseThreadCache() noexcept {
  ThreadLists& lists = tLists;
  for (size_t c = 0; c < kClasses; ++c) {
    if (lists.heads[c]) flush(lists, c, lists.counts[c]);
  }
}

}  // namespace fnd
