// Three small shared objects of the engine: the application-delegate interceptor and the static
// app configuration (plain objects made once), and the switch that turns off an older analytics
// library when it is linked into the same process.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

class ZIVAppDelegateInterceptor {
 public:
  static ZIVAppDelegateInterceptor& sharedInstance();
};

class ZIVAppStaticConfig {
 public:
  static ZIVAppStaticConfig& sharedInstance();
};

// An object that can be switched off: what an older analytics library offers through its shared
// instance.
class ZIVSwitchable {
 public:
  virtual ~ZIVSwitchable() = default;
  virtual void setIsEnabled(bool enabled) = 0;
};

class ZIVBackwardCompatibilityUtil : public ZIVSwitchable {
 public:
  // Finds the shared instance of a class by name; nullptr when the class is not present or has
  // no shared instance.
  using ClassLookup = std::function<std::shared_ptr<ZIVSwitchable>(const std::string& className)>;

  // When the class "VUZUruvorerivo" is present and has a shared instance, switches that instance
  // off and returns true; otherwise false. `lookup` defaults to the process's registry, in which
  // no such class exists on this platform.
  static bool disableVUZUruvorerivo(const ClassLookup& lookup = nullptr);

  // This class's own shared instance: none.
  static std::shared_ptr<ZIVBackwardCompatibilityUtil> sharedInstance() { return nullptr; }
  // Does nothing.
  void setIsEnabled(bool /*enabled*/) override {}
};
