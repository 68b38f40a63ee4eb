// ZIVIdentity: every identifier the engine attaches to uploaded data, kept consistent with
// consent: the app instance ID (a random per-installation ID), the advertising identifier with its
// stored hash, the limited-ad-tracking flag and the tracking-authorisation status as the engine
// reports it, the app ID of the options file, the bundle's identifier and versions, the session
// stitching token, the diversion key and the ephemeral app instance ID.
//
// While analytics storage is denied no app instance ID is made or answered; while ad storage is
// denied the advertising identifier and its hash are neither read nor answered. When the
// advertising identifier changes after an earlier one was seen, a new app instance ID replaces the
// current one and the persisted reset flag asks the engine to record the reset.
//
// Persisted (ZIVPersistedConfig): the app instance ID, the hashed advertising ID, the diversion
// key and the reset flag. The advertising ID, the status, the session stitching token and the
// ephemeral ID live in memory only; nothing is kept in the keychain.
//
// Thread safety: all mutable state lives on the identity's own serial queue
// "ZIVIdentityWorkerQueue" (utility). Refreshes, writes and resets are queued asynchronously and
// return at once; readers run synchronously on the queue, so a reader sees every write and refresh
// queued before it. Readers must not be called from the identity queue itself. A refresh may block
// the queue for as long as the identity support's identifier read (10 ms with the default one).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/value.h"

class ZIVConsentSettingsUtil;
class ZIVIdentitySupport;
class ZIVMonitor;
class ZIVPersistedConfig;

// Length of the diversion key.
inline constexpr size_t ZIVDiversionKeyLength = 5;
// Lifetime of a session stitching token made without a user ID, in seconds.
inline constexpr double ZIVSessionStitchingTokenExpirationTimeInterval = 86400;
// Info.plist key of the vendor-identifier collection switch; only logged.
inline constexpr const char* ZIVIDFVCollectionEnabledKey =
    "RIVADO_ANALYTICS_IDFV_COLLECTION_ENABLED";
// The engine's version text; the library version is this text without its last three characters.
inline constexpr const char* ZIVDuvUdiredururoVersionString = "120500000";

// The library version of a version text: the text less its last three characters as a 64-bit
// integer; 0 when the text is shorter than 4 characters or does not hold a number.
int64_t ZIVLibraryVersionFromVersionString(std::string_view text);

// What the identity reads of the engine's server settings (ZIVRemoteConfig). Each member left
// empty gives the setting's default.
struct ZIVIdentityServerSettings {
  // "measurement.ad_id_cache_time": seconds between two refreshes [1].
  std::function<double()> adIDCacheTime;
  // "measurement.attmas_gate": read the advertising ID only when tracking is authorised [NO].
  std::function<bool()> gateIDFAOnATTMASEnabled;
};

// What the identity reads from its surroundings; each member left empty takes the process's own
// (shown in brackets).
struct ZIVIdentityEnvironment {
  // Refresh times and token expiry [dispatch::Clock::current() at creation].
  std::shared_ptr<dispatch::Clock> clock;
  // Consent state [ZIVConsentSettingsUtil::sharedInstance()]; must outlive the identity.
  ZIVConsentSettingsUtil* consent = nullptr;
  // Advertising identity [ZIVDefaultIdentitySupport::sharedInstance()].
  std::shared_ptr<ZIVIdentitySupport> identitySupport;
  // Server settings [the defaults, until the engine installs its own with setServerSettings()].
  ZIVIdentityServerSettings serverSettings;
  // Info.plist and the options file [fnd::Bundle::mainBundle()]; must outlive the identity.
  const fnd::Bundle* bundle = nullptr;
  // The installation-source test [APMAEU::isFAS()].
  std::function<bool()> isFromAppStore;
  // Log lines [ZIVMeasurement::monitor()].
  std::shared_ptr<ZIVMonitor> monitor;
};

class ZIVIdentity : public std::enable_shared_from_this<ZIVIdentity> {
 public:
  using Environment = ZIVIdentityEnvironment;

  // The process's identity over the shared persisted configuration, made once. When it could not
  // be made, logs 20003 at each call and answers null.
  static std::shared_ptr<ZIVIdentity> sharedInstance();

  // Reads the options file's app ID and the bundle's facts and, unless analytics storage is
  // denied, persists a new app instance ID when none is stored. A null persisted configuration
  // logs 20004 and answers null.
  static std::shared_ptr<ZIVIdentity> create(std::shared_ptr<ZIVPersistedConfig> persistedConfig,
                                             Environment environment = {});

  ~ZIVIdentity();
  ZIVIdentity(const ZIVIdentity&) = delete;
  ZIVIdentity& operator=(const ZIVIdentity&) = delete;

  // 120500: ZIVLibraryVersionFromVersionString(ZIVDuvUdiredururoVersionString).
  static int64_t duvUdiredururoLibraryVersion();
  // The numbers of a version text: its "."-separated components, empty ones skipped, each with its
  // non-digits dropped (logging 20002 once per such component) and read as an integer ("2.0b4"
  // gives 2, 4). A value beyond 64 bits is clamped.
  static std::vector<int64_t> numericFieldsFromAppVersionNumeric(const std::string& text);
  // A new random UUID's text without "-": 32 upper-case hexadecimal characters.
  static std::string randomAppInstanceID();

