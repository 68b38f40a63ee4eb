#include "platform/foundation/flush_at_exit.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

namespace {

TEST(FlushAtExitTest, FlushesRunNewestFirstAndSkipDestroyedOwners) {
  std::vector<int> order;
  auto first = std::make_shared<int>(1);
  auto second = std::make_shared<int>(2);
  auto gone = std::make_shared<int>(3);
  fnd::FlushAtExit(first, [&order] { order.push_back(1); });
  fnd::FlushAtExit(gone, [&order] { order.push_back(3); });
  fnd::FlushAtExit(second, [&order] { order.push_back(2); });
  gone.reset();
  fnd::RunFlushes();
  EXPECT_EQ(order, (std::vector<int>{2, 1}));
}

TEST(FlushAtExitTest, AThrowingFlushDoesNotStopTheOthers) {
  std::vector<int> order;
  auto owner = std::make_shared<int>(0);
  fnd::FlushAtExit(owner, [&order] { order.push_back(1); });
  fnd::FlushAtExit(owner, [] { throw std::runtime_error("disk gone"); });
  fnd::RunFlushes();
  EXPECT_EQ(order, (std::vector<int>{1}));
}

}  // namespace
