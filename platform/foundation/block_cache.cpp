#include "platform/foundation/block_cache.h"

#include <cstdint>

namespace fnd {

namespace {

constexpr size_t kClasses = BlockCache::kMaxBlockSize / BlockCache::kGranule;

// The class of a size from 1 to kMaxBlockSize, and the size every block of a class has.
constexpr size_t classOf(size_t size) { return (size - 1) / BlockCache::kGranule; }
constexpr size_t classSize(size_t c) { return (c + 1) * BlockCache::kGranule; }
constexpr uint32_t maxBlocks(size_t c) {
  return static_cast<uint32_t>(BlockCache::kMaxBytesPerClass / classSize(c));
}

struct FreeBlock {
  FreeBlock* next;
};

enum class ListsState : uint8_t {
  kUnused,  // Nothing cached yet; the release at thread exit is not registered.
  kLive,    // Registered for release at thread exit.
  kGone,    // Released at thread exit: every block goes to the heap.
};

// Constant-initialised and trivially destructible, so that reaching it costs no guard.
struct ThreadLists {
  FreeBlock* heads[kClasses];
  uint32_t counts[kClasses];
  ListsState state;
};
constinit thread_local ThreadLists tLists{};

// Its destructor returns the lists to the heap when the thread exits. It is touched when the
// thread caches its first block, which registers that destructor.
struct ThreadRelease {
  bool armed = false;
  ~ThreadRelease() {
    BlockCache::releaseThreadCache();
    tLists.state = ListsState::kGone;
  }
};
thread_local ThreadRelease tRelease;

[[gnu::noinline]] void armRelease() {
  tRelease.armed = true;
  tLists.state = ListsState::kLive;
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
    return ::operator new(classSize(c));
  }
  return ::operator new(size);
}

void BlockCache::deallocate(void* block, size_t size) noexcept {
  if (kEnabled && size - 1 < kMaxBlockSize) {
    const size_t c = classOf(size);
    ThreadLists& lists = tLists;
    if (lists.state == ListsState::kUnused) armRelease();
    if (lists.state == ListsState::kLive && lists.counts[c] < maxBlocks(c)) {
      auto* free = static_cast<FreeBlock*>(block);
      free->next = lists.heads[c];
      lists.heads[c] = free;
      ++lists.counts[c];
      return;
    }
    ::operator delete(block, classSize(c));
    return;
  }
  ::operator delete(block, size);
}

size_t BlockCache::cachedBlocks(size_t size) {
  if (!kEnabled || size - 1 >= kMaxBlockSize) return 0;
  return tLists.counts[classOf(size)];
}

void BlockCache::releaseThreadCache() noexcept {
  ThreadLists& lists = tLists;
  for (size_t c = 0; c < kClasses; ++c) {
    while (FreeBlock* block = lists.heads[c]) {
      lists.heads[c] = block->next;
      ::operator delete(block, classSize(c));
    }
    lists.counts[c] = 0;
  }
}

}  // namespace fnd
