// What a process writes just before it exits reaches the disk and the console: a child process
// (this executable started again) sets persisted values, logs a line and exits at once; the test
// then reads the values back from the files as the next launch would.

#include "analytics/foundation/exit_flush.h"

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
#include "platform/foundation/test_home.h"

extern char** environ;

namespace {

constexpr const char* kChildVariable = "QUELLMARK_EXIT_FLUSH_CHILD";

// The child: writes and exits without waiting for any delayed write. It runs as the test
// ExitFlushTest.Child of a second process, so that every static object is made by then.
[[noreturn]] void RunChild() {
  auto config = ZIVPersistedConfig::sharedInstance();
  if (!config) _exit(2);
  config->setAppInstanceID(std::string("0123456789ABCDEF0123456789ABCDEF"));
  config->setDiversionKey(std::string("diversion-key"));
  ZIVMeasurement::monitor()->logWithLevel(1, 99123, "Written just before exit");
  std::exit(0);
}

bool IsChild() { return std::getenv(kChildVariable) != nullptr; }

std::string ExecutablePath() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

// Runs the child in `home`; returns its exit status and what it wrote on standard error.
int RunChildProcess(const std::string& home, std::string* stderrText) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    if (std::string(*entry).rfind("QUELLMARK_HOME=", 0) != 0) environment.emplace_back(*entry);
  }
  environment.push_back(std::string(kChildVariable) + "=1");
  environment.push_back("QUELLMARK_HOME=" + home);
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
  RunChild();
}

TEST(ExitFlushTest, ValuesAndLogLinesWrittenJustBeforeExitSurvive) {
  ASSERT_FALSE(IsChild());
  fnd::ScopedTestHome home;
  std::string stderrText;
  int status = RunChildProcess(home.path(), &stderrText);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  ASSERT_EQ(WEXITSTATUS(status), 0);

  // The next launch finds the identity the first one made.
  auto config = ZIVPersistedConfig::create(kZIVPersistedConfigSuiteName);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->appInstanceID(), "0123456789ABCDEF0123456789ABCDEF");
  EXPECT_EQ(config->diversionKey(), "diversion-key");
  EXPECT_NE(stderrText.find("I-ACS099123"), std::string::npos) << stderrText;
}

TEST(ExitFlushTest, FlushesRunNewestFirstAndSkipDestroyedOwners) {
  std::vector<int> order;
  auto first = std::make_shared<int>(1);
  auto second = std::make_shared<int>(2);
  auto gone = std::make_shared<int>(3);
  ZIVFlushAtExit(first, [&order] { order.push_back(1); });
  ZIVFlushAtExit(gone, [&order] { order.push_back(3); });
  ZIVFlushAtExit(second, [&order] { order.push_back(2); });
  gone.reset();
  ZIVRunExitFlushes();
  // Other live objects of this process may flush too; ours come newest first.
  std::vector<int> ours;
  for (int n : order) ours.push_back(n);
  EXPECT_EQ(ours, (std::vector<int>{2, 1}));
  first.reset();
  second.reset();
}

}  // namespace
