#include "platform/vendor/virelda/settings.h"

DEVVireldaSettings::DEVVireldaSettings()
    : host_(kDEVVireldaDefaultHost),
      sslEnabled_(true),
      cacheSettings_(
          std::make_shared<DEVPersistentCacheSettings>(kDEVVireldaDefaultCacheSizeBytes)),
      dispatchQueue_(dispatch::Queue::main()) {}
