#include "platform/foundation/preferences.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "platform/foundation/bundle.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/flush_at_exit.h"
#include "platform/foundation/property_list.h"

namespace fnd {

namespace {

constexpr const char* kFallbackApplicationID = "quellmark";
constexpr const char* kPreferencesFolder = "Preferences";
constexpr mode_t kPreferencesFileMode = 0644;
constexpr int64_t kInvalidAppIDError = 4;  // NSFileNoSuchFileError: there is no file to use.

// The cached contents of one preferences file, with the changes not yet written to it.
class Domain {
 public:
  explicit Domain(std::string path) : path_(std::move(path)) {}

  std::optional<Value> get(const std::string& key) {
    std::lock_guard<std::mutex> lock(mu_);
    loadLocked();
    const Value* v = values_.find(key);
    return v ? std::optional<Value>(*v) : std::nullopt;
  }

  void apply(const Dictionary& toSet, const std::vector<std::string>& toRemove) {
    std::lock_guard<std::mutex> lock(mu_);
    loadLocked();
    for (const auto& [k, v] : toSet) {
      values_.set(k, v);
      pending_[k.asString()] = v;
    }
    for (const auto& k : toRemove) {
      values_.erase(k);
      pending_[k] = std::nullopt;
    }
  }

  Dictionary copy() {
    std::lock_guard<std::mutex> lock(mu_);
    loadLocked();
    return values_;
  }

  // Merges the pending changes into what the file holds now and writes it; with no pending
  // change, re-reads the file. A file that exists but cannot be read (as opposed to one that is
  // not a property list) is never overwritten: its keys would be lost.
  bool synchronize(Error* error) {
    std::lock_guard<std::mutex> lock(mu_);
    loaded_ = false;
    Error readError;
    if (loadLocked(&readError) == Load::kUnreadable && !pending_.empty()) {
      return SetError(error, std::move(readError));
    }
    if (pending_.empty()) return true;
    Error writeError;
    if (!CreateDirectories(DirectoryName(path_), &writeError) ||
        !PropertyList::WriteFile(Value(values_), path_, PropertyListFormat::kXML,
                                 kPreferencesFileMode, &writeError)) {
      return SetError(error, std::move(writeError));
    }
    pending_.clear();
    return true;
  }

  bool hasPending() {
    std::lock_guard<std::mutex> lock(mu_);
    return !pending_.empty();
  }

 private:
  enum class Load { kOk, kCorrupt, kUnreadable };

  // Reads the file into values_ and re-applies the pending changes. A corrupt or unreadable file
  // gives empty values and one line on standard error per distinct file state.
  // REQUIRES: mu_ held.
  Load loadLocked(Error* error = nullptr) {
    if (loaded_) return Load::kOk;
    loaded_ = true;
    values_.clear();
    Load result = Load::kOk;
    struct stat st;
    if (stat(path_.c_str(), &st) == 0) {
      Error readError;
      auto value = PropertyList::ReadFile(path_, &readError);
      if (value && value->isDictionary()) {
        values_ = *value->dictionary();
      } else {
        result = value || readError.code() == PropertyList::kReadCorruptError ? Load::kCorrupt
                                                                              : Load::kUnreadable;
        const std::string reason =
            value ? "its root is not a dictionary" : readError.localizedDescription();
        const std::string state = std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) +
                                  ":" + std::to_string(st.st_mtim.tv_sec) + "." +
                                  std::to_string(st.st_mtim.tv_nsec);
        if (state != reportedState_) {
          reportedState_ = state;
          std::fprintf(stderr,
                       "quellmark: preferences file %s is unreadable, using empty values: %s\n",
                       path_.c_str(), reason.c_str());
        }
        if (!value) SetError(error, std::move(readError));
      }
    }
    for (const auto& [k, v] : pending_) {
      if (v) {
        values_.set(k, *v);
      } else {
        values_.erase(k);
      }
    }
    return result;
  }

  const std::string path_;

