// ZIVPersistedConfig: the engine's small persisted values (identifiers, upload and back-off
// times, session counters, campaign and deep-link state, configuration validators), each under a
// fixed key beginning "/rivado/measurement/", in a ZIVPersistentDictionary named after the suite.
// measurementEnabledState alone lives in the shared preference store.
//
// A value never set reads as 0, 0.0, false or nullopt by its type. Every write arms a flush one
// second later on the settings queue "ZIVPersistedConfig", replacing the flush armed before, so a
// burst of writes ends in one flush one second after the last of them.
//
// Thread safety: every method may be called from any thread except from the settings queue
// itself. Reads and writes are serialised on the settings queue with synchronous dispatch; the
// pending flush is guarded by a mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

class ZIVMonitor;
class ZIVPersistentDictionary;
class ZIVUserDefaults;

// The engine's suite: the name of the backing file, and of the old preference suite it replaced.
inline constexpr const char* kZIVPersistedConfigSuiteName = "com.rivado.measurement";

class ZIVPersistedConfig : public std::enable_shared_from_this<ZIVPersistedConfig> {
 public:
  // The process's instance over kZIVPersistedConfigSuiteName, made once; nullptr (logging 27001)
  // when it could not be made.
  static std::shared_ptr<ZIVPersistedConfig> sharedInstance();

  // An instance over the suite: moves an old preference file of that name into the engine's
  // folder, then opens the backing dictionary. nullptr for an empty name or when the dictionary
  // cannot be opened. `clock` times the flushes (dispatch::Clock::current() when null);
  // `preferences` holds measurementEnabledState (the shared preference store when null);
  // `monitor` gets the log lines (ZIVMeasurement::monitor() when null).
  static std::shared_ptr<ZIVPersistedConfig> create(
      const std::string& suiteName, std::shared_ptr<dispatch::Clock> clock = nullptr,
      ZIVUserDefaults* preferences = nullptr, std::shared_ptr<ZIVMonitor> monitor = nullptr);
  ~ZIVPersistedConfig();
  ZIVPersistedConfig(const ZIVPersistedConfig&) = delete;
  ZIVPersistedConfig& operator=(const ZIVPersistedConfig&) = delete;

  const std::string& suiteName() const { return suiteName_; }
  const std::shared_ptr<ZIVPersistentDictionary>& backingStore() const { return store_; }

  // Typed reads by key; a value of another kind reads as never set.
  bool boolForKey(const std::string& key);
  int64_t int64ForKey(const std::string& key);
  // Reads from the backing store, or from `preferences` when given.
  int64_t int64ForKey(const std::string& key, ZIVUserDefaults* preferences);
  double doubleForKey(const std::string& key);
  std::optional<std::string> stringForKey(const std::string& key);
  std::optional<fnd::Dictionary> dictionaryForKey(const std::string& key);
  std::optional<fnd::Value> numberForKey(const std::string& key);

  // Typed writes by key; each arms a flush. A nullopt removes the key. setDictionary() with a
  // value the store refuses logs 27002 and arms nothing.
  void setBool(bool value, const std::string& key);
  void setInt64(int64_t value, const std::string& key);
  void setDouble(double value, const std::string& key);
  void setString(const std::optional<std::string>& value, const std::string& key);
  void setDictionary(const std::optional<fnd::Dictionary>& value, const std::string& key);
  void setNumber(const std::optional<fnd::Value>& value, const std::string& key);

  // Removes every value of the backing store (not measurementEnabledState).
  void clearValues();

  // Replaces the armed flush with one a second from now.
  void scheduleSynchronizeToDisk();
  // Forgets the armed flush.
  void cancelScheduledSynchronize();
  // On the main thread arms a flush; elsewhere writes pending changes now.
  void synchronizeToDisk();
  // True while a flush is armed.
  bool hasScheduledSynchronize() const;
  // How many armed flushes have run.
  uint64_t synchronizeCount() const;

