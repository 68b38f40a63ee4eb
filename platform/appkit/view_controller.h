// The controller of a window's content. Headless: it has no view, only the size its content
// prefers, which the window takes when the controller is installed
// (Window::setContentViewController).
//
// Main thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/appkit/geometry.h"

namespace appkit {

class Window;

class ViewController {
 public:
  // The size a controller's content has when nothing else says: the platform's default window.
  static constexpr Size kDefaultContentSize{800, 600};

  ViewController() = default;
  virtual ~ViewController();
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

  // The size the window's content takes when this controller is installed.
  virtual Size preferredContentSize() const { return preferredContentSize_; }
  void setPreferredContentSize(Size size) { preferredContentSize_ = size; }

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }

  // Called once, the first time the controller is installed in a window (where the platform would
  // load its view). Subclasses that override it call the base.
  virtual void viewDidLoad() {}
  bool isViewLoaded() const { return viewLoaded_; }

  // The window whose content this controller is, or null.
  std::shared_ptr<Window> window() const { return window_.lock(); }

 private:
  friend class Window;

  // Main thread only.
  Size preferredContentSize_ = kDefaultContentSize;
  std::string title_;
  bool viewLoaded_ = false;
  std::weak_ptr<Window> window_;  // Set by Window::setContentViewController.
};

}  // namespace appkit
