// ZIVSessionReporter: decides when a new session starts, keeps the session number and the time of
// the last session activity (both in the engine's persisted settings), logs the session start "_s"
// and the user engagement "_e" with the foreground time "_et" (milliseconds), and runs the
// "Engagement timer" that reports engagement periodically while the application stays active.
// The engine makes one at start-up and asks it about session expiry; the screen reporter forwards
// application activity and screen changes to it.
//
// Times: session activity is measured in clock time (seconds since 1970); engagement in seconds
// since boot, so that a change of the date does not disturb it. The timer fires on the main queue,
// posts kZIVSessionReporterEngagementTimerDidFire and logs the engagement event, which re-arms it.
// An engagement interval of 0 or less (a server setting) arms no timer at all.
//
// Events and the "_sid"/"_sno" user properties go out through the facade's internal entries.
// Log codes 33001 to 33006 through the monitor.
//
// Thread safety: every method may be called from any thread (the engine's worker queue, the main
// thread, the screen reporter's queue). The reporter's own state is guarded by a mutex that is
// never held while it calls out (facade, timer, persisted settings).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/engine/measurement_components.h"
#include "analytics/engine/screen.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/value.h"

class ZIVAlarm;
class ZIVMonitor;
class ZIVPersistedConfig;
class ZIVRemoteConfig;

// Posted (no object) each time the engagement timer fires.
inline constexpr const char* kZIVSessionReporterEngagementTimerDidFire =
    "kZIVSessionReporterEngagementTimerDidFire";
inline constexpr const char* ZIVSessionReporterEngagementTimerName = "Engagement timer";
// The longest engagement one "_e" reports, in seconds.
inline constexpr double ZIVSessionReporterMaxEngagementTime = 3600;

// The facade's internal entries as the reporters use them.
using ZIVLogInternalEventFunction = std::function<void(
    const std::string& origin, const std::string& name, const fnd::Dictionary& parameters)>;
using ZIVLogInternalEventAtTimeFunction =
    std::function<void(const std::string& origin, const std::string& name, double timestamp,
                       const fnd::Dictionary& parameters)>;
using ZIVSetInternalUserPropertyFunction = std::function<void(
    const std::optional<fnd::Value>& value, const std::string& name, const std::string& origin)>;

// What the reporter reads from its surroundings; each member left empty takes the process's own
// (in brackets).
struct ZIVSessionReporterEnvironment {
  // Clock time and the timer [dispatch::Clock::current() at creation].
  std::shared_ptr<dispatch::Clock> clock;
  // Seconds since boot, -1 when the boot time cannot be read [the clock's uptime].
  std::function<double()> uptime;
  // Log lines [ZIVMeasurement::monitor()].
  std::shared_ptr<ZIVMonitor> monitor;
  // Server settings [ZIVMeasurement::remoteConfig()].
  std::function<std::shared_ptr<ZIVRemoteConfig>()> remoteConfig;
  // Whether the application is active [ZIVIsAppActive()].
  std::function<bool()> isAppActive;
  // The queue the engagement timer fires on [dispatch::Queue::main()].
  std::shared_ptr<dispatch::Queue> timerQueue;
  // Where the timer's notification is posted [fnd::NotificationCenter::defaultCenter()].
  fnd::NotificationCenter* notificationCenter = nullptr;
  // The facade [ZIVAnalytics::sharedInstance()].
  ZIVLogInternalEventFunction logInternalEvent;
  ZIVSetInternalUserPropertyFunction setInternalUserProperty;
};

