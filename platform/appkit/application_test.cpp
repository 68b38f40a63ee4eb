#include "platform/appkit/application.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/application_main.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/test_home.h"

namespace appkit {
namespace {

// Records every hook in the shared log, prefixed "delegate:".
class RecordingDelegate : public ApplicationDelegate {
 public:
  RecordingDelegate(std::vector<std::string>* log, bool terminateAfterLastWindow)
      : log_(log), terminateAfterLastWindow_(terminateAfterLastWindow) {}

  void applicationWillFinishLaunching(const fnd::Notification&) override { add("willFinish"); }
  void applicationDidFinishLaunching(const fnd::Notification&) override { add("didFinish"); }
  void applicationWillBecomeActive(const fnd::Notification&) override { add("willBecome"); }
  void applicationDidBecomeActive(const fnd::Notification&) override { add("didBecome"); }
  void applicationWillResignActive(const fnd::Notification&) override { add("willResign"); }
  void applicationDidResignActive(const fnd::Notification&) override { add("didResign"); }
  void applicationWillTerminate(const fnd::Notification&) override { add("willTerminate"); }
  TerminateReply applicationShouldTerminate(Application&) override {
    add("shouldTerminate");
    return cancelTermination ? TerminateReply::kTerminateCancel : TerminateReply::kTerminateNow;
  }
  bool applicationShouldTerminateAfterLastWindowClosed(Application&) override {
    return terminateAfterLastWindow_;
  }
  void applicationOpenURLs(Application&, const std::vector<std::string>& urls) override {
    for (const auto& url : urls) add("open " + url);
  }

  bool cancelTermination = false;

 private:
  void add(const std::string& what) { log_->push_back("delegate:" + what); }
  std::vector<std::string>* log_;
  const bool terminateAfterLastWindow_;
};

// The window of the shell: installs a content controller while keeping its frame.
class HostWindow : public Window {
 public:
  HostWindow(Rect rect, std::vector<std::string>* log) : Window(rect), log_(log) {}
  void awakeFromNib() override {
    log_->push_back("awakeFromNib");
    auto controller = std::make_shared<ViewController>();
    const Rect saved = frame();
    setContentViewController(controller);
    resizedTo = frame().size;
    setFrame(saved, true);
    Window::awakeFromNib();
  }
  Size resizedTo;

 private:
  std::vector<std::string>* log_;
};

class ApplicationTest : public ::testing::Test {
 protected:
  ApplicationTest() {
    // Notifications of interest, in the order posted, with the sender checked.
    for (const char* name :
         {kApplicationWillFinishLaunchingNotification, kApplicationDidFinishLaunchingNotification,
          kApplicationWillBecomeActiveNotification, kApplicationDidBecomeActiveNotification,
          kApplicationWillResignActiveNotification, kApplicationDidResignActiveNotification,
          kApplicationWillTerminateNotification, kWindowDidResignKeyNotification,
          kWindowWillCloseNotification}) {
      observers_.push_back(center_.addObserver(name, nullptr, [this](const fnd::Notification& n) {
        log_.push_back(n.name);
        if (n.name.rfind("NSApplication", 0) == 0) {
          EXPECT_EQ(n.sender, app_.get());
        }
      }));
    }
  }
  ~ApplicationTest() override { dispatch::RunLoop::main().runUntilIdle(); }

  std::shared_ptr<RecordingDelegate> delegate(bool terminateAfterLastWindow) {
    return std::make_shared<RecordingDelegate>(&log_, terminateAfterLastWindow);
  }

