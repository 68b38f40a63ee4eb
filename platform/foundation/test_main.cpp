// The main of every test executable. Each test runs in a home folder of its own (test_home.h): a
// fresh one is made before the test and, after it, every shared instance is flushed into it before
// it is removed. The main bundle's path is put back after each test. The whole run has a home too,
// so that nothing a shared instance writes between two tests reaches the user's data folder.
//
// A child process that a test starts with ChildEnvironment() (test_home.h) keeps the home it is
// given instead. A child that the test framework itself starts (a death test) makes homes of its
// own and may die before it removes them; after each test the homes of processes that have ended
// are removed.

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/bundle.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/test_home.h"

namespace {

// Removes the test homes under $TMPDIR of processes that no longer run (see the header comment).
void RemoveHomesOfEndedProcesses() {
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = tmp && *tmp ? tmp : "/tmp";
  const std::string prefix = fnd::kTestHomePrefix;
  std::optional<std::vector<std::string>> names = fnd::ListDirectory(folder);
  if (!names) return;
  for (const std::string& name : *names) {
    if (name.rfind(prefix, 0) != 0) continue;
    const pid_t pid = static_cast<pid_t>(std::atoll(name.c_str() + prefix.size()));
    if (pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH) continue;
    // Ignored on purpose: what cannot be removed shows in the check of the test folders.
    (void)fnd::RemoveItem(fnd::JoinPath(folder, name));
  }
}

class HomePerTest : public testing::EmptyTestEventListener {
 public:
  void OnTestStart(const testing::TestInfo&) override {
    home_ = std::make_unique<fnd::ScopedTestHome>();
  }
  void OnTestEnd(const testing::TestInfo&) override {
    home_.reset();
    fnd::Bundle::setMainBundlePath("");
    RemoveHomesOfEndedProcesses();
  }

 private:
  std::unique_ptr<fnd::ScopedTestHome> home_;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (std::getenv(fnd::kTestChildVariable) != nullptr) return RUN_ALL_TESTS();
  // When the run's home is gone, the process's home is a path below a device file, where nothing
  // can be made: a worker thread that still writes in the moment before the process ends fails
  // instead of writing into the user's data folder.
  fnd::SetHomeDirectoryOverride(std::string("/dev/null/quellmark-test-run-ended"));
  int status;
  {
    fnd::ScopedTestHome runHome;
    testing::UnitTest::GetInstance()->listeners().Append(new HomePerTest());
    status = RUN_ALL_TESTS();
  }
  // The run's home is gone. Exit handlers are not run: what they would write has nowhere to go.
  std::fflush(nullptr);
  std::_Exit(status);
}
