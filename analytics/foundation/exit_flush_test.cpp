// What a process writes just before it ends reaches the disk and the console: a child process
// (this executable started again) sets persisted values, logs a line and ends at once, either by
// exit() or by terminating its application and then _exit() (which runs no exit handler); the
// test then reads the values back from the files as the next launch would.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "analytics/engine/measurement.h"
#include "analytics/foundation/monitor.h"
#include "analytics/foundation/persisted_config.h"
#include "platform/appkit/application.h"
#include "platform/foundation/test_home.h"

namespace {

constexpr const char* kChildVariable = "QUELLMARK_EXIT_FLUSH_CHILD";

// How the child ends (the value of kChildVariable).
constexpr const char* kByExit = "exit";
constexpr const char* kByTerminate = "terminate";

// The child: writes and ends without waiting for any delayed write. It runs as the test
// ExitFlushTest.Child of a second process, so that every static object is made by then.
[[noreturn]] void RunChild(const std::string& how) {
  std::shared_ptr<appkit::Application> application = appkit::Application::create();
  auto config = ZIVPersistedConfig::sharedInstance();
  if (!config) _exit(2);
  config->setAppInstanceID(std::string("0123456789ABCDEF0123456789ABCDEF"));
  config->setDiversionKey(std::string("diversion-key"));
  ZIVMeasurement::monitor()->logWithLevel(1, 99123, "Written just before exit");
  if (how == kByTerminate) {
    application->terminate();
    _exit(0);
  }
  std::exit(0);
}

const char* ChildMode() { return std::getenv(kChildVariable); }
bool IsChild() { return ChildMode() != nullptr; }

std::string ExecutablePath() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

// Runs the child in the current home, ending `how`; returns its exit status and what it wrote on
// standard error.
int RunChildProcess(const std::string& how, std::string* stderrText) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  std::vector<std::string> environment =
      fnd::ChildEnvironment({std::string(kChildVariable) + "=" + how});
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string path = ExecutablePath();
  std::string filter = "--gtest_filter=ExitFlushTest.Child";
  char* argv[] = {path.data(), filter.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
    stderrText->append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = -1;
  if (pid > 0) waitpid(pid, &status, 0);
  return status;
}

TEST(ExitFlushTest, Child) {
  if (!IsChild()) GTEST_SKIP() << "runs only in the child process";
  RunChild(ChildMode());
}

TEST(ExitFlushTest, ValuesAndLogLinesWrittenJustBeforeTheEndSurvive) {
  ASSERT_FALSE(IsChild());
  for (const char* how : {kByExit, kByTerminate}) {
    SCOPED_TRACE(how);
    fnd::ScopedTestHome home;
    std::string stderrText;
    int status = RunChildProcess(how, &stderrText);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    ASSERT_EQ(WEXITSTATUS(status), 0);

    // The next launch finds the identity the first one made.
    auto config = ZIVPersistedConfig::create(kZIVPersistedConfigSuiteName);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->appInstanceID(), "0123456789ABCDEF0123456789ABCDEF");
    EXPECT_EQ(config->diversionKey(), "diversion-key");
    EXPECT_NE(stderrText.find("I-ACS099123"), std::string::npos) << stderrText;
  }
}

}  // namespace
