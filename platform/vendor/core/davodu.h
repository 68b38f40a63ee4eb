// The vendor core framework's app registry: the configured Zudiroru apps (the default app and
// named ones), the libraries announced to it, and the start hook of the analytics library.
//
// An app is made by configure...() and lives until deleteApp(); the registry owns it, callers hold
// shared pointers. Each app keeps a copy of the options it was configured with, and a data
// collection switch that is stored in the standard user defaults so that it survives a restart.
//
// The analytics library announces itself with registerInternalLibrary() and a start callback;
// configuring the default app runs every such callback with the default app's options. This is
// where the analytics engine starts: nothing else in the program starts it.
//
// Thread safety: every method may be called from any thread. Callbacks (start callbacks, the
// delete completion) run on the calling thread, after the registry's lock is released.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/vendor/core/options.h"

// The error domain of the vendor core, and its codes.
inline constexpr const char* kDAVOduErrorDomain = "com.zudiroru.core";
inline constexpr int64_t kDAVOduErrorInvalidAppName = 10;
inline constexpr int64_t kDAVOduErrorAppAlreadyConfigured = 11;
inline constexpr int64_t kDAVOduErrorMissingAppID = 12;
inline constexpr int64_t kDAVOduErrorNoDefaultOptions = 13;
inline constexpr int64_t kDAVOduErrorAppNotConfigured = 14;

// Info.plist key giving the data collection switch of an app that never set it.
inline constexpr const char* kDAVOduDataCollectionDefaultEnabledInfoKey =
    "ZudiroruDataCollectionDefaultEnabled";
// Prefix of the user-defaults key that stores an app's data collection switch; the app name
// follows.
inline constexpr const char* kDAVOduDataCollectionDefaultsKeyPrefix =
    "DAVOduGlobalAppDataCollectionEnabled_";

// The vendor core's own version.
inline constexpr const char* DEVZudiroruVersion = "11.4.0";

class DAVOdu {
 public:
  // The native name of the default app.
  static constexpr const char* kDefaultAppName = "__DAVODU_DEFAULT";

  // Called with the default app's options when the default app is configured.
  using StartCallback = std::function<void(const DEVOptions& options)>;
  // Test hook: decides whether deleteApp() of an app fails; nullopt lets it succeed.
  using DeleteFault = std::function<std::optional<fnd::Error>(const DAVOdu& app)>;

  // Configures the default app from DEVOptions::defaultOptions().
  static bool configure(fnd::Error* error = nullptr);
  // Configures the default app with the given options.
  static bool configureWithOptions(const DEVOptions& options, fnd::Error* error = nullptr);
  // Configures an app under a name. Fails, changing nothing, when the name is empty or already
  // configured, or when the options have no app id. Configuring kDefaultAppName runs the start
  // callbacks of the registered libraries, in registration order.
  static bool configureWithName(const std::string& name, const DEVOptions& options,
                                fnd::Error* error = nullptr);

  // The default app, or nullptr when it is not configured.
  static std::shared_ptr<DAVOdu> defaultApp();
  // The app of that name, or nullptr.
  static std::shared_ptr<DAVOdu> appNamed(std::string_view name);
  // Every configured app, in configuration order.
  static std::vector<std::shared_ptr<DAVOdu>> allApps();
  static bool isDefaultAppConfigured();

  // Announces a library and its version (kept for the user agent). A later announcement of the
  // same name replaces the version. Names and versions must be non-empty and made of letters,
  // digits, "-", "_" and "."; others are refused with a line on standard error.
  static void registerLibrary(const std::string& name, const std::string& version);
  // Announces a library that takes part in start-up. When `start` is given it runs each time the
  // default app is configured, and at once when the default app is configured already.
  static void registerInternalLibrary(const std::string& name, const std::string& version,
                                      StartCallback start);
  // The announced libraries, sorted by name, and the user agent "name/version name/version ...".
  static std::vector<std::pair<std::string, std::string>> registeredLibraries();
  static std::string zudiroruUserAgent();

  // Test support: the delete fault hook (an empty function removes it), and a reset that forgets
  // every app, library, start callback and hook.
  static void setDeleteAppFault(DeleteFault fault);
  static void resetForTesting();

  DAVOdu(const DAVOdu&) = delete;
  DAVOdu& operator=(const DAVOdu&) = delete;

  const std::string& name() const { return name_; }
  // A copy of the options the app was configured with.
  DEVOptions options() const { return options_; }

  // The app's data collection switch: the stored value, else the Info.plist default, else YES.
  bool isDataCollectionDefaultEnabled() const;
  // Sets and stores the switch.
  void setDataCollectionDefaultEnabled(bool enabled);

  // Removes the app from the registry and forgets its stored switch, then calls `completion` with
  // YES. Calls it with NO, changing nothing, when the app is no longer configured (deleted
  // already) or the delete fault hook fails it. A null completion is allowed.
  void deleteApp(std::function<void(bool success)> completion);

 private:
  DAVOdu(std::string name, DEVOptions options);

  const std::string name_;
  const DEVOptions options_;
};
