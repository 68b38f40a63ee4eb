// SwiftUI, headless: just enough of views for code that reacts to a view appearing. A View is a
// node with on-appear actions and child views; a ViewModifier wraps a view's content into a new
// view (its body); a HostingView shows a root view and runs the on-appear actions of the whole
// tree each time it goes from hidden to shown, as a window's content appears again when the
// window is shown again. Nothing is drawn.
//
// Order of the actions when a tree appears: a view's own actions in the order they were added,
// then its children's, depth first, in the order the children were added.
//
// Main thread only. An action may change the tree; the change takes effect at the next appearance.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace SwiftUI {

class View : public std::enable_shared_from_this<View> {
 public:
  using Action = std::function<void()>;

  // A view with an optional name (for diagnostics).
  static std::shared_ptr<View> create(std::string name = {});
  virtual ~View();
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  const std::string& name() const { return name_; }

  // `.onAppear(perform:)`: a view that runs `action` each time it appears, with this view as its
  // content. A null action is ignored (the content itself is returned).
  std::shared_ptr<View> onAppear(Action action);
  // Adds a child view (a stack's element).
  void addSubview(std::shared_ptr<View> child);
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }

  // Runs the on-appear actions of this view and its subtree (see the header comment).
  void appear();
  // How many times this view has appeared.
  int appearCount() const { return appearCount_; }

 protected:
  explicit View(std::string name);

 private:
  const std::string name_;
  std::vector<Action> actions_;
  std::vector<std::shared_ptr<View>> subviews_;
  int appearCount_ = 0;
};
using ViewPtr = std::shared_ptr<View>;

// A modifier: body() builds the view that replaces `content`.
class ViewModifier {
 public:
  virtual ~ViewModifier();
  virtual ViewPtr body(ViewPtr content) const = 0;
};

// `.modifier(_:)`: the modifier's body around `content`.
ViewPtr modifier(ViewPtr content, const ViewModifier& modifier);

// Shows a root view. Starts hidden; each change from hidden to shown makes the root appear.
class HostingView {
 public:
  explicit HostingView(ViewPtr rootView);
  const ViewPtr& rootView() const { return rootView_; }
  bool isHidden() const { return hidden_; }
  void setHidden(bool hidden);

 private:
  const ViewPtr rootView_;
  bool hidden_ = true;
};

}  // namespace SwiftUI
