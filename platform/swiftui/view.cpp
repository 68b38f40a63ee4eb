#include "platform/swiftui/view.h"

#include <utility>

namespace SwiftUI {

std::shared_ptr<View> View::create(std::string name) {
  return std::shared_ptr<View>(new View(std::move(name)));
}

View::View(std::string name) : name_(std::move(name)) {}

View::~View() = default;

std::shared_ptr<View> View::onAppear(Action action) {
  if (!action) return shared_from_this();
  std::shared_ptr<View> wrapper = create(name_);
  wrapper->actions_.push_back(std::move(action));
  wrapper->subviews_.push_back(shared_from_this());
  return wrapper;
}

void View::addSubview(std::shared_ptr<View> child) {
  if (child) subviews_.push_back(std::move(child));
}

void View::appear() {
  ++appearCount_;
  // Copies, so that an action changing the tree does not disturb this appearance.
  const std::vector<Action> actions = actions_;
  const std::vector<std::shared_ptr<View>> children = subviews_;
  for (const Action& action : actions) action();
  for (const auto& child : children) child->appear();
}

ViewModifier::~ViewModifier() = default;

ViewPtr modifier(ViewPtr content, const ViewModifier& modifier) {
  return modifier.body(std::move(content));
}

HostingView::HostingView(ViewPtr rootView) : rootView_(std::move(rootView)) {}

void HostingView::setHidden(bool hidden) {
  const bool appears = hidden_ && !hidden;
  hidden_ = hidden;
  if (appears && rootView_) rootView_->appear();
}

}  // namespace SwiftUI
