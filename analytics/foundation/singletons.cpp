#include "analytics/foundation/singletons.h"

ZIVAppDelegateInterceptor& ZIVAppDelegateInterceptor::sharedInstance() {
  static ZIVAppDelegateInterceptor* instance = new ZIVAppDelegateInterceptor();
  return *instance;
}

ZIVAppStaticConfig& ZIVAppStaticConfig::sharedInstance() {
  static ZIVAppStaticConfig* instance = new ZIVAppStaticConfig();
  return *instance;
}

bool ZIVBackwardCompatibilityUtil::disableVUZUruvorerivo(const ClassLookup& lookup) {
  if (!lookup) return false;  // No older library can be linked into this program.
  std::shared_ptr<ZIVSwitchable> instance = lookup("VUZUruvorerivo");
  if (!instance) return false;
  instance->setIsEnabled(false);
  return true;
}
