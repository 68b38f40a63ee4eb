#include "platform/foundation/notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace fnd {
namespace {

TEST(NotificationCenterTest, DeliversByNameAndSenderInRegistrationOrder) {
  NotificationCenter center;
  int senderA = 0, senderB = 0;
  std::vector<std::string> calls;
  auto any = center.addObserver("n", nullptr, [&](const Notification& n) {
    calls.push_back("any:" + n.userInfo.get("k").asString());
  });
  auto fromA =
      center.addObserver("n", &senderA, [&](const Notification&) { calls.push_back("fromA"); });
  auto everything = center.addObserver(
      "", nullptr, [&](const Notification& n) { calls.push_back("all:" + n.name); });
  center.post("n", &senderA, Dictionary{{"k", "v"}});
  center.post("n", &senderB);
  center.post("other");
  EXPECT_EQ(calls,
            (std::vector<std::string>{"any:v", "fromA", "all:n", "any:", "all:n", "all:other"}));
}

TEST(NotificationCenterTest, TokenDestructionRemovesTheObserver) {
  NotificationCenter center;
  int calls = 0;
  {
    struct Owner {
      NotificationCenter::Observer token;
    };
    auto owner = std::make_unique<Owner>();
    owner->token = center.addObserver("n", nullptr, [&](const Notification&) { ++calls; });
    center.post("n");
    EXPECT_EQ(center.observerCount(), 1u);
    owner.reset();  // The owner goes, and its observer with it.
  }
  center.post("n");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(center.observerCount(), 0u);

  NotificationCenter::Observer moved;
  {
    auto token = center.addObserver("n", nullptr, [&](const Notification&) { ++calls; });
    moved = std::move(token);
    EXPECT_FALSE(token.isActive());
  }
  EXPECT_TRUE(moved.isActive());
  center.post("n");
  EXPECT_EQ(calls, 2);
  moved.remove();
  moved.remove();  // Idempotent.
  center.post("n");
  EXPECT_EQ(calls, 2);
}

TEST(NotificationCenterTest, ReentrantRemovalAndAddition) {
  NotificationCenter center;
  std::vector<std::string> calls;
  NotificationCenter::Observer second;
  std::optional<NotificationCenter::Observer> added;
  std::optional<NotificationCenter::Observer> self;
  self = center.addObserver("n", nullptr, [&](const Notification&) {
    calls.push_back("first");
    second.remove();  // Not yet run in this post: skipped.
    added =
        center.addObserver("n", nullptr, [&](const Notification&) { calls.push_back("added"); });
    self->remove();  // Removing itself from inside its block returns at once.
  });
  second =
      center.addObserver("n", nullptr, [&](const Notification&) { calls.push_back("second"); });
  center.post("n");
  EXPECT_EQ(calls, (std::vector<std::string>{"first"}));
  center.post("n");
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "added"}));
}

TEST(NotificationCenterTest, RemovalWaitsForACallRunningOnAnotherThread) {
  NotificationCenter center;
  std::mutex mu;
  std::condition_variable cv;
  bool entered = false, release = false, finished = false;
  auto owned = std::make_shared<int>(42);
  std::weak_ptr<int> watch = owned;
  auto token = center.addObserver("n", nullptr, [&, owned](const Notification&) {
    std::unique_lock<std::mutex> lock(mu);
    entered = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
    finished = true;
  });
  owned.reset();
  std::thread poster([&] { center.post("n"); });
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return entered; });
  }
  std::thread remover([&] {
    token.remove();
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_TRUE(finished);  // remove() returned only after the running call ended.
  });
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
    cv.notify_all();
  }
  poster.join();
  remover.join();
  EXPECT_TRUE(watch.expired());  // The block and its captures are gone.
  center.post("n");
}

TEST(NotificationCenterTest, ConcurrentPostsAndRemovals) {
  NotificationCenter center;
  std::atomic<int> calls{0};
  std::atomic<bool> stop{false};
  std::thread poster([&] {
    while (!stop) center.post("n");
  });
  for (int i = 0; i < 200; ++i) {
    auto token = center.addObserver("n", nullptr, [&](const Notification&) { ++calls; });
  }
  stop = true;
  poster.join();
  EXPECT_EQ(center.observerCount(), 0u);
}

TEST(NotificationCenterTest, TokenMayOutliveItsCenter) {
  NotificationCenter::Observer token;
  {
    NotificationCenter center;
    token = center.addObserver("n", nullptr, [](const Notification&) {});
  }
  token.remove();
  EXPECT_FALSE(token.isActive());
  auto shared = NotificationCenter::defaultCenter().addObserver("fnd.test", nullptr,
                                                                [](const Notification&) {});
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}

}  // namespace
}  // namespace fnd
