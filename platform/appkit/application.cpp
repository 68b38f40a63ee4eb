#include "platform/appkit/application.h"

#include <algorithm>
#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/flush_at_exit.h"

namespace appkit {

ApplicationDelegate::~ApplicationDelegate() = default;
void ApplicationDelegate::applicationWillFinishLaunching(const fnd::Notification&) {}
void ApplicationDelegate::applicationDidFinishLaunching(const fnd::Notification&) {}
void ApplicationDelegate::applicationWillBecomeActive(const fnd::Notification&) {}
void ApplicationDelegate::applicationDidBecomeActive(const fnd::Notification&) {}
void ApplicationDelegate::applicationWillResignActive(const fnd::Notification&) {}
void ApplicationDelegate::applicationDidResignActive(const fnd::Notification&) {}
void ApplicationDelegate::applicationWillTerminate(const fnd::Notification&) {}
TerminateReply ApplicationDelegate::applicationShouldTerminate(Application&) {
  return TerminateReply::kTerminateNow;
}
bool ApplicationDelegate::applicationShouldTerminateAfterLastWindowClosed(Application&) {
  return false;
}
bool ApplicationDelegate::applicationSupportsSecureRestorableState(Application&) { return false; }
void ApplicationDelegate::applicationOpenURLs(Application&, const std::vector<std::string>&) {}

Application::Application(fnd::NotificationCenter* center)
    : center_(center ? center : &fnd::NotificationCenter::defaultCenter()) {}

Application::~Application() = default;

std::shared_ptr<Application> Application::create(fnd::NotificationCenter* center) {
  return std::shared_ptr<Application>(new Application(center));
}

Application& Application::sharedApplication() {
  // Never destroyed: windows and blocks may reach it during exit.
  static std::shared_ptr<Application>* shared = new std::shared_ptr<Application>(create());
  return **shared;
}

void Application::setDelegate(std::shared_ptr<ApplicationDelegate> delegate) {
  delegate_ = std::move(delegate);
}

void Application::addWindow(const std::shared_ptr<Window>& window) {
  if (!window || window->isClosed()) return;
  if (std::find(windows_.begin(), windows_.end(), window) != windows_.end()) return;
  windows_.push_back(window);
  window->application_ = weak_from_this();
}

std::shared_ptr<Window> Application::keyWindow() const {
  for (const auto& window : windows_) {
    if (window->isKeyWindow()) return window;
  }
  return nullptr;
}

void Application::announce(const char* name,
                           void (ApplicationDelegate::*hook)(const fnd::Notification&)) {
  const fnd::Notification notification{name, this, {}};
  if (const std::shared_ptr<ApplicationDelegate> delegate = delegate_) {
    ((*delegate).*hook)(notification);
  }
  center_->post(notification);
}

void Application::finishLaunching() {
  if (finishedLaunching_ || terminated_) return;
  announce(kApplicationWillFinishLaunchingNotification,
           &ApplicationDelegate::applicationWillFinishLaunching);
  finishedLaunching_ = true;
  announce(kApplicationDidFinishLaunchingNotification,
           &ApplicationDelegate::applicationDidFinishLaunching);
}

void Application::run() {
  if (terminated_ || running_) return;
  finishLaunching();
  running_ = true;
  // The run loop may also be stopped by others; only termination ends the application's run.
  while (!terminated_) dispatch::RunLoop::main().run();
  running_ = false;
}

void Application::terminate() {
  if (terminated_) return;
  if (const std::shared_ptr<ApplicationDelegate> delegate = delegate_) {
    if (delegate->applicationShouldTerminate(*this) == TerminateReply::kTerminateCancel) return;
  }
  announce(kApplicationWillTerminateNotification, &ApplicationDelegate::applicationWillTerminate);
  // What the process has not yet written reaches the disk now: after this announcement it may
  // end at any time, without running its exit handlers.
  fnd::RunFlushes();
  terminated_ = true;
  if (running_) dispatch::RunLoop::main().stop();
}

void Application::activate() {
  if (active_ || terminated_) return;
  announce(kApplicationWillBecomeActiveNotification,
           &ApplicationDelegate::applicationWillBecomeActive);
  active_ = true;
  announce(kApplicationDidBecomeActiveNotification,
           &ApplicationDelegate::applicationDidBecomeActive);
}

void Application::resignActive() {
  if (!active_ || terminated_) return;
  announce(kApplicationWillResignActiveNotification,
           &ApplicationDelegate::applicationWillResignActive);
  if (auto key = keyWindow()) key->resignKeyWindow();
  active_ = false;
  announce(kApplicationDidResignActiveNotification,
           &ApplicationDelegate::applicationDidResignActive);
}

void Application::openURLs(const std::vector<std::string>& urls) {
  if (const std::shared_ptr<ApplicationDelegate> delegate = delegate_) {
    delegate->applicationOpenURLs(*this, urls);
  }
}

void Application::windowDidClose(Window* window) {
  auto it = std::find_if(windows_.begin(), windows_.end(),
                         [window](const auto& w) { return w.get() == window; });
  if (it == windows_.end()) return;
  const std::shared_ptr<Window> closed = *it;  // Released after the list no longer holds it.
  windows_.erase(it);
  if (!windows_.empty()) return;
  // As on the platform, the check comes after the close, from the main queue.
  dispatch::Queue::main()->async([weak = weak_from_this()] {
    if (auto app = weak.lock()) app->terminateIfLastWindowClosed();
  });
}

void Application::terminateIfLastWindowClosed() {
  if (terminated_ || !windows_.empty()) return;
  const std::shared_ptr<ApplicationDelegate> delegate = delegate_;
  if (delegate && delegate->applicationShouldTerminateAfterLastWindowClosed(*this)) terminate();
}

}  // namespace appkit
