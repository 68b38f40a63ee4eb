#include "platform/appkit/window.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/view_controller.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/test_home.h"

namespace appkit {
namespace {

class CountingController : public ViewController {
 public:
  void viewDidLoad() override { ++loads; }
  int loads = 0;
};

class WindowTest : public ::testing::Test {
 protected:
  fnd::ScopedTestHome home_;
};

TEST_F(WindowTest, ContentControllerSetsTheSizeAndKeepsTheTopLeftCorner) {
  struct Case {
    Rect start;
    Size preferred;
    Rect expected;
  };
  const Case cases[] = {
      {{{0, 0}, {800, 600}}, {400, 300}, {{0, 300}, {400, 300}}},
      {{{100, 200}, {1280, 720}}, {800, 600}, {{100, 320}, {800, 600}}},
      {{{-50, 10}, {10, 10}}, {20, 30}, {{-50, -10}, {20, 30}}},
  };
  for (const Case& c : cases) {
    auto window = std::make_shared<Window>(c.start);
    auto controller = std::make_shared<CountingController>();
    controller->setPreferredContentSize(c.preferred);
    window->setContentViewController(controller);
    EXPECT_EQ(window->frame(), c.expected);
  }
}

TEST_F(WindowTest, ControllerLoadsOnceAndKnowsItsWindow) {
  auto first = std::make_shared<Window>();
  auto second = std::make_shared<Window>();
  auto controller = std::make_shared<CountingController>();
  EXPECT_FALSE(controller->isViewLoaded());
  first->setContentViewController(controller);
  EXPECT_EQ(controller->loads, 1);
  EXPECT_EQ(controller->window(), first);
  first->setContentViewController(nullptr);
  EXPECT_EQ(controller->window(), nullptr);
  const Rect unchanged = first->frame();
  EXPECT_EQ(first->frame(), unchanged);
  second->setContentViewController(controller);
  EXPECT_EQ(controller->loads, 1);
  EXPECT_EQ(controller->window(), second);
  second.reset();
  EXPECT_EQ(controller->window(), nullptr);
}

TEST_F(WindowTest, SetFrameCountsDisplaysAndTitleIsKept) {
  Window window(Rect{{1, 2}, {3, 4}}, kWindowStyleMaskTitled, BackingStoreType::kBuffered, true);
  EXPECT_EQ(window.styleMask(), kWindowStyleMaskTitled);
  window.setFrame(Rect{{5, 6}, {7, 8}}, false);
  window.setFrame(Rect{{9, 10}, {11, 12}}, true);
  EXPECT_EQ(window.frame(), (Rect{{9, 10}, {11, 12}}));
  EXPECT_EQ(window.displayCount(), 1);
  window.setTitle("quellmark");
  EXPECT_EQ(window.title(), "quellmark");
}

TEST_F(WindowTest, WindowWithoutApplicationPostsOnTheDefaultCentre) {
  auto window = std::make_shared<Window>();
  std::vector<std::string> names;
  auto observer = fnd::NotificationCenter::defaultCenter().addObserver(
      "", window.get(), [&](const fnd::Notification& n) { names.push_back(n.name); });
  window->makeKeyAndOrderFront();
  EXPECT_TRUE(window->isKeyWindow());
  window->close();
  EXPECT_TRUE(window->isClosed());
  EXPECT_FALSE(window->isVisible());
  window->makeKeyAndOrderFront();  // Closed windows stay closed.
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(names, (std::vector<std::string>{kWindowWillCloseNotification,
                                             kWindowDidResignKeyNotification}));
}

}  // namespace
}  // namespace appkit
