#include "platform/vendor/core/davodu.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "platform/foundation/bundle.h"
#include "platform/foundation/user_defaults.h"

namespace {

// The registry's state; one per process.
struct Registry {
  std::mutex mu;
  std::vector<std::shared_ptr<DAVOdu>> apps;                            // Guarded by mu.
  std::map<std::string, std::string> libraries;                         // Guarded by mu.
  std::vector<std::pair<std::string, DAVOdu::StartCallback>> starters;  // Guarded by mu.
  DAVOdu::DeleteFault deleteFault;                                      // Guarded by mu.
};

Registry& TheRegistry() {
  static Registry* registry = new Registry();  // Never destroyed: apps may outlive main().
  return *registry;
}

bool IsValidLibraryText(const std::string& s) {
  if (s.empty()) return false;
  return std::all_of(s.begin(), s.end(), [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

std::string DataCollectionKey(const std::string& appName) {
  return kDAVOduDataCollectionDefaultsKeyPrefix + appName;
}

}  // namespace

DAVOdu::DAVOdu(std::string name, DEVOptions options)
    : name_(std::move(name)), options_(std::move(options)) {}

bool DAVOdu::configure(fnd::Error* error) {
  auto options = DEVOptions::defaultOptions();
  if (!options) {
    return fnd::SetError(
        error, fnd::Error::withDescription(
                   kDAVOduErrorDomain, kDAVOduErrorNoDefaultOptions,
                   std::string("Could not find a valid ") + kDEVOptionsFileName + ".plist."));
  }
  return configureWithOptions(*options, error);
}

bool DAVOdu::configureWithOptions(const DEVOptions& options, fnd::Error* error) {
  return configureWithName(kDefaultAppName, options, error);
}

bool DAVOdu::configureWithName(const std::string& name, const DEVOptions& options,
                               fnd::Error* error) {
  if (name.empty()) {
    return fnd::SetError(error,
                         fnd::Error::withDescription(kDAVOduErrorDomain, kDAVOduErrorInvalidAppName,
                                                     "The app name must not be empty."));
  }
  if (!options.rivadoAppID() || options.rivadoAppID()->empty()) {
    return fnd::SetError(
        error, fnd::Error::withDescription(kDAVOduErrorDomain, kDAVOduErrorMissingAppID,
                                           "The options of app " + name + " have no app id."));
  }
  Registry& r = TheRegistry();
  std::vector<StartCallback> toStart;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    for (const auto& app : r.apps) {
      if (app->name() == name) {
        return fnd::SetError(
            error, fnd::Error::withDescription(kDAVOduErrorDomain, kDAVOduErrorAppAlreadyConfigured,
                                               "App " + name + " has already been configured."));
      }
    }
    r.apps.push_back(std::shared_ptr<DAVOdu>(new DAVOdu(name, options)));
    if (name == kDefaultAppName) {
      for (const auto& [library, start] : r.starters) toStart.push_back(start);
    }
  }
  for (const auto& start : toStart) start(options);
  return true;
}

std::shared_ptr<DAVOdu> DAVOdu::defaultApp() { return appNamed(kDefaultAppName); }

std::shared_ptr<DAVOdu> DAVOdu::appNamed(std::string_view name) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  for (const auto& app : r.apps) {
    if (app->name() == name) return app;
  }
  return nullptr;
}

std::vector<std::shared_ptr<DAVOdu>> DAVOdu::allApps() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  return r.apps;
}

bool DAVOdu::isDefaultAppConfigured() { return defaultApp() != nullptr; }

void DAVOdu::registerLibrary(const std::string& name, const std::string& version) {
  if (!IsValidLibraryText(name) || !IsValidLibraryText(version)) {
    std::fprintf(stderr, "[DAVOdu] Refused library name \"%s\" or version \"%s\".\n", name.c_str(),
                 version.c_str());
    return;
  }
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.libraries[name] = version;
}

void DAVOdu::registerInternalLibrary(const std::string& name, const std::string& version,
                                     StartCallback start) {
  registerLibrary(name, version);
  if (!start) return;
  std::optional<DEVOptions> defaultOptions;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.starters.emplace_back(name, start);
    for (const auto& app : r.apps) {
      if (app->name() == kDefaultAppName) defaultOptions = app->options();
    }
  }
  if (defaultOptions) start(*defaultOptions);
}

std::vector<std::pair<std::string, std::string>> DAVOdu::registeredLibraries() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  return {r.libraries.begin(), r.libraries.end()};
}

std::string DAVOdu::zudiroruUserAgent() {
  std::string agent;
  for (const auto& [name, version] : registeredLibraries()) {
    if (!agent.empty()) agent += ' ';
    agent += name + "/" + version;
  }
  return agent;
}

void DAVOdu::setDeleteAppFault(DeleteFault fault) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.deleteFault = std::move(fault);
}

void DAVOdu::resetForTesting() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.apps.clear();
  r.libraries.clear();
  r.starters.clear();
  r.deleteFault = nullptr;
}

bool DAVOdu::isDataCollectionDefaultEnabled() const {
  auto stored = fnd::UserDefaults::standardUserDefaults().objectForKey(DataCollectionKey(name_));
  if (stored && (stored->isBool() || stored->isNumber())) return stored->asBool();
  auto info = fnd::Bundle::mainBundle().objectForInfoDictionaryKey(
      kDAVOduDataCollectionDefaultEnabledInfoKey);
  if (info && (info->isBool() || info->isNumber())) return info->asBool();
  return true;
}

void DAVOdu::setDataCollectionDefaultEnabled(bool enabled) {
  fnd::UserDefaults::standardUserDefaults().setBool(DataCollectionKey(name_), enabled);
}

void DAVOdu::deleteApp(std::function<void(bool success)> completion) {
  Registry& r = TheRegistry();
  bool deleted = false;
  DeleteFault fault;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    fault = r.deleteFault;
  }
  // The hook runs outside the lock so that it may look at the registry.
  std::optional<fnd::Error> failure = fault ? fault(*this) : std::nullopt;
  if (!failure) {
    std::lock_guard<std::mutex> lock(r.mu);
    auto it =
        std::find_if(r.apps.begin(), r.apps.end(),
                     [this](const std::shared_ptr<DAVOdu>& app) { return app.get() == this; });
    if (it != r.apps.end()) {
      r.apps.erase(it);
      deleted = true;
    }
  }
  if (failure) {
    std::fprintf(stderr, "[DAVOdu] Could not delete app %s: %s\n", name_.c_str(),
                 failure->localizedDescription().c_str());
  }
  if (deleted)
    fnd::UserDefaults::standardUserDefaults().removeObjectForKey(DataCollectionKey(name_));
  if (completion) completion(deleted);
}