class ZIVSessionReporter : public ZIVMeasurementSessionReporter,
                           public std::enable_shared_from_this<ZIVSessionReporter> {
 public:
  using Environment = ZIVSessionReporterEnvironment;

  // `initWithPersistedConfig:`. The timeout is the persisted session timeout when one is stored
  // (which is then removed; a negative one logs 33001 and is 0), else the server's default; both
  // engagement starts are now.
  static std::shared_ptr<ZIVSessionReporter> initWithPersistedConfig(
      std::shared_ptr<ZIVPersistedConfig> persistedConfig, Environment environment = {});
  ~ZIVSessionReporter() override;
  ZIVSessionReporter(const ZIVSessionReporter&) = delete;
  ZIVSessionReporter& operator=(const ZIVSessionReporter&) = delete;

  // ---- Settings.

  bool reportingEnabled() const;
  // false cancels the timer; true while the application is active and no timer is armed arms it.
  void setReportingEnabled(bool enabled) override;
  double timeoutSessionInterval() const;
  // A negative value (or not a number) logs 33001 and 0 is used. The session is first tested for
  // expiry with the old interval.
  void setTimeoutSessionInterval(double seconds) override;

  // ---- Session state.

  // |now - last session activity| > timeout.
  bool hasReachedSessionTimeout();
  bool shouldStartNewSession() override;
  // false while the application is active or the timeout is not reached; otherwise true, and a
  // last activity time above 0 becomes 0.
  bool isSessionExpired() override;
  bool sessionExpired() { return isSessionExpired(); }
  // false when expired; otherwise the last activity becomes now.
  bool extendSession() override;
  std::shared_ptr<ZIVUserAttribute> sessionIDPropertyWithTimestamp(double timestamp) override;
  std::shared_ptr<ZIVUserAttribute> sessionNumberProperty() override;
  // Session number + 1; last activity = now.
  void updatePropertiesForNewSessionStart() override;
  // The internal user properties "_sid" and "_sno" (origin "auto") through the facade; nullopt
  // removes them.
  void setSessionID(const std::optional<fnd::Value>& sessionID,
                    const std::optional<fnd::Value>& sessionNumber);

  // ---- Events.

  // "_s" with "_sid" (now, whole seconds) and "_sno"; 33005 when the application is not active,
  // nothing when reporting is off.
  void logSessionStartEvent();
  // The engagement event without a screen, not redundant.
  void logUserEngagementEvent();
  // "_e" with "_et" (capped at an hour), the screen's parameters and, when redundant under
  // efficient reporting, "_fr". Returns "_et" (0 with reporting off). 33006 and 0 when the
  // application is not active. Restarts the engagement period and the timer.
  int64_t logEngagementEventAndReturnTimeWithScreen(const ZIVScreenPtr& screen, bool isRedundant);

  // ---- Application and screens (from the screen reporter).

  void handleAppDidBecomeActive();
  void handleAppWillResignActiveWithScreen(const ZIVScreenPtr& screen);
  void handleScreenDidChangeFromScreen(const ZIVScreenPtr& from, const ZIVScreenPtr& to);

  // ---- Timer and engagement time.

  // Arms the timer for the server's engagement interval; an interval of 0 or less (or not a
  // number) cancels it and arms nothing.
  void rescheduleUserEngagementTimer();
  // Whether the engagement timer is armed.
  bool hasActiveEngagementTimer() const;
  // Seconds of engagement since the period's start (the free-ride start under efficient
  // reporting); a negative result logs 33004 and gives 0.
  double incurredEngagementTime();
  // 0 without efficient reporting; else the engagement in milliseconds, and the free-ride period
  // restarts.
  int64_t cutFreerideEngagementTimeMillis();
  double currentUptime() const;
  double currentClockTime() const;

 private:
  ZIVSessionReporter(std::shared_ptr<ZIVPersistedConfig> persistedConfig, Environment environment);
  bool isAppActive() const;
  std::shared_ptr<ZIVRemoteConfig> settings() const;
  bool efficientEngagementReportingEnabled() const;
  void logInternalEvent(const std::string& name, const fnd::Dictionary& parameters);

  // Constant after construction.
  const std::shared_ptr<ZIVPersistedConfig> persistedConfig_;
  const Environment environment_;
  const std::shared_ptr<ZIVMonitor> monitor_;
  const std::shared_ptr<ZIVAlarm> userEngagementTimer_;

  mutable std::mutex mu_;
  // Guarded by mu_.
  double engagementStartUptime_ = 0;
  double freerideEngagementStartUptime_ = 0;
  bool reportingEnabled_ = false;
  double timeoutSessionInterval_ = 0;
};

// `ZIVCreateSessionStartEvent`: "_s" of origin "auto" at `timestamp` with "_sid" (the timestamp,
// whole seconds) and "_sno"; with `appInBackground` also "_aib" = 1, otherwise the current
// screen's parameters (`screenParameters`, empty for none).
std::shared_ptr<ZIVEvent> ZIVCreateSessionStartEvent(int64_t sessionNumber, bool appInBackground,
                                                     double timestamp,
                                                     const fnd::Dictionary& screenParameters);