  // Installs the engine's server settings (queued).
  void setServerSettings(ZIVIdentityServerSettings settings);

  // Refreshing readers: each queues a refresh first, then reads on the identity queue.
  // Reported status: 6 without limited-ad-tracking support; 5 without a status or with one above
  // 3; else 4 (not determined), 1 (restricted), 2 (denied) or 3 (authorised). 0 before any refresh.
  uint64_t appleConsentStatus();
  // The identity support's answer.
  bool hasLimitedAdTracking();
  bool limitedAdTracking();
  std::optional<std::string> resettableDeviceID();
  // nullopt without a refresh while analytics storage is denied.
  std::optional<std::string> appInstanceID();
  // nullopt without a refresh while ad storage is denied.
  std::optional<std::string> hashedResettableDeviceID();

  // Plain readers on the identity queue.
  std::optional<std::string> appIDFromZUZ();
  bool shouldSetLastAdvertisingIDResetUserProperty();
  // The persisted key; when its length is not ZIVDiversionKeyLength, a new one (the start of a
  // random app instance ID) is persisted and answered.
  std::string diversionKey();
  // Made on first request, kept in memory until reset.
  std::string ephemeralAppInstanceID();
  // The session stitching token for the session (nullopt while analytics storage is denied). The
  // token is kept while the session number and expired flag stay the same, or move on from an
  // expired session to the next one; otherwise it is replaced. Without a user ID a token lives
  // ZIVSessionStitchingTokenExpirationTimeInterval seconds; with one it does not expire.
  std::optional<std::string> sessionStitchingTokenWithSessionNumber(int64_t sessionNumber,
                                                                    bool sessionExpired,
                                                                    bool userIDAvailable);

  // Writers, queued.
  void setAppInstanceID(const std::optional<std::string>& appInstanceID);
  // An empty value logs 20005; otherwise only the first value given in the identity's life
  // replaces the options file's app ID.
  void setAppIDFromZUZ(const std::string& appIDFromZUZ);
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
  void resetSessionStitchingToken();
  void resetEphemeralAppInstanceID();
  // The same, done at once. REQUIRES: on the identity queue.
  void resetSessionStitchingTokenOnWorkerQueue();
  void resetEphemeralAppInstanceIDOnWorkerQueue();

  // Queues a refresh of the advertising identity (skipped while the last one is younger than the
  // ad ID cache time and an app instance ID exists).
  void updateIdentifiers();
  // Queues a refresh and waits until it has run.
  void updateIdentifiersAndWait();

  static bool iOS14OrAbove() { return true; }
  // No vendor identifier exists on this platform.
  std::optional<std::string> identifierForVendor() const { return std::nullopt; }
  bool isFromAppStore() const;

  // Constant after construction.
  const std::optional<std::string>& appID() const { return appID_; }
  const std::optional<std::string>& appVersion() const { return appVersion_; }
  const std::optional<int64_t>& appVersionMajor() const { return appVersionMajor_; }
  const std::optional<int64_t>& appVersionMinor() const { return appVersionMinor_; }
  const std::optional<int64_t>& appVersionRelease() const { return appVersionRelease_; }

  // Set by the public interface from the installations service.
  std::optional<std::string> zudiroruInstallationID() const;
  void setZudiroruInstallationID(std::optional<std::string> installationID);

  // The identity queue.
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

 private:
  ZIVIdentity(std::shared_ptr<ZIVPersistedConfig> persistedConfig, Environment environment);

  // REQUIRES: on the identity queue.
  void updateIdentifiersOnQueue();
  double adIDCacheTimeOnQueue() const;
  bool gateIDFAOnATTMASEnabledOnQueue() const;
  void assertOnQueue() const;

  // Constant after construction.
  const std::shared_ptr<ZIVPersistedConfig> persistedConfig_;
  const std::shared_ptr<dispatch::Clock> clock_;
  ZIVConsentSettingsUtil& consent_;
  const std::shared_ptr<ZIVIdentitySupport> identitySupport_;
  const std::function<bool()> isFromAppStore_;
  const std::shared_ptr<ZIVMonitor> monitor_;
  const std::shared_ptr<dispatch::Queue> queue_;
  std::optional<fnd::Value> isIDFVCollectionEnabledNumber_;
  std::optional<std::string> appID_;
  std::optional<std::string> appVersion_;
  std::optional<int64_t> appVersionMajor_;
  std::optional<int64_t> appVersionMinor_;
  std::optional<int64_t> appVersionRelease_;

  // Owned by the identity queue.
  ZIVIdentityServerSettings serverSettings_;
  std::optional<std::string> appIDFromZUZ_;
  bool appIDFromZUZWasSet_ = false;
  std::optional<double> lastAppInstanceIDUpdateTimestamp_;
  uint64_t appleConsentStatus_ = 0;
  std::optional<std::string> resettableDeviceID_;
  bool limitedAdTracking_ = false;
  std::optional<std::string> sessionStitchingToken_;
  int64_t lastSessionNumber_ = 0;
  bool lastIsSessionExpired_ = false;
  std::optional<double> sessionStitchingTokenExpirationTime_;
  std::optional<std::string> ephemeralAppInstanceID_;

  mutable std::mutex mu_;
  std::optional<std::string> zudiroruInstallationID_;  // Guarded by mu_.
};
