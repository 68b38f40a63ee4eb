#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/application.h"
#include "platform/appkit/window.h"
#include "platform/dispatch/run_loop.h"
#include "platform/flutter/app_delegate.h"
#include "platform/flutter/view_controller.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/test_home.h"

namespace flutter {
namespace {

// Records every lifecycle event it hears, prefixed with its name.
class RecordingLifecycle : public FlutterAppLifecycleDelegate {
 public:
  RecordingLifecycle(std::string name, std::vector<std::string>* log, bool handlesURLs = false)
      : name_(std::move(name)), log_(log), handlesURLs_(handlesURLs) {}

  void handleWillFinishLaunching(const fnd::Notification& n) override { add(n.name); }
  void handleDidFinishLaunching(const fnd::Notification& n) override { add(n.name); }
  void handleWillBecomeActive(const fnd::Notification& n) override { add(n.name); }
  void handleDidBecomeActive(const fnd::Notification& n) override { add(n.name); }
  void handleWillResignActive(const fnd::Notification& n) override { add(n.name); }
  void handleDidResignActive(const fnd::Notification& n) override { add(n.name); }
  void handleWillTerminate(const fnd::Notification& n) override { add(n.name); }
  bool handleOpenURLs(const std::vector<std::string>& urls) override {
    for (const auto& url : urls) add("open " + url);
    return handlesURLs_;
  }

 private:
  void add(const std::string& what) { log_->push_back(name_ + ": " + what); }
  const std::string name_;
  std::vector<std::string>* const log_;
  const bool handlesURLs_;
};

// Installs a delegate on the shared application for one test.
class ScopedSharedDelegate {
 public:
  explicit ScopedSharedDelegate(std::shared_ptr<appkit::ApplicationDelegate> delegate) {
    appkit::Application::sharedApplication().setDelegate(std::move(delegate));
  }
  ~ScopedSharedDelegate() { appkit::Application::sharedApplication().setDelegate(nullptr); }
};

class FlutterAppTest : public ::testing::Test {
 protected:
  void TearDown() override { dispatch::RunLoop::main().runUntilIdle(); }
  fnd::ScopedTestHome home_;
};

TEST_F(FlutterAppTest, AppDelegatePassesEventsToLiveDelegatesInOrder) {
  fnd::NotificationCenter center;
  auto application = appkit::Application::create(&center);
  auto appDelegate = std::make_shared<FlutterAppDelegate>();
  application->setDelegate(appDelegate);

  std::vector<std::string> log;
  auto first = std::make_shared<RecordingLifecycle>("first", &log);
  auto second = std::make_shared<RecordingLifecycle>("second", &log, /*handlesURLs=*/true);
  auto third = std::make_shared<RecordingLifecycle>("third", &log);
  auto gone = std::make_shared<RecordingLifecycle>("gone", &log);
  appDelegate->addApplicationLifecycleDelegate(first);
  appDelegate->addApplicationLifecycleDelegate(second);
  appDelegate->addApplicationLifecycleDelegate(first);  // Already there.
  appDelegate->addApplicationLifecycleDelegate(gone);
  appDelegate->addApplicationLifecycleDelegate(third);
  gone.reset();  // Kept weakly: no longer told anything.

  application->finishLaunching();
  application->activate();
  application->openURLs({"app://a"});
  appDelegate->removeApplicationLifecycleDelegate(third);
  application->resignActive();
  application->terminate();

  const std::vector<std::string> expected = {
      "first: NSApplicationWillFinishLaunchingNotification",
      "second: NSApplicationWillFinishLaunchingNotification",
      "third: NSApplicationWillFinishLaunchingNotification",
      "first: NSApplicationDidFinishLaunchingNotification",
      "second: NSApplicationDidFinishLaunchingNotification",
      "third: NSApplicationDidFinishLaunchingNotification",
      "first: NSApplicationWillBecomeActiveNotification",
      "second: NSApplicationWillBecomeActiveNotification",
      "third: NSApplicationWillBecomeActiveNotification",
      "first: NSApplicationDidBecomeActiveNotification",
      "second: NSApplicationDidBecomeActiveNotification",
      "third: NSApplicationDidBecomeActiveNotification",
      // The second one handles the URLs: the third is not asked.
      "first: open app://a",
      "second: open app://a",
      "first: NSApplicationWillResignActiveNotification",
      "second: NSApplicationWillResignActiveNotification",
      "first: NSApplicationDidResignActiveNotification",
      "second: NSApplicationDidResignActiveNotification",
      "first: NSApplicationWillTerminateNotification",
      "second: NSApplicationWillTerminateNotification",
  };
  EXPECT_EQ(log, expected);
}

TEST_F(FlutterAppTest, RegistrarAddsApplicationDelegatesToTheFlutterAppDelegate) {
  std::vector<std::string> log;
  auto plugin = std::make_shared<RecordingLifecycle>("plugin", &log);
  auto viewController = std::make_shared<FlutterViewController>();
  {
    // Without a FlutterAppDelegate the request is logged and dropped.
    auto registrar = viewController->registrarForPlugin("Early");
    registrar->addApplicationDelegate(plugin);
  }
  auto appDelegate = std::make_shared<FlutterAppDelegate>();
  ScopedSharedDelegate installed(appDelegate);
  EXPECT_EQ(FlutterAppDelegate::applicationDelegate(), appDelegate);
  viewController->registrarForPlugin("Plugin")->addApplicationDelegate(plugin);
  fnd::Notification notification{appkit::kApplicationDidBecomeActiveNotification, nullptr, {}};
  appDelegate->applicationDidBecomeActive(notification);
  EXPECT_EQ(log, (std::vector<std::string>{"plugin: NSApplicationDidBecomeActiveNotification"}));
}

// A plugin that, like a sign-in plugin, presents in the window of its registrar's view.
class WindowPlugin : public FlutterPlugin {
 public:
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar) {
    auto plugin = std::make_shared<WindowPlugin>();
    auto channel =
        FlutterMethodChannel::methodChannelWithName("test/window", registrar.messenger());
    plugin->viewController_ = registrar.viewController();
    registrar.addMethodCallDelegate(plugin, channel);
  }
  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override {
    auto controller = viewController_.lock();
    auto window = controller ? controller->window() : nullptr;
    if (call.method() == "windowTitle" && window) {
      result(window->title());
      return;
    }
    result(FlutterMethodNotImplemented());
  }

