#include "platform/swiftui/view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Recording : public SwiftUI::ViewModifier {
 public:
  Recording(std::vector<std::string>* log, std::string tag) : log_(log), tag_(std::move(tag)) {}
  SwiftUI::ViewPtr body(SwiftUI::ViewPtr content) const override {
    return content->onAppear([log = log_, tag = tag_] { log->push_back(tag); });
  }

 private:
  std::vector<std::string>* log_;
  std::string tag_;
};

TEST(SwiftUIViewTest, HostingViewRunsActionsOnEachShowNotOnRepeatedShow) {
  std::vector<std::string> log;
  SwiftUI::ViewPtr stack = SwiftUI::View::create("stack");
  stack->addSubview(SwiftUI::modifier(SwiftUI::View::create("a"), Recording(&log, "a")));
  stack->addSubview(SwiftUI::View::create("b")->onAppear([&] { log.push_back("b"); }));
  SwiftUI::HostingView host(stack->onAppear([&] { log.push_back("root"); }));

  EXPECT_TRUE(host.isHidden());
  EXPECT_TRUE(log.empty());
  host.setHidden(false);
  EXPECT_EQ(log, (std::vector<std::string>{"root", "a", "b"}));
  host.setHidden(false);  // Already shown: nothing appears again.
  EXPECT_EQ(log.size(), 3u);
  host.setHidden(true);
  EXPECT_EQ(log.size(), 3u);
  host.setHidden(false);
  EXPECT_EQ(log, (std::vector<std::string>{"root", "a", "b", "root", "a", "b"}));
  EXPECT_EQ(stack->appearCount(), 2);
}

TEST(SwiftUIViewTest, NullActionLeavesTheViewAsItIs) {
  SwiftUI::ViewPtr view = SwiftUI::View::create("v");
  EXPECT_EQ(view->onAppear(nullptr), view);
}

}  // namespace
