// ZIVAdExposureReporter: measures how long ad units are on screen. A caller announces the begin
// and the end of each ad unit's exposure by its ID; the reporter reports each unit's exposure as
// the internal event "_xu" (with "_ai", the unit's ID) and the time during which any unit was
// exposed as "_xa", both with "_xt" (milliseconds), origin "am" and a screen's parameters. Open
// exposures are also reported, and restarted, when the screen changes, when the session reporter's
// engagement timer fires and when the application resigns active, so long exposures are cut into
// pieces that follow screens and engagement periods. Pieces shorter than a second are not
// reported.
//
// At most ZIVAdExposureReporterMaxAdUnits IDs are open at once: a begin for a new ID beyond that
// is refused (1002); a begin for an ID already open still counts.
//
// Queues: the open units and start times live on the serial queue "ZIVAdExposureReporter". Begin
// runs asynchronously there, everything else synchronously. Time and screen parameters are taken
// on the calling thread before the queue is entered, and the events are handed to the facade after
// the queue is left, so the reporter never waits for another queue while it holds its own.
//
// Log codes 1000 to 1011 through the monitor.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "analytics/engine/screen.h"
#include "analytics/engine/session_reporter.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/value.h"

class ZIVMonitor;

inline constexpr size_t ZIVAdExposureReporterMaxAdUnits = 100;

// What the reporter reads from its surroundings; each member left empty takes the process's own
// (in brackets).
struct ZIVAdExposureReporterEnvironment {
  // Log lines [ZIVMeasurement::monitor()].
  std::shared_ptr<ZIVMonitor> monitor;
  // Seconds since boot, -1 when the boot time cannot be read [Clock::current()'s uptime].
  std::function<double()> uptime;
  // Where the engagement timer's notification is observed [the default centre].
  fnd::NotificationCenter* notificationCenter = nullptr;
  // The current screen's parameters [ZIVScreenViewReporter::sharedInstance()].
  std::function<fnd::Dictionary()> currentScreenParameters;
  // Whether the application is active [ZIVIsAppActive()].
  std::function<bool()> isAppActive;
  // The facade's internal entry [ZIVAnalytics::sharedInstance()].
  ZIVLogInternalEventFunction logInternalEvent;
};

class ZIVAdExposureReporter : public std::enable_shared_from_this<ZIVAdExposureReporter> {
 public:
  using Environment = ZIVAdExposureReporterEnvironment;

  // The process's reporter, made on first use.
  static const std::shared_ptr<ZIVAdExposureReporter>& sharedInstance();
  // Reporting on, overall exposure starting now, observing the engagement timer.
  static std::shared_ptr<ZIVAdExposureReporter> create(Environment environment = {});
  ~ZIVAdExposureReporter();
  ZIVAdExposureReporter(const ZIVAdExposureReporter&) = delete;
  ZIVAdExposureReporter& operator=(const ZIVAdExposureReporter&) = delete;

  // An empty ID logs 1000. Asynchronous.
  void beginAdUnitExposure(const std::string& adUnitID);
  // An empty ID logs 1003, an unknown one 1004. The last end of a unit reports it, and when no
  // unit is left, the overall exposure.
  void endAdUnitExposure(const std::string& adUnitID);
  // Reports every open exposure with these screen parameters and restarts them.
  void logExposureEventsWithScreenParameters(const fnd::Dictionary& screenParameters);
  // Reports the open exposures with the left screen's parameters (nothing for no screen left).
  void handleScreenDidChangeFromScreen(const ZIVScreenPtr& from, const ZIVScreenPtr& to);
  void handleEngagementTimer(const fnd::Notification& notification);
  // Restarts every open exposure at now.
  void handleAppDidBecomeActive();
  // Reports the open exposures with the given screen's parameters (the current screen's when
  // there is none).
  void handleAppWillResignActiveWithScreen(const ZIVScreenPtr& screen);

  bool isReportingEnabled() const { return reportingEnabled_.load(); }
  void setReportingEnabled(bool enabled) { reportingEnabled_.store(enabled); }
  double currentTime() const;

  // The number of open begins of an ID (0 when not open), read on the queue; after every begin
  // queued so far.
  int adUnitCount(const std::string& adUnitID);
  size_t openAdUnitCount();

 private:
  struct PendingEvent {
    std::string name;
    fnd::Dictionary parameters;
  };
  using PendingEvents = std::vector<PendingEvent>;

  explicit ZIVAdExposureReporter(Environment environment);
  // REQUIRES: on queue_.
  void logExposureEventsOnSerialQueueWithEndTime(double endTime,
                                                 const fnd::Dictionary& screenParameters,
                                                 PendingEvents* out);
  void updateStartTimesOnSerialQueue(double time);
  void logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                 const fnd::Dictionary& screenParameters,
                                                 PendingEvents* out);
  void logAdExposureEventOnSerialQueueWithEndTime(double endTime,
                                                  const fnd::Dictionary& screenParameters,
                                                  PendingEvents* out);
  // Hands the events to the facade; not on queue_.
  void logEvents(const PendingEvents& events);
  void reportAllWithScreenParameters(const fnd::Dictionary& screenParameters);

  // Constant after construction.
  const Environment environment_;
  const std::shared_ptr<ZIVMonitor> monitor_;
  const std::shared_ptr<dispatch::Queue> queue_;

  std::atomic<bool> reportingEnabled_{true};

  // Owned by queue_.
  std::map<std::string, int> adUnitCounts_;
  std::map<std::string, double> adUnitStartTimes_;
  double adExposureStartTime_ = 0;

  fnd::NotificationCenter::Observer engagementObserver_;  // Set once by create().
};

// The public name of the reporter for older callers; no behaviour of its own.
class VIVUAdExposureReporter {
 public:
  static const std::shared_ptr<ZIVAdExposureReporter>& sharedInstance() {
    return ZIVAdExposureReporter::sharedInstance();
  }
};