  fnd::ScopedTestHome home_;
  fnd::ScopedProcessInfoOverride processInfo_{{}};
  fnd::NotificationCenter center_;
  std::shared_ptr<Application> app_ = Application::create(&center_);
  std::vector<std::string> log_;
  std::vector<fnd::NotificationCenter::Observer> observers_;
};

TEST_F(ApplicationTest, ClosingTheOnlyWindowEndsApplicationMain) {
  std::shared_ptr<HostWindow> window;
  MainInterface interface;
  interface.makeDelegate = [&] { return delegate(true); };
  interface.makeWindows.push_back([&] {
    window = std::make_shared<HostWindow>(Rect{{100, 200}, {1280, 720}}, &log_);
    return window;
  });
  // The first main-queue block the application runs: the user closes the window.
  dispatch::Queue::main()->async([&] {
    log_.push_back("close");
    window->close();
  });
  const char* argv[] = {"quellmark", "--flag"};
  EXPECT_EQ(ApplicationMain(2, argv, interface, app_.get()), 0);

  EXPECT_TRUE(app_->isTerminated());
  EXPECT_FALSE(app_->isRunning());
  EXPECT_TRUE(app_->windows().empty());
  EXPECT_EQ(fnd::ProcessInfo::processInfo().arguments(),
            (std::vector<std::string>{"quellmark", "--flag"}));
  EXPECT_EQ(log_, (std::vector<std::string>{
                      "awakeFromNib",
                      "delegate:willFinish",
                      kApplicationWillFinishLaunchingNotification,
                      "delegate:didFinish",
                      kApplicationDidFinishLaunchingNotification,
                      "delegate:willBecome",
                      kApplicationWillBecomeActiveNotification,
                      "delegate:didBecome",
                      kApplicationDidBecomeActiveNotification,
                      "close",
                      kWindowWillCloseNotification,
                      kWindowDidResignKeyNotification,
                      "delegate:shouldTerminate",
                      "delegate:willTerminate",
                      kApplicationWillTerminateNotification,
                  }));
}

TEST_F(ApplicationTest, ContentControllerResizesAndRestoringTheFrameKeepsIt) {
  MainInterface interface;
  std::shared_ptr<HostWindow> window;
  interface.makeDelegate = [&] { return delegate(true); };
  interface.makeWindows.push_back([&] {
    window = std::make_shared<HostWindow>(Rect{{100, 200}, {1280, 720}}, &log_);
    return window;
  });
  interface.activateOnLaunch = false;
  dispatch::Queue::main()->async([&] { app_->terminate(); });
  ApplicationMain(0, nullptr, interface, app_.get());

  EXPECT_EQ(window->resizedTo, ViewController::kDefaultContentSize);  // Resized by the controller.
  EXPECT_EQ(window->frame(), (Rect{{100, 200}, {1280, 720}}));        // Then restored.
  EXPECT_EQ(window->displayCount(), 1);
  ASSERT_NE(window->contentViewController(), nullptr);
  EXPECT_TRUE(window->contentViewController()->isViewLoaded());
  EXPECT_EQ(window->contentViewController()->window(), window);
}

TEST_F(ApplicationTest, LastWindowClosedLeavesTheApplicationRunningWhenTheDelegateSaysSo) {
  app_->setDelegate(delegate(false));
  auto a = std::make_shared<Window>();
  auto b = std::make_shared<Window>();
  app_->addWindow(a);
  app_->addWindow(b);
  app_->addWindow(a);  // Once only.
  EXPECT_EQ(app_->windows().size(), 2u);
  a->close();
  a->close();  // Twice: nothing more.
  EXPECT_EQ(app_->windows(), (std::vector<std::shared_ptr<Window>>{b}));
  b->close();
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(app_->windows().empty());
  EXPECT_FALSE(app_->isTerminated());
}

TEST_F(ApplicationTest, ClosingOneOfTwoWindowsDoesNotTerminate) {
  app_->setDelegate(delegate(true));
  auto a = std::make_shared<Window>();
  auto b = std::make_shared<Window>();
  app_->addWindow(a);
  app_->addWindow(b);
  a->close();
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_FALSE(app_->isTerminated());
  b->close();
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_TRUE(app_->isTerminated());
}

TEST_F(ApplicationTest, ResignAndBecomeActiveAnnounceInOrder) {
  auto window = std::make_shared<Window>();
  app_->addWindow(window);
  window->makeKeyAndOrderFront();
  EXPECT_EQ(app_->keyWindow(), window);

  app_->resignActive();  // Not active yet: nothing.
  EXPECT_TRUE(log_.empty());
  app_->activate();
  app_->activate();  // Already active: nothing.
  EXPECT_TRUE(app_->isActive());
  app_->resignActive();
  EXPECT_FALSE(app_->isActive());
  EXPECT_FALSE(window->isKeyWindow());
  EXPECT_EQ(log_, (std::vector<std::string>{
                      kApplicationWillBecomeActiveNotification,
                      kApplicationDidBecomeActiveNotification,
                      kApplicationWillResignActiveNotification,
                      kWindowDidResignKeyNotification,
                      kApplicationDidResignActiveNotification,
                  }));
}

TEST_F(ApplicationTest, KeyWindowMovesAndResignsWithANotification) {
  auto a = std::make_shared<Window>();
  auto b = std::make_shared<Window>();
  app_->addWindow(a);
  app_->addWindow(b);
  a->makeKeyAndOrderFront();
  b->makeKeyAndOrderFront();  // a resigns key.
  EXPECT_FALSE(a->isKeyWindow());
  EXPECT_TRUE(b->isKeyWindow());
  EXPECT_TRUE(a->isVisible());
  b->orderOut();
  EXPECT_FALSE(b->isVisible());
  EXPECT_EQ(app_->keyWindow(), nullptr);
  EXPECT_EQ(log_, (std::vector<std::string>{kWindowDidResignKeyNotification,
                                            kWindowDidResignKeyNotification}));
}

TEST_F(ApplicationTest, TerminationCanBeCancelledAndHappensOnce) {
  auto d = delegate(false);
  app_->setDelegate(d);
  d->cancelTermination = true;
  app_->terminate();
  EXPECT_FALSE(app_->isTerminated());
  d->cancelTermination = false;
  app_->terminate();
  app_->terminate();
  EXPECT_TRUE(app_->isTerminated());
  EXPECT_EQ(log_, (std::vector<std::string>{"delegate:shouldTerminate", "delegate:shouldTerminate",
                                            "delegate:willTerminate",
                                            kApplicationWillTerminateNotification}));
  // A terminated application neither runs nor changes state.
  app_->run();
  app_->activate();
  app_->finishLaunching();
  EXPECT_FALSE(app_->isFinishedLaunching());
  EXPECT_EQ(log_.size(), 4u);
}

TEST_F(ApplicationTest, LaunchingHappensOnceAndRunReturnsOnTerminate) {
  app_->setDelegate(delegate(false));
  app_->finishLaunching();
  app_->finishLaunching();
  EXPECT_TRUE(app_->isFinishedLaunching());
  bool sawRunning = false;
  dispatch::Queue::main()->async([&] {
    sawRunning = app_->isRunning();
    // Someone else stopping the run loop does not end the application's run.
    dispatch::RunLoop::main().stop();
    dispatch::Queue::main()->async([&] { app_->terminate(); });
  });
  app_->run();
  EXPECT_TRUE(sawRunning);
  EXPECT_EQ(log_, (std::vector<std::string>{
                      "delegate:willFinish",
                      kApplicationWillFinishLaunchingNotification,
                      "delegate:didFinish",
                      kApplicationDidFinishLaunchingNotification,
                      "delegate:shouldTerminate",
                      "delegate:willTerminate",
                      kApplicationWillTerminateNotification,
                  }));
}

TEST_F(ApplicationTest, OpenURLsReachTheDelegate) {
  app_->openURLs({"quellmark://a"});  // No delegate: ignored.
  app_->setDelegate(delegate(false));
  app_->openURLs({"quellmark://b", "https://example.com"});
  EXPECT_EQ(log_, (std::vector<std::string>{"delegate:open quellmark://b",
                                            "delegate:open https://example.com"}));
}

TEST_F(ApplicationTest, DefaultDelegateAnswers) {
  ApplicationDelegate plain;
  EXPECT_EQ(plain.applicationShouldTerminate(*app_), TerminateReply::kTerminateNow);
  EXPECT_FALSE(plain.applicationShouldTerminateAfterLastWindowClosed(*app_));
  EXPECT_FALSE(plain.applicationSupportsSecureRestorableState(*app_));
  EXPECT_EQ(&Application::sharedApplication(), &Application::sharedApplication());
  EXPECT_EQ(&Application::sharedApplication().notificationCenter(),
            &fnd::NotificationCenter::defaultCenter());
}

}  // namespace
}  // namespace appkit
