#include "platform/foundation/process_info.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace fnd {

namespace {

// "Version 14.2 (Build ...)" with the patch only when it is not 0, as the platform writes it.
std::string VersionString(const OperatingSystemVersion& v) {
  std::string text =
      "Version " + std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion);
  if (v.patchVersion != 0) text += "." + std::to_string(v.patchVersion);
  return text;
}

std::string LastComponent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

ProcessInfo& ProcessInfo::processInfo() {
  static ProcessInfo* info = new ProcessInfo();  // Never destroyed.
  return *info;
}

ProcessInfo::ProcessInfo()
    : osVersion_(kDefaultOperatingSystemVersion),
      osVersionString_(kDefaultOperatingSystemVersionString) {}

std::vector<std::string> ProcessInfo::arguments() const {
  std::lock_guard<std::mutex> lock(mu_);
  return arguments_;
}

void ProcessInfo::setArguments(std::vector<std::string> arguments) {
  std::lock_guard<std::mutex> lock(mu_);
  arguments_ = std::move(arguments);
}

void ProcessInfo::setArguments(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc && argv; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  setArguments(std::move(args));
}

bool ProcessInfo::hasArgument(const std::string& argument) const {
  std::lock_guard<std::mutex> lock(mu_);
  return std::find(arguments_.begin(), arguments_.end(), argument) != arguments_.end();
}

Dictionary ProcessInfo::environment() const {
  Dictionary env;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq == std::string::npos) continue;
    env.set(entry.substr(0, eq), entry.substr(eq + 1));
  }
  return env;
}

std::optional<std::string> ProcessInfo::environmentValue(const std::string& name) const {
  const char* v = std::getenv(name.c_str());
  return v ? std::optional<std::string>(v) : std::nullopt;
}

OperatingSystemVersion ProcessInfo::operatingSystemVersion() const {
  std::lock_guard<std::mutex> lock(mu_);
  return osVersion_;
}

std::string ProcessInfo::operatingSystemVersionString() const {
  std::lock_guard<std::mutex> lock(mu_);
  return osVersionString_;
}

bool ProcessInfo::isOperatingSystemAtLeastVersion(const OperatingSystemVersion& v) const {
  OperatingSystemVersion os = operatingSystemVersion();
  if (os.majorVersion != v.majorVersion) return os.majorVersion > v.majorVersion;
  if (os.minorVersion != v.minorVersion) return os.minorVersion > v.minorVersion;
  return os.patchVersion >= v.patchVersion;
}

void ProcessInfo::setOperatingSystemVersion(OperatingSystemVersion version,
                                            std::string versionString) {
  std::lock_guard<std::mutex> lock(mu_);
  osVersion_ = version;
  osVersionString_ = std::move(versionString);
}

bool ProcessInfo::setOperatingSystemVersionText(const std::string& text) {
  OperatingSystemVersion version = ParseVersion(text);
  if (version.majorVersion <= 0) return false;
  setOperatingSystemVersion(version, VersionString(version));
  return true;
}

void ProcessInfo::resetOperatingSystemVersion() {
  setOperatingSystemVersion(kDefaultOperatingSystemVersion, kDefaultOperatingSystemVersionString);
}

std::string ProcessInfo::processName() const {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!arguments_.empty() && !arguments_[0].empty()) return LastComponent(arguments_[0]);
  }
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  return LastComponent(std::string(buf, static_cast<size_t>(n)));
}

int ProcessInfo::processIdentifier() const { return static_cast<int>(getpid()); }

std::string ProcessInfo::hostName() const {
  char buf[HOST_NAME_MAX + 1] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return "";
  return buf;
}

uint64_t ProcessInfo::physicalMemory() const {
  long pages = sysconf(_SC_PHYS_PAGES);
  long size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || size <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(size);
}

unsigned ProcessInfo::processorCount() const {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n > 0) return static_cast<unsigned>(n);
  return std::thread::hardware_concurrency();
}

OperatingSystemVersion ProcessInfo::ParseVersion(const std::string& text) {
  OperatingSystemVersion v;
  int64_t* parts[] = {&v.majorVersion, &v.minorVersion, &v.patchVersion};
  size_t i = 0;
  for (int64_t* part : parts) {
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) break;
    int64_t n = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      if (n < INT64_MAX / 10) n = n * 10 + (text[i] - '0');
      ++i;
    }
    *part = n;
    if (i >= text.size() || text[i] != '.') break;
    ++i;
  }
  return v;
}

ScopedProcessInfoOverride::ScopedProcessInfoOverride(std::vector<std::string> arguments) {
  ProcessInfo& info = ProcessInfo::processInfo();
  savedArguments_ = info.arguments();
  savedVersion_ = info.operatingSystemVersion();
  savedVersionString_ = info.operatingSystemVersionString();
  info.setArguments(std::move(arguments));
}

ScopedProcessInfoOverride::ScopedProcessInfoOverride(std::vector<std::string> arguments,
                                                     OperatingSystemVersion version,
                                                     std::string versionString)
    : ScopedProcessInfoOverride(std::move(arguments)) {
  ProcessInfo::processInfo().setOperatingSystemVersion(version, std::move(versionString));
}

ScopedProcessInfoOverride::~ScopedProcessInfoOverride() {
  ProcessInfo& info = ProcessInfo::processInfo();
  info.setArguments(std::move(savedArguments_));
  info.setOperatingSystemVersion(savedVersion_, std::move(savedVersionString_));
}

}  // namespace fnd
