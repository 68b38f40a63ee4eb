#include "platform/appkit/window.h"

#include <utility>

#include "platform/appkit/application.h"
#include "platform/foundation/notification_center.h"

namespace appkit {

Window::Window(Rect contentRect, uint64_t styleMask, BackingStoreType backing, bool defer)
    : styleMask_(styleMask), backing_(backing), frame_(contentRect) {
  (void)defer;  // Nothing is drawn, so there is no window device to defer.
}

Window::~Window() {
  if (contentViewController_) contentViewController_->window_.reset();
}

void Window::awakeFromNib() {}

void Window::setFrame(Rect frame, bool display) {
  frame_ = frame;
  if (display) ++displayCount_;
}

void Window::setContentViewController(std::shared_ptr<ViewController> controller) {
  if (controller == contentViewController_) return;
  if (contentViewController_) contentViewController_->window_.reset();
  contentViewController_ = std::move(controller);
  if (!contentViewController_) return;
  contentViewController_->window_ = weak_from_this();
  if (!contentViewController_->viewLoaded_) {
    contentViewController_->viewLoaded_ = true;
    contentViewController_->viewDidLoad();
  }
  // The window fits the content; its top edge stays put (the origin is the bottom-left corner).
  const Size size = contentViewController_->preferredContentSize();
  frame_ = Rect{{frame_.origin.x, frame_.maxY() - size.height}, size};
}

void Window::orderFront() { visible_ = true; }

void Window::makeKeyAndOrderFront() {
  if (closed_) return;
  visible_ = true;
  if (key_) return;
  if (auto app = application()) {
    if (auto previous = app->keyWindow()) previous->resignKeyWindow();
  }
  key_ = true;
}

void Window::orderOut() {
  resignKeyWindow();
  visible_ = false;
}

void Window::resignKeyWindow() {
  if (!key_) return;
  key_ = false;
  notificationCenter().post(kWindowDidResignKeyNotification, this);
}

void Window::close() {
  if (closed_) return;
  // The application drops its reference below; keep the window alive until we are done.
  const std::shared_ptr<Window> self = weak_from_this().lock();
  notificationCenter().post(kWindowWillCloseNotification, this);
  resignKeyWindow();
  visible_ = false;
  closed_ = true;
  if (auto app = application()) app->windowDidClose(this);
}

fnd::NotificationCenter& Window::notificationCenter() const {
  if (auto app = application()) return app->notificationCenter();
  return fnd::NotificationCenter::defaultCenter();
}

}  // namespace appkit
