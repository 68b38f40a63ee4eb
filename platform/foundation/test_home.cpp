#include "platform/foundation/test_home.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/foundation/file_system.h"
#include "platform/foundation/preferences.h"

namespace fnd {

ScopedTestHome::ScopedTestHome() {
  if (const char* old = std::getenv("QUELLMARK_HOME")) previous_ = old;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = JoinPath(tmp && *tmp ? tmp : "/tmp", "quellmark-home-XXXXXX");
  if (mkdtemp(pattern.data()) == nullptr) {
    // Without a private folder every test would share state; stop loudly instead.
    std::perror("ScopedTestHome: mkdtemp");
    std::abort();
  }
  path_ = pattern;
  setenv("QUELLMARK_HOME", path_.c_str(), 1);
  PreferencesResetCacheForTesting();
}

ScopedTestHome::~ScopedTestHome() {
  PreferencesResetCacheForTesting();
  if (previous_) {
    setenv("QUELLMARK_HOME", previous_->c_str(), 1);
  } else {
    unsetenv("QUELLMARK_HOME");
  }
  // Best effort: a leftover temporary folder is harmless.
  (void)RemoveItem(path_);
}

}  // namespace fnd
