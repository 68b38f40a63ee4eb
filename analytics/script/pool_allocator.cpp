#include "analytics/script/pool_allocator.h"

#include <cstdint>
#include <new>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooled = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif
#else
constexpr bool kPooled = true;
#endif

constexpr size_t kGranule = 16;
constexpr size_t kClasses = APMPPoolLargestBlock / kGranule;
// Bytes that one list keeps at most.
constexpr size_t kBytesKeptPerClass = 64 * 1024;

struct Block {
  Block* next;
};

// Trivially destructible, so that it can still be read while the thread's other objects are
// destroyed (a value freed then goes straight back to operator delete).
struct Lists {
  Block* heads[kClasses];
  uint32_t counts[kClasses];
  bool closed;
};
thread_local Lists lists{};

// Gives every kept block back when the thread ends.
struct Closer {
  Closer() = default;
  Closer(const Closer&) = delete;
  Closer& operator=(const Closer&) = delete;
  ~Closer() {
    lists.closed = true;
    for (size_t c = 0; c < kClasses; ++c) {
      while (Block* block = lists.heads[c]) {
        lists.heads[c] = block->next;
        ::operator delete(block);
      }
      lists.counts[c] = 0;
    }
  }
};
thread_local Closer closer;

size_t ClassOf(size_t bytes) { return (bytes + kGranule - 1) / kGranule - 1; }

}  // namespace

void* APMPPoolAllocate(size_t bytes) {
  if (!kPooled || bytes == 0 || bytes > APMPPoolLargestBlock) return ::operator new(bytes);
  const size_t c = ClassOf(bytes);
  if (Block* block = lists.heads[c]) {
    lists.heads[c] = block->next;
    --lists.counts[c];
    return block;
  }
  (void)&closer;  // Made on the thread's first allocation, so that it runs at the thread's end.
  return ::operator new((c + 1) * kGranule);
}

void APMPPoolFree(void* block, size_t bytes) noexcept {
  if (!block) return;
  if (!kPooled || bytes == 0 || bytes > APMPPoolLargestBlock) {
    ::operator delete(block);
    return;
  }
  const size_t c = ClassOf(bytes);
  if (lists.closed || lists.counts[c] >= kBytesKeptPerClass / ((c + 1) * kGranule)) {
    ::operator delete(block);
    return;
  }
  auto* node = static_cast<Block*>(block);
  node->next = lists.heads[c];
  lists.heads[c] = node;
  ++lists.counts[c];
}
