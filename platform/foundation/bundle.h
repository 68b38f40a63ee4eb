// The application bundle: a folder holding Info.plist and the resources (such as the default
// options file). The main bundle's folder is macos/Runner/Resources of the source tree this
// program was built from, unless the program was given another one with setMainBundlePath() (the
// --bundle flag) or a test set it.
//
// Thread safety: every method may be called from any thread. Info.plist is read once per folder,
// on first use; a missing or corrupt Info.plist reads as an empty dictionary with a line on
// standard error.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace fnd {

inline constexpr const char* kBundleIdentifierKey = "CFBundleIdentifier";
inline constexpr const char* kBundleShortVersionStringKey = "CFBundleShortVersionString";
inline constexpr const char* kBundleVersionKey = "CFBundleVersion";
inline constexpr const char* kBundleNameKey = "CFBundleName";

class Bundle {
 public:
  // The main bundle. Lives for the whole process; its folder follows setMainBundlePath().
  static Bundle& mainBundle();
  // Points the main bundle at another folder (its Info.plist is read again). An empty path
  // restores the default folder.
  static void setMainBundlePath(std::string path);
  // The default folder of the main bundle.
  static std::string defaultMainBundlePath();

  explicit Bundle(std::string path);
  Bundle(const Bundle&) = delete;
  Bundle& operator=(const Bundle&) = delete;

  std::string bundlePath() const;
  // The running executable (/proc/self/exe resolved), or "" when it cannot be read.
  std::string executablePath() const;

  Dictionary infoDictionary() const;
  // The Info.plist value for a key, or nullopt.
  std::optional<Value> objectForInfoDictionaryKey(std::string_view key) const;
  // "CFBundleIdentifier" when it is a string, else "".
  std::string bundleIdentifier() const;
  // "CFBundleShortVersionString" and "CFBundleVersion" when they are strings, else "".
  std::string shortVersionString() const;
  std::string bundleVersion() const;

  // <bundle>[/subdirectory]/<name>[.<type>] when it exists as a file, else nullopt. An empty type
  // means that `name` is the whole file name. A name holding ".." or starting with "/" is refused.
  std::optional<std::string> pathForResource(std::string_view name, std::string_view type,
                                             std::string_view subdirectory = {}) const;

 private:
  void setPath(std::string path);
  void loadLocked() const;  // REQUIRES: mu_ held.

  mutable std::mutex mu_;
  std::string path_;             // Guarded by mu_.
  mutable bool loaded_ = false;  // Guarded by mu_.
  mutable Dictionary info_;      // Guarded by mu_.
};

}  // namespace fnd
