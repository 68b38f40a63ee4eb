#include "platform/vendor/utilities/mutable_dictionary.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

TEST(RVLMutableDictionaryTest, StoresReplacesRemovesAndEnumeratesInKeyOrder) {
  RVLMutableDictionary<std::string, int> dictionary;
  EXPECT_FALSE(dictionary.objectForKey("a"));
  dictionary.setObject(2, "b");
  dictionary.setObject(1, "a");
  dictionary.setObject(3, "b");
  EXPECT_EQ(dictionary.objectForKey("b"), 3);
  EXPECT_EQ(dictionary.count(), 2u);
  EXPECT_EQ(dictionary.allKeys(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(dictionary.allValues(), (std::vector<int>{1, 3}));

  RVLMutableDictionary<std::string, int> copy = dictionary;
  dictionary.removeObjectForKey("a");
  EXPECT_EQ(dictionary.count(), 1u);
  EXPECT_EQ(copy.count(), 2u);  // A copy is independent.
  dictionary.removeAllObjects();
  EXPECT_EQ(dictionary.count(), 0u);
}

TEST(RVLMutableDictionaryTest, ConcurrentWritersLoseNothing) {
  RVLMutableDictionary<int, int> dictionary;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&dictionary, t] {
      for (int i = 0; i < 500; ++i) {
        dictionary.setObject(i, t * 1000 + i);
        (void)dictionary.entries();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(dictionary.count(), 2000u);
}

}  // namespace
