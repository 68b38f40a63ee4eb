// The main of every test executable. Each test runs in a home folder of its own (test_home.h): a
// fresh one is made before the test and, after it, every shared instance is flushed into it before
// it is removed. The main bundle's path is put back after each test. The whole run has a home too,
// so that nothing a shared instance writes between two tests reaches the user's data folder.
//
// A child process that a test starts with ChildEnvironment() (test_home.h) keeps the home it is
// given instead.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "platform/foundation/bundle.h"
#include "platform/foundation/flush_at_exit.h"
#include "platform/foundation/test_home.h"

namespace {

class HomePerTest : public testing::EmptyTestEventListener {
 public:
  void OnTestStart(const testing::TestInfo&) override {
    home_ = std::make_unique<fnd::ScopedTestHome>();
  }
  void OnTestEnd(const testing::TestInfo&) override {
    home_.reset();
    fnd::Bundle::setMainBundlePath("");
  }

 private:
  std::unique_ptr<fnd::ScopedTestHome> home_;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (std::getenv(fnd::kTestChildVariable) != nullptr) return RUN_ALL_TESTS();
  int status;
  {
    fnd::ScopedTestHome runHome;
    testing::UnitTest::GetInstance()->listeners().Append(new HomePerTest());
    status = RUN_ALL_TESTS();
  }
  return status;
}
