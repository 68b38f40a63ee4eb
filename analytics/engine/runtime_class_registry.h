// ZIVRuntimeClassRegistry: the optional components that the engine finds by class name at run time
// instead of linking against them (the platform's tracking-authorisation and advertising-identifier
// services, the engine's own platform identity support). A component is used only when its class
// is registered, and each of its methods only after the object says that it answers the selector.
//
// The process's registry (sharedRegistry()) starts with the optional classes this program links:
// "ZIVPlatformIdentitySupport". The platform services themselves do not exist on Linux; a test
// builds a registry of its own and fills it with stand-ins to reach both branches.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

// An object found at run time.
class ZIVRuntimeObject {
 public:
  virtual ~ZIVRuntimeObject() = default;
  // Whether the object answers the selector (such as "advertisingIdentifier"). Callers ask first
  // and call the matching method only on YES.
  virtual bool respondsToSelector(std::string_view /*selector*/) const { return false; }
};

// A class found by name; its class methods are the methods of this object.
class ZIVRuntimeClass : public ZIVRuntimeObject {
 public:
  virtual std::string className() const = 0;
  // The class method "sharedInstance". REQUIRES: respondsToSelector("sharedInstance").
  virtual std::shared_ptr<ZIVRuntimeObject> sharedInstance() { return nullptr; }
  // Calls the class method of that name that takes no arguments; false when no implementation of
  // it can be obtained (a class may claim a selector it does not implement).
  virtual bool invokeClassMethod(std::string_view /*selector*/) { return false; }
};

class ZIVRuntimeClassRegistry {
 public:
  // The process's registry (see above), made once.
  static ZIVRuntimeClassRegistry& sharedRegistry();

  // An empty registry.
  ZIVRuntimeClassRegistry() = default;
  ZIVRuntimeClassRegistry(const ZIVRuntimeClassRegistry&) = delete;
  ZIVRuntimeClassRegistry& operator=(const ZIVRuntimeClassRegistry&) = delete;

  // The class of that name, or nullptr when it is not present.
  std::shared_ptr<ZIVRuntimeClass> classNamed(std::string_view name) const;
  // Adds a class under its className(), replacing one of the same name. A null class is ignored.
  void registerClass(std::shared_ptr<ZIVRuntimeClass> runtimeClass);
  void removeClass(std::string_view name);

 private:
  mutable std::mutex mu_;
  std::map<std::string, std::shared_ptr<ZIVRuntimeClass>, std::less<>> classes_;  // Guarded by mu_.
};