  // The values. Timestamps are seconds since 1970 unless the name says milliseconds.
  double lastDeleteStaleBundlesTimestamp();
  void setLastDeleteStaleBundlesTimestamp(double value);
  // Any stored object as it is; the setter stores numbers only and ignores anything else.
  std::optional<fnd::Value> searchAdCampaignValue();
  void setSearchAdCampaignValue(const std::optional<fnd::Value>& value);
  double lastSearchAdLookUpTimestamp();
  void setLastSearchAdLookUpTimestamp(double value);
  int64_t searchAdRetryCount();
  void setSearchAdRetryCount(int64_t value);
  std::optional<std::string> appInstanceID();
  void setAppInstanceID(const std::optional<std::string>& value);
  std::optional<std::string> appIDFromZUZ();
  void setAppIDFromZUZ(const std::optional<std::string>& value);
  std::optional<std::string> appIDFromVaZuv();
  void setAppIDFromVaZuv(const std::optional<std::string>& value);
  std::optional<std::string> hashedResettableDeviceID();
  void setHashedResettableDeviceID(const std::optional<std::string>& value);
  std::optional<std::string> diversionKey();
  void setDiversionKey(const std::optional<std::string>& value);
  // 0 not set, 1 enabled, 2 disabled; in the preference store, synchronised at once.
  int64_t measurementEnabledState();
  void setMeasurementEnabledState(int64_t value);
  double lastBackoffTimestamp();
  void setLastBackoffTimestamp(double value);
  double lastSuccessfulUploadTimestamp();
  void setLastSuccessfulUploadTimestamp(double value);
  double lastFailedUploadTimestamp();
  void setLastFailedUploadTimestamp(double value);
  std::optional<std::string> appVersion();
  void setAppVersion(const std::optional<std::string>& value);
  std::optional<std::string> osVersion();
  void setOsVersion(const std::optional<std::string>& value);
  // Seconds in [0, 86400) with millisecond steps, drawn and stored at the first read, so fixed
  // per installation. Concurrent first reads agree.
  double midnightOffset();
  double lastMonitorDataSampledTimestamp();
  void setLastMonitorDataSampledTimestamp(double value);
  int64_t firstOpenTimestampMilliseconds();
  void setFirstOpenTimestampMilliseconds(int64_t value);
  std::optional<std::string> configServerLastModifiedString();
  void setConfigServerLastModifiedString(const std::optional<std::string>& value);
  std::optional<std::string> configServerETag();
  void setConfigServerETag(const std::optional<std::string>& value);
  int64_t configZUZVersion();
  void setConfigZUZVersion(int64_t value);
  std::optional<fnd::Value> loadTimestampValue();
  void setLoadTimestampValue(const std::optional<fnd::Value>& value);
  std::optional<fnd::Value> allowPersonalizedAds();
  void setAllowPersonalizedAds(const std::optional<fnd::Value>& value);
  std::optional<std::string> zudiroruFeatureRollouts();
  void setZudiroruFeatureRollouts(const std::optional<std::string>& value);
  std::optional<fnd::Value> deferredDeepLinkRetrievalComplete();
  void setDeferredDeepLinkRetrievalComplete(const std::optional<fnd::Value>& value);
  int64_t deferredDeepLinkRetryCount();
  void setDeferredDeepLinkRetryCount(int64_t value);
  bool shouldSetLastAdvertisingIDResetUserProperty();
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
  int64_t unmatchedFirstOpenWithoutIDFA();
  void setUnmatchedFirstOpenWithoutIDFA(int64_t value);
  std::optional<fnd::Value> previousFirstOpenCount();
  void setPreviousFirstOpenCount(const std::optional<fnd::Value>& value);
  std::optional<std::string> previousBundledConsentSignals();
  void setPreviousBundledConsentSignals(const std::optional<std::string>& value);
  // The serialised campaign message, stored as it is.
  std::optional<fnd::Value> adCampaignInfoBuffer();
  void setAdCampaignInfoBuffer(const std::optional<fnd::Value>& value);
  std::optional<fnd::Value> PSMHashedInputData();
  void setPSMHashedInputData(const std::optional<fnd::Value>& value);
  int64_t PSMInputType();
  void setPSMInputType(int64_t value);
  std::optional<fnd::Value> PSMCurrentDay();
  void setPSMCurrentDay(const std::optional<fnd::Value>& value);
  double lastSessionActivityClockTime();
  void setLastSessionActivityClockTime(double value);
  int64_t sessionNumber();
  void setSessionNumber(int64_t value);
  std::optional<fnd::Value> sessionTimeoutValue();
  void setSessionTimeoutValue(const std::optional<fnd::Value>& value);
  std::optional<fnd::Dictionary> defaultEventParameters();
  void setDefaultEventParameters(const std::optional<fnd::Dictionary>& value);
  int64_t lastUploadedEventTimestampMillis();
  void setLastUploadedEventTimestampMillis(int64_t value);
  int64_t SKANEvaluationEventTimeMillis();
  void setSKANEvaluationEventTimeMillis(int64_t value);
  int64_t SKANEvaluationUpdateBackoffMillis();
  void setSKANEvaluationUpdateBackoffMillis(int64_t value);

 private:
  ZIVPersistedConfig(std::string suiteName, std::shared_ptr<ZIVPersistentDictionary> store,
                     std::shared_ptr<dispatch::Clock> clock, ZIVUserDefaults& preferences,
                     std::shared_ptr<ZIVMonitor> monitor);

  // The object stored under the key, read on the settings queue.
  std::optional<fnd::Value> objectForKey(const std::string& key);
  // Stores (or, for nullopt, removes) the object on the settings queue, optionally arming a
  // flush. Returns false when the store refused the value.
  bool setObject(const std::optional<fnd::Value>& value, const std::string& key, bool flush);

  // Constant after construction.
  const std::string suiteName_;
  const std::shared_ptr<ZIVPersistentDictionary> store_;
  const std::shared_ptr<dispatch::Queue> settingsQueue_;
  ZIVUserDefaults& preferences_;
  const std::shared_ptr<ZIVMonitor> monitor_;

  mutable std::mutex mu_;
  std::shared_ptr<bool> pendingFlush_;  // Guarded by mu_; *pendingFlush_ is true once cancelled.
  uint64_t synchronizeCount_ = 0;       // Guarded by mu_.
};
