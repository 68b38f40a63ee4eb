// Test support: a fresh, empty temporary home folder for the lifetime of the object.
//
// The constructor makes a new folder under $TMPDIR (or /tmp), named kTestHomePrefix, the process
// id, "-" and a random suffix, makes it the process's home through
// fnd::SetHomeDirectoryOverride (never through the environment, which other threads read) and
// drops the cached preference domains. The destructor first runs every registered flush
// (flush_at_exit.h), so that what shared instances still hold for this home lands in it, then
// drops the cache again, restores the previous home and deletes the folder with everything in it.
// Homes nest: the shared test main gives every test one, and a test may make more.
//
// A child process started by a test does not see the override: give it ChildEnvironment(), which
// names the current home as QUELLMARK_HOME.
//
// Not for production code.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fnd {

inline constexpr const char* kTestHomePrefix = "quellmark-home-";

class ScopedTestHome {
 public:
  ScopedTestHome();
  ~ScopedTestHome();
  ScopedTestHome(const ScopedTestHome&) = delete;
  ScopedTestHome& operator=(const ScopedTestHome&) = delete;

  // The temporary home folder.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::optional<std::string> previous_;
};

// Runs `restore` when it goes out of scope, so global state a test sets (the main bundle's path, a
// registry of shared objects) is put back even when an assertion ends the test early.
class ScopedRestore {
 public:
  explicit ScopedRestore(std::function<void()> restore) : restore_(std::move(restore)) {}
  ~ScopedRestore() {
    if (restore_) restore_();
  }
  ScopedRestore(const ScopedRestore&) = delete;
  ScopedRestore& operator=(const ScopedRestore&) = delete;

 private:
  std::function<void()> restore_;
};

// Set in a child's environment by ChildEnvironment(): the child's test main then keeps the home
// of QUELLMARK_HOME instead of making its own.
inline constexpr const char* kTestChildVariable = "QUELLMARK_TEST_CHILD";

// This process's environment ("NAME=value" entries) with QUELLMARK_HOME naming the current home
// (HomeDirectory()), kTestChildVariable set and `extra` entries added, for a child process.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra = {});

}  // namespace fnd