  std::mutex mu_;
  bool loaded_ = false;  // Guarded by mu_.
  Dictionary values_;    // Guarded by mu_: the file's values with the pending changes applied.
  std::map<std::string, std::optional<Value>> pending_;  // Guarded by mu_; nullopt = removed.
  std::string reportedState_;  // Guarded by mu_: the bad file state last logged.
};

class Registry {
 public:
  static Registry& instance() {
    // Never destroyed, so that threads still running at exit find it; pending changes are
    // written by the exit handler instead.
    static Registry* registry = [] {
      auto* r = new Registry();
      // Owned for ever, like the registry itself.
      static const auto* owner = new std::shared_ptr<const void>(std::make_shared<int>(0));
      FlushAtExit(*owner, [] { Registry::instance().flushAll(); });
      return r;
    }();
    return *registry;
  }

  std::shared_ptr<Domain> domain(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    auto& d = domains_[path];
    if (!d) d = std::make_shared<Domain>(path);
    return d;
  }

  void reset() {
    std::lock_guard<std::mutex> lock(mu_);
    domains_.clear();
  }

  void flushAll() {
    std::map<std::string, std::shared_ptr<Domain>> domains;
    {
      std::lock_guard<std::mutex> lock(mu_);
      domains = domains_;
    }
    for (auto& [path, d] : domains) {
      if (d->hasPending()) {
        Error error;
        if (!d->synchronize(&error)) {
          std::fprintf(stderr, "quellmark: could not write preferences %s: %s\n", path.c_str(),
                       error.localizedDescription().c_str());
        }
      }
    }
  }

 private:
  std::mutex mu_;
  std::map<std::string, std::shared_ptr<Domain>> domains_;  // Guarded by mu_; by file path.
};

std::string ResolveAppID(std::string_view appID) {
  if (appID == kPreferencesCurrentApplication) return PreferencesCurrentApplicationID();
  return std::string(appID);
}

std::shared_ptr<Domain> DomainFor(std::string_view appID, Error* error) {
  std::string id = ResolveAppID(appID);
  std::string path = PreferencesFilePath(id);
  if (path.empty()) {
    SetError(error, Error::withDescription(kCocoaErrorDomain, kInvalidAppIDError,
                                           "Invalid preferences application id \"" + id + "\""));
    return nullptr;
  }
  return Registry::instance().domain(path);
}

}  // namespace

std::string PreferencesCurrentApplicationID() {
  std::string id = Bundle::mainBundle().bundleIdentifier();
  return id.empty() ? kFallbackApplicationID : id;
}

std::string PreferencesFilePath(std::string_view appID) {
  std::string id = ResolveAppID(appID);
  if (id.empty() || id == "." || id == ".." || id.find('/') != std::string::npos ||
      id.find('\0') != std::string::npos) {
    return "";
  }
  // The folder is made when the file is first written, not on every read.
  return JoinPath(JoinPath(HomeDirectory(), kPreferencesFolder), id + ".plist");
}

std::optional<Value> PreferencesCopyAppValue(std::string_view key, std::string_view appID) {
  auto domain = DomainFor(appID, nullptr);
  if (!domain) return std::nullopt;
  return domain->get(std::string(key));
}

bool PreferencesSetAppValue(std::string_view key, std::optional<Value> value,
                            std::string_view appID, Error* error) {
  Dictionary toSet;
  std::vector<std::string> toRemove;
  if (value) {
    toSet.set(std::string(key), std::move(*value));
  } else {
    toRemove.emplace_back(key);
  }
  return PreferencesSetMultiple(toSet, toRemove, appID, error);
}

bool PreferencesSetMultiple(const Dictionary& toSet, const std::vector<std::string>& toRemove,
                            std::string_view appID, Error* error) {
  // Checking the whole dictionary also refuses non-string keys.
  if (!PropertyList::IsValid(Value(toSet), error)) return false;
  auto domain = DomainFor(appID, error);
  if (!domain) return false;
  domain->apply(toSet, toRemove);
  return true;
}

bool PreferencesAppSynchronize(std::string_view appID, Error* error) {
  auto domain = DomainFor(appID, error);
  if (!domain) return false;
  return domain->synchronize(error);
}

std::vector<std::string> PreferencesCopyKeyList(std::string_view appID) {
  std::vector<std::string> keys;
  for (const auto& [k, v] : PreferencesCopyDomain(appID)) keys.push_back(k.asString());
  return keys;
}

Dictionary PreferencesCopyDomain(std::string_view appID) {
  auto domain = DomainFor(appID, nullptr);
  return domain ? domain->copy() : Dictionary();
}

void PreferencesResetCacheForTesting() { Registry::instance().reset(); }

}  // namespace fnd
