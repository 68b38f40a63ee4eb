// ZIVScreenViewReporter: keeps the application's current and previous screen, turns a
// "screen_view" event logged by the application into the internal screen-view event "_vs" with
// screen parameters, gives other components the current screen's parameters, and forwards
// application activity and screen changes to the session reporter and the ad exposure reporter.
// Automatic screen reporting is off on this platform: screens are known only from "screen_view"
// events (the facade routes them here).
//
// It follows the application's did-become-active, will-resign-active and window-did-resign-key
// notifications from creation until it is destroyed. Before the first activation screen views
// are accepted although the application is not active yet; afterwards an inactive application
// refuses them. Nothing ever marks the application inactive again after the first activation.
//
// Queues: screen state lives on the serial queue "ZIVScreenViewReporter". trackScreen...() writes
// the current screen synchronously there and forwards and logs asynchronously there, holding the
// reporter weakly. Notification handlers run on the posting thread. The reporter never waits for
// another reporter's queue while running on its own except through calls that do not wait back.
//
// Log codes 31000 to 31029 through the monitor.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/engine/screen.h"
#include "analytics/engine/session_reporter.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/value.h"

class ZIVAdExposureReporter;
class ZIVMonitor;
class ZIVRemoteConfig;

// Whether the application is active, as the shared screen reporter knows it.
bool ZIVIsAppActive();
// Automatic screen reporting: always off here.
bool ZIVIsScreenReportingEnabled();

// What the reporter reads from its surroundings; each member left empty takes the process's own
// (in brackets).
struct ZIVScreenViewReporterEnvironment {
  // Log lines [ZIVMeasurement::monitor()].
  std::shared_ptr<ZIVMonitor> monitor;
  // The application notifications [fnd::NotificationCenter::defaultCenter()].
  fnd::NotificationCenter* notificationCenter = nullptr;
  // The start of the instance counter [ZIVNumericUtil::randomInt64()].
  std::function<int64_t()> randomInt64;
  // The engine's session reporter while the engine exists with its components started, else
  // null [ZIVMeasurement::sharedInstance()'s].
  std::function<std::shared_ptr<ZIVSessionReporter>()> sessionReporter;
  // [ZIVAdExposureReporter::sharedInstance()].
  std::function<std::shared_ptr<ZIVAdExposureReporter>()> adExposureReporter;
  // Server settings [ZIVMeasurement::remoteConfig()].
  std::function<std::shared_ptr<ZIVRemoteConfig>()> remoteConfig;
  // The facade's internal entries [ZIVAnalytics::sharedInstance()].
  ZIVLogInternalEventFunction logInternalEvent;
  ZIVLogInternalEventAtTimeFunction logInternalEventAtTime;
};

class ZIVScreenViewReporter : public std::enable_shared_from_this<ZIVScreenViewReporter> {
 public:
  using Environment = ZIVScreenViewReporterEnvironment;

  // The process's reporter, made on first use (observing the default centre).
  static const std::shared_ptr<ZIVScreenViewReporter>& sharedInstance();
  static std::shared_ptr<ZIVScreenViewReporter> create(Environment environment = {});
  ~ZIVScreenViewReporter();
  ZIVScreenViewReporter(const ZIVScreenViewReporter&) = delete;
  ZIVScreenViewReporter& operator=(const ZIVScreenViewReporter&) = delete;

  bool isAppActive() const { return isAppActive_.load(); }
  bool appHasBeenInitialized() const { return appHasBeenInitialized_.load(); }

  // Copies of the current screen's name and class (nullopt where none); either may be null.
  void getScreenName(std::optional<std::string>* screenName,
                     std::optional<std::string>* screenClass);
  ZIVScreenPtr currentScreen();
  // The screen of the last "_vs" logged.
  ZIVScreenPtr previousScreen();

  // An application "screen_view" event: refused with 31026 while inactive after the first
  // activation, 31027 / 31028 for an invalid name / class (nothing changes); otherwise the new
  // screen becomes current at once and "_vs" is logged from the reporter's queue.
  void trackScreenWithParameters(const fnd::Dictionary& parameters, double timestamp);
  // "_si", "_sc", "_sn" of the current screen; empty when there is none, when the application is
  // inactive after the first activation, or while screen parameters are not allowed.
  fnd::Dictionary screenParameters();
  // Only logs 31000: screens cannot be set directly on this platform.
  void setScreenName(const std::optional<std::string>& screenName,
                     const std::optional<std::string>& screenClass);
  // The instance counter plus 1, stored.
  int64_t incrementScreenInstanceID();

  // REQUIRES for the two: on the reporter's queue.
  void postScreenDidChangeNotificationWithPreviousScreen(const ZIVScreenPtr& previous,
                                                         const ZIVScreenPtr& newScreen);
  void logViewScreenEventWithPreviousScreen(const ZIVScreenPtr& previous,
                                            const ZIVScreenPtr& newScreen,
                                            const fnd::Dictionary& parameters);

  // Notification handlers (the posting thread).
  void handleAppDidBecomeActive(const fnd::Notification& notification);
  void handleAppWillResignActive(const fnd::Notification& notification);
  void handleWindowDidResign(const fnd::Notification& notification);
  // Marks the application inactive; subscribed to no notification.
  void handleApplicationDidEnterBackground(const fnd::Notification& notification);

  // Permission flags, all true from creation.
  bool allowScreenParameters() const { return allowScreenParameters_.load(); }
  void setAllowScreenParameters(bool value) { allowScreenParameters_.store(value); }
  bool allowPostScreenDidChangeNotification() const {
    return allowPostScreenDidChangeNotification_.load();
  }
  void setAllowPostScreenDidChangeNotification(bool value) {
    allowPostScreenDidChangeNotification_.store(value);
  }
  bool allowScreenViewEvent() const { return allowScreenViewEvent_.load(); }
  void setAllowScreenViewEvent(bool value) { allowScreenViewEvent_.store(value); }

  // Waits until every block queued on the reporter's queue so far has run.
  void flush();

 private:
  explicit ZIVScreenViewReporter(Environment environment);
  void observe();
  std::shared_ptr<ZIVSessionReporter> sessionReporter() const;
  std::shared_ptr<ZIVAdExposureReporter> adExposureReporter() const;
  bool refusesInactive() const { return !isAppActive() && appHasBeenInitialized(); }

  // Constant after construction.
  const Environment environment_;
  const std::shared_ptr<ZIVMonitor> monitor_;
  const std::shared_ptr<dispatch::Queue> queue_;

  std::atomic<bool> isAppActive_{false};
  std::atomic<bool> appHasBeenInitialized_{false};
  std::atomic<bool> allowScreenParameters_{true};
  std::atomic<bool> allowPostScreenDidChangeNotification_{true};
  std::atomic<bool> allowScreenViewEvent_{true};
  std::atomic<int64_t> currentScreenInstanceID_{0};

  // Owned by queue_.
  ZIVScreenPtr currentScreen_;
  ZIVScreenPtr previousScreen_;

  // Set once by observe(); removed when the reporter goes.
  std::vector<fnd::NotificationCenter::Observer> observers_;
};

// The public name of the screen reporter for older callers; no behaviour of its own.
class VIVUScreenViewReporter {
 public:
  static const std::shared_ptr<ZIVScreenViewReporter>& sharedInstance() {
    return ZIVScreenViewReporter::sharedInstance();
  }
};
