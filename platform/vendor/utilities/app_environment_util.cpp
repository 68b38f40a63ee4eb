#include "platform/vendor/utilities/app_environment_util.h"

bool RVLAppEnvironmentUtil::isFromAppStore() { return false; }
