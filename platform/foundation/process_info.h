// Facts about the running process and the machine: launch arguments, environment, operating
// system version, names, memory and processors. Arguments and the OS version can be replaced, so
// that tests and the --flags of the executable decide what the program sees.
//
// The operating system version is the one the program reports and gates features on. The host
// stands for a macOS release, so it is never the Linux kernel's: it is
// kDefaultOperatingSystemVersion unless the bundle's Info.plist or a launch argument names another
// (macos/Runner applies them).
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace fnd {

struct OperatingSystemVersion {
  int64_t majorVersion = 0;
  int64_t minorVersion = 0;
  int64_t patchVersion = 0;
  bool operator==(const OperatingSystemVersion&) const = default;
};

// The macOS release the host reports unless told otherwise.
inline constexpr OperatingSystemVersion kDefaultOperatingSystemVersion{26, 1, 0};
inline constexpr const char* kDefaultOperatingSystemVersionString = "Version 26.1 (Build 25B78)";

class ProcessInfo {
 public:
  // The process's instance. main() gives it the real arguments with setArguments().
  static ProcessInfo& processInfo();

  // The OS version starts at the default; arguments start empty.
  ProcessInfo();
  ProcessInfo(const ProcessInfo&) = delete;
  ProcessInfo& operator=(const ProcessInfo&) = delete;

  // Launch arguments, the program name first.
  std::vector<std::string> arguments() const;
  void setArguments(std::vector<std::string> arguments);
  void setArguments(int argc, const char* const* argv);
  // True when one argument equals `argument` exactly.
  bool hasArgument(const std::string& argument) const;

  // The environment at the time of the call.
  Dictionary environment() const;
  std::optional<std::string> environmentValue(const std::string& name) const;

  // The reported OS version, and its text as the platform writes it ("Version 26.1 (Build 25B78)").
  OperatingSystemVersion operatingSystemVersion() const;
  std::string operatingSystemVersionString() const;
  bool isOperatingSystemAtLeastVersion(const OperatingSystemVersion& version) const;
  // Replaces both (a test's or a flag's OS); the string is taken as given.
  void setOperatingSystemVersion(OperatingSystemVersion version, std::string versionString);
  // Sets the version from a text such as "14.2" or "15.0.1"; false, changing nothing, when the
  // text does not start with a major version above 0.
  bool setOperatingSystemVersionText(const std::string& text);
  // Goes back to the default version.
  void resetOperatingSystemVersion();

  // The program's name: the last component of the first argument, else of /proc/self/exe.
  std::string processName() const;
  int processIdentifier() const;
  std::string hostName() const;
  // Bytes of RAM and online processors; 0 when unknown.
  uint64_t physicalMemory() const;
  unsigned processorCount() const;

  // Parses the leading "major.minor.patch" of a text; missing parts are 0.
  static OperatingSystemVersion ParseVersion(const std::string& text);

 private:
  mutable std::mutex mu_;
  std::vector<std::string> arguments_;  // Guarded by mu_.
  OperatingSystemVersion osVersion_;    // Guarded by mu_.
  std::string osVersionString_;         // Guarded by mu_.
};

// For tests: replaces the shared instance's arguments (and, with the second form, its OS version)
// for the object's lifetime, then puts back what was there.
class ScopedProcessInfoOverride {
 public:
  explicit ScopedProcessInfoOverride(std::vector<std::string> arguments);
  ScopedProcessInfoOverride(std::vector<std::string> arguments, OperatingSystemVersion version,
                            std::string versionString);
  ~ScopedProcessInfoOverride();
  ScopedProcessInfoOverride(const ScopedProcessInfoOverride&) = delete;
  ScopedProcessInfoOverride& operator=(const ScopedProcessInfoOverride&) = delete;

 private:
  std::vector<std::string> savedArguments_;
  OperatingSystemVersion savedVersion_;
  std::string savedVersionString_;
};

}  // namespace fnd