 private:
  std::weak_ptr<FlutterViewController> viewController_;
};

TEST_F(FlutterAppTest, ViewControllerIsTheRegistryOfItsWindow) {
  auto window = std::make_shared<appkit::Window>(appkit::Rect{{10, 20}, {300, 200}});
  window->setTitle("Main");
  auto viewController = std::make_shared<FlutterViewController>();
  const appkit::Rect frame = window->frame();
  window->setContentViewController(viewController);
  window->setFrame(frame, true);
  EXPECT_EQ(viewController->engine()->viewController(), viewController);

  FlutterPluginRegistry& registry = *viewController;
  auto registrar = registry.registrarForPlugin("WindowPlugin");
  EXPECT_EQ(registrar->viewController(), viewController);
  EXPECT_EQ(registrar->messenger(), viewController->engine()->binaryMessenger());
  WindowPlugin::registerWithRegistrar(*registrar);
  EXPECT_TRUE(registry.hasPlugin("WindowPlugin"));
  EXPECT_FALSE(registry.hasPlugin("Other"));
  registrar->publish("value");
  EXPECT_EQ(registry.valuePublishedByPlugin("WindowPlugin"), fnd::Value("value"));

  auto reply = viewController->engine()->dart().invokeMethod("test/window", "windowTitle", {});
  dispatch::RunLoop::main().runUntilIdle();
  EXPECT_EQ(*reply->envelope(), fnd::Value("Main"));
}

TEST_F(FlutterAppTest, RegistryWorksBeforeTheControllerIsShown) {
  auto viewController = std::make_shared<FlutterViewController>();
  auto registrar = viewController->registrarForPlugin("Early");
  // Asking for a registrar is enough to make the controller its engine's.
  EXPECT_EQ(registrar->viewController(), viewController);
  EXPECT_EQ(registrar->viewController()->window(), nullptr);

  // A controller over a given engine answers with that engine's registry.
  auto engine = std::make_shared<FlutterEngine>("shared");
  engine->registrarForPlugin("Known");
  FlutterViewController over(engine);
  EXPECT_TRUE(over.hasPlugin("Known"));
  EXPECT_EQ(over.engine(), engine);
}

}  // namespace
}  // namespace flutter
