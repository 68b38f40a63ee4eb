#include "platform/foundation/test_home.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/foundation/file_system.h"
#include "platform/foundation/flush_at_exit.h"
#include "platform/foundation/preferences.h"

extern char** environ;

namespace fnd {

ScopedTestHome::ScopedTestHome() : previous_(HomeDirectoryOverride()) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      JoinPath(tmp && *tmp ? tmp : "/tmp",
               std::string(kTestHomePrefix) + std::to_string(getpid()) + "-XXXXXX");
  if (mkdtemp(pattern.data()) == nullptr) {
    // Without a private folder every test would share state; stop loudly instead.
    std::perror("ScopedTestHome: mkdtemp");
    std::abort();
  }
  path_ = pattern;
  SetHomeDirectoryOverride(path_);
  PreferencesResetCacheForTesting();
}

ScopedTestHome::~ScopedTestHome() {
  // What the shared instances still hold for this home is written before it goes.
  RunFlushes();
  PreferencesResetCacheForTesting();
  SetHomeDirectoryOverride(previous_);
  // Ignored on purpose: a folder that cannot be removed shows in the check of the test folders.
  (void)RemoveItem(path_);
}

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text(*entry);
    if (text.rfind("QUELLMARK_HOME=", 0) == 0 || text.rfind(kTestChildVariable, 0) == 0) continue;
    environment.push_back(text);
  }
  environment.push_back("QUELLMARK_HOME=" + HomeDirectory());
  environment.push_back(std::string(kTestChildVariable) + "=1");
  environment.insert(environment.end(), extra.begin(), extra.end());
  return environment;
}

}  // namespace fnd
