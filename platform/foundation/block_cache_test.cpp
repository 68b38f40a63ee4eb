#include "platform/foundation/block_cache.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/value.h"

namespace fnd {
namespace {

// Blocks this thread holds over all classes.
size_t CachedOnThisThread() {
  size_t total = 0;
  for (size_t size = BlockCache::kGranule; size <= BlockCache::kMaxBlockSize;
       size += BlockCache::kGranule) {
    total += BlockCache::cachedBlocks(size);
  }
  return total;
}

// One value of every kind that has shared storage, built from n.
Value SharedValue(int n, int kind) {
  switch (kind % 8) {
    case 0:
      return std::string("a string longer than any short one #") + std::to_string(n);
    case 1:
      return Data(24, static_cast<uint8_t>(n));
    case 2:
      return std::vector<int32_t>{n, n + 1};
    case 3:
      return std::vector<int64_t>{n};
    case 4:
      return std::vector<float>{static_cast<float>(n)};
    case 5:
      return std::vector<double>{n * 0.5};
    case 6:
      return Array{n, "x"};
    default:
      return Dictionary{{"n", n}};
  }
}

TEST(BlockCacheTest, EachSizeIsServedByItsClassAndReused) {
  // Each class serves the sizes up to its own; a freed block is the next one handed out.
  struct Case {
    size_t size;
    size_t sameClassAs;  // A size served by the same class; 0 when the size is not cached.
  };
  const Case cases[] = {{1, 16},  {16, 1},    {17, 32},   {40, 48}, {48, 33}, {88, 96},
                        {96, 81}, {127, 128}, {128, 113}, {129, 0}, {4096, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    void* block = BlockCache::allocate(c.size);
    std::memset(block, 0xab, c.size);
    const size_t held = BlockCache::cachedBlocks(c.size);
    BlockCache::deallocate(block, c.size);
    const bool cached = BlockCache::kEnabled && c.sameClassAs != 0;
    EXPECT_EQ(BlockCache::cachedBlocks(c.size), cached ? held + 1 : 0u);
    if (!cached) continue;
    EXPECT_EQ(BlockCache::cachedBlocks(c.sameClassAs), held + 1);
    void* again = BlockCache::allocate(c.sameClassAs);
    EXPECT_EQ(again, block);
    std::memset(again, 0xcd, c.sameClassAs);
    EXPECT_EQ(BlockCache::cachedBlocks(c.size), held);
    BlockCache::deallocate(again, c.sameClassAs);
  }
  BlockCache::releaseThreadCache();
  EXPECT_EQ(CachedOnThisThread(), 0u);
}

TEST(BlockCacheTest, KeepsAtMostItsBoundPerClass) {
  if (!BlockCache::kEnabled) GTEST_SKIP() << "sanitizer builds do not cache";
  for (size_t size : {BlockCache::kGranule, size_t{48}, BlockCache::kMaxBlockSize}) {
    SCOPED_TRACE(size);
    const size_t bound = BlockCache::kMaxBytesPerClass / size;
    std::vector<void*> blocks(bound + 1000);
    for (void*& block : blocks) block = BlockCache::allocate(size);
    for (void* block : blocks) BlockCache::deallocate(block, size);
    EXPECT_LE(BlockCache::cachedBlocks(size), bound);
    EXPECT_GE(BlockCache::cachedBlocks(size), bound / 2);
    BlockCache::releaseThreadCache();
  }
}

TEST(BlockCacheTest, EmptySlabsGoBackToTheHeap) {
  if (!BlockCache::kEnabled) GTEST_SKIP() << "sanitizer builds do not cache";
  // Many more blocks than a thread keeps, made on one thread and freed on another: once all are
  // back, the class holds no more slabs than before, but for one kept for the next demand.
  constexpr size_t kSize = 80;
  const size_t before = BlockCache::slabs(kSize);
  const size_t count = 20 * BlockCache::kSlabBytes / kSize;
  std::vector<void*> blocks(count);
  std::thread maker([&] {
    for (void*& block : blocks) block = BlockCache::allocate(kSize);
    BlockCache::releaseThreadCache();
  });
  maker.join();
  EXPECT_GE(BlockCache::slabs(kSize), before + 10);
  std::thread freer([&] {
    for (void* block : blocks) BlockCache::deallocate(block, kSize);
    EXPECT_LE(BlockCache::cachedBlocks(kSize), BlockCache::kMaxBytesPerClass / kSize);
  });
  freer.join();
  EXPECT_LE(BlockCache::slabs(kSize), before + 1);
}

TEST(BlockCacheTest, ValuesMadeOnOneThreadAreDroppedOnAnother) {
  constexpr int kCount = 2000;
  std::vector<Value> values;
  std::vector<Value> copies;
  std::thread maker([&] {
    for (int i = 0; i < kCount; ++i) values.push_back(SharedValue(i, i));
    copies = values;  // Shares the storage.
  });
  maker.join();
  size_t cachedAfterValues = 1;
  size_t cachedAfterCopies = 0;
  std::thread dropper([&] {
    for (int i = 0; i < kCount; ++i) {
      ASSERT_EQ(values[i], SharedValue(i, i)) << i;
      ASSERT_EQ(copies[i], SharedValue(i, i)) << i;
    }
    BlockCache::releaseThreadCache();  // Drops what the comparisons left.
    values.clear();                    // The copies still hold every block.
    cachedAfterValues = CachedOnThisThread();
    copies.clear();
    cachedAfterCopies = CachedOnThisThread();
  });
  dropper.join();
  EXPECT_EQ(cachedAfterValues, 0u);
  EXPECT_EQ(cachedAfterCopies, BlockCache::kEnabled ? size_t{kCount} : 0u);
}

TEST(BlockCacheTest, ManyThreadsPassValuesAround) {
  // Each thread builds values and hands them to the next one, which checks and drops them: every
  // block is made on one thread and freed on another, while all of them run.
  constexpr int kThreads = 8;
  constexpr int kPerThread = 3000;
  struct Mailbox {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::pair<int, Value>> items;
  };
  std::vector<Mailbox> boxes(kThreads);
  std::vector<int> bad(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Mailbox& out = boxes[(t + 1) % kThreads];
      Mailbox& in = boxes[t];
      int received = 0;
      for (int i = 0; i < kPerThread; ++i) {
        Value value = SharedValue(t * kPerThread + i, i);
        Value kept = value;  // A second holder of the same storage, dropped here.
        {
          std::lock_guard lock(out.mutex);
          out.items.emplace_back(t * kPerThread + i, std::move(value));
        }
        out.ready.notify_one();
        std::unique_lock lock(in.mutex);
        while (!in.items.empty()) {
          auto [n, got] = std::move(in.items.front());
          in.items.pop_front();
          lock.unlock();
          if (got != SharedValue(n, n % kPerThread)) ++bad[t];
          ++received;
          lock.lock();
        }
      }
      std::unique_lock lock(in.mutex);
      while (received < kPerThread) {
        in.ready.wait(lock, [&] { return !in.items.empty(); });
        auto [n, got] = std::move(in.items.front());
        in.items.pop_front();
        if (got != SharedValue(n, n % kPerThread)) ++bad[t];
        ++received;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(bad[t], 0) << t;
}

// Runs its check when its thread exits, after the thread's lists have been handed back (it is
// made before the thread holds any block, so its destructor runs later).
struct ExitCheck {
  size_t* heldAtExit = nullptr;
  size_t* heldAfterFree = nullptr;
  ~ExitCheck() {
    if (!heldAtExit) return;
    *heldAtExit = CachedOnThisThread();
    Value late(Array{1, 2, 3});  // Made and dropped after the release: straight to its slab.
    late = Value();
    *heldAfterFree = CachedOnThisThread();
  }
};
thread_local ExitCheck tExitCheck;

TEST(BlockCacheTest, ThreadExitReturnsTheBlocks) {
  size_t heldBeforeExit = 0;
  size_t heldAtExit = 1;
  size_t heldAfterFree = 1;
  std::thread thread([&] {
    tExitCheck.heldAtExit = &heldAtExit;
    tExitCheck.heldAfterFree = &heldAfterFree;
    std::vector<Value> values;
    for (int i = 0; i < 100; ++i) values.push_back(SharedValue(i, i));
    values = {};
    heldBeforeExit = CachedOnThisThread();
  });
  thread.join();
  if (BlockCache::kEnabled) {
    EXPECT_GE(heldBeforeExit, 100u);
  } else {
    EXPECT_EQ(heldBeforeExit, 0u);
  }
  EXPECT_EQ(heldAtExit, 0u);
  EXPECT_EQ(heldAfterFree, 0u);
}

TEST(BlockCacheTest, AForkedChildMakesAndDropsValuesWhileAnotherThreadChurns) {
  // The churning thread moves batches between its lists and the shared slabs under their locks;
  // a child forked at any moment must find those locks free. (Sanitizer runtimes do not support
  // allocating in a child forked from threads, and their builds have no such locks.)
  if (!BlockCache::kEnabled) GTEST_SKIP() << "sanitizer builds do not cache";
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      std::vector<Value> values;
      for (int i = 0; i < 20000; ++i) values.push_back(SharedValue(i, i));
    }
  });
  for (int round = 0; round < 20; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // A child stuck on a lock must not outlive the test,
      alarm(30);                         // nor hang it: it ends by the alarm and the test fails.
      std::vector<Value> values;
      for (int i = 0; i < 20000; ++i) values.push_back(SharedValue(i, i));
      values.clear();
      BlockCache::releaseThreadCache();
      _exit(values.empty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << round;
  }
  stop = true;
  churn.join();
}

TEST(BlockCacheTest, WritesStillCopySharedStorage) {
  // Blocks come back from the cache; a value written after its copy was dropped and remade must
  // still leave every other holder as it was.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    Value array(Array{1, 2, 3});
    Value data(Data{1, 2});
    Value map(Dictionary{{"a", 1}});
    Value arrayCopy = array;
    Value dataCopy = data;
    Value mapCopy = map;
    arrayCopy.mutableArray()->push_back(4);
    dataCopy.mutableData()->push_back(3);
    mapCopy.mutableDictionary()->set("b", 2);
    EXPECT_EQ(array, Value(Array{1, 2, 3}));
    EXPECT_EQ(data, Value(Data{1, 2}));
    EXPECT_EQ(map, Value(Dictionary{{"a", 1}}));
    EXPECT_EQ(arrayCopy, Value(Array{1, 2, 3, 4}));
    EXPECT_EQ(dataCopy, Value(Data{1, 2, 3}));
    EXPECT_EQ(mapCopy, Value(Dictionary{{"a", 1}, {"b", 2}}));
    // A lone holder writes in place.
    const Array* before = array.array();
    array.mutableArray()->push_back(5);
    EXPECT_EQ(array.array(), before);
  }
}

}  // namespace
}  // namespace fnd
