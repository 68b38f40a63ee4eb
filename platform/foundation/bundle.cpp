#include "platform/foundation/bundle.h"

#include <unistd.h>

#include <climits>
#include <cstdio>

#include "platform/foundation/file_system.h"
#include "platform/foundation/property_list.h"

#ifndef QUELLMARK_SOURCE_DIR
#define QUELLMARK_SOURCE_DIR "."
#endif

namespace fnd {

namespace {

constexpr const char* kInfoPlistName = "Info.plist";

bool IsSafeRelativePath(std::string_view p) {
  if (p.empty()) return true;
  if (p.front() == '/' || p.find('\0') != std::string_view::npos) return false;
  size_t start = 0;
  while (start <= p.size()) {
    size_t slash = p.find('/', start);
    std::string_view part =
        p.substr(start, slash == std::string_view::npos ? p.npos : slash - start);
    if (part == "..") return false;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return true;
}

std::string StringValue(const Dictionary& info, const char* key) {
  const Value* v = info.find(key);
  return v && v->isString() ? v->asString() : "";
}

}  // namespace

Bundle& Bundle::mainBundle() {
  static Bundle* bundle = new Bundle(defaultMainBundlePath());  // Never destroyed.
  return *bundle;
}

void Bundle::setMainBundlePath(std::string path) {
  mainBundle().setPath(path.empty() ? defaultMainBundlePath() : std::move(path));
}

std::string Bundle::defaultMainBundlePath() {
  return JoinPath(QUELLMARK_SOURCE_DIR, "macos/Runner/Resources");
}

Bundle::Bundle(std::string path) : path_(std::move(path)) {}

void Bundle::setPath(std::string path) {
  std::lock_guard<std::mutex> lock(mu_);
  path_ = std::move(path);
  loaded_ = false;
  info_.clear();
}

std::string Bundle::bundlePath() const {
  std::lock_guard<std::mutex> lock(mu_);
  return path_;
}

std::string Bundle::executablePath() const {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  return std::string(buf, static_cast<size_t>(n));
}

void Bundle::loadLocked() const {
  if (loaded_) return;
  loaded_ = true;
  info_.clear();
  const std::string file = JoinPath(path_, kInfoPlistName);
  if (!FileExists(file)) return;
  Error error;
  auto value = PropertyList::ReadFile(file, &error);
  if (value && value->isDictionary()) {
    info_ = *value->dictionary();
    return;
  }
  std::fprintf(stderr, "quellmark: bundle %s has an unreadable Info.plist: %s\n", path_.c_str(),
               value ? "its root is not a dictionary" : error.localizedDescription().c_str());
}

Dictionary Bundle::infoDictionary() const {
  std::lock_guard<std::mutex> lock(mu_);
  loadLocked();
  return info_;
}

std::optional<Value> Bundle::objectForInfoDictionaryKey(std::string_view key) const {
  std::lock_guard<std::mutex> lock(mu_);
  loadLocked();
  const Value* v = info_.find(std::string(key));
  return v ? std::optional<Value>(*v) : std::nullopt;
}

std::string Bundle::bundleIdentifier() const {
  std::lock_guard<std::mutex> lock(mu_);
  loadLocked();
  return StringValue(info_, kBundleIdentifierKey);
}

std::string Bundle::shortVersionString() const {
  std::lock_guard<std::mutex> lock(mu_);
  loadLocked();
  return StringValue(info_, kBundleShortVersionStringKey);
}

std::string Bundle::bundleVersion() const {
  std::lock_guard<std::mutex> lock(mu_);
  loadLocked();
  return StringValue(info_, kBundleVersionKey);
}

std::optional<std::string> Bundle::pathForResource(std::string_view name, std::string_view type,
                                                   std::string_view subdirectory) const {
  if (name.empty() || !IsSafeRelativePath(name) || !IsSafeRelativePath(subdirectory) ||
      type.find('/') != std::string_view::npos || type.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  std::string file(name);
  if (!type.empty()) {
    if (type.front() != '.') file += '.';
    file += type;
  }
  std::string path = JoinPath(JoinPath(bundlePath(), subdirectory), file);
  if (!FileExists(path) || IsDirectory(path)) return std::nullopt;
  return path;
}

}  // namespace fnd
