// Test support: a fresh, empty temporary QUELLMARK_HOME for the lifetime of the object.
//
// The constructor makes a new folder under $TMPDIR (or /tmp), points QUELLMARK_HOME at it and
// drops the cached preference domains; the destructor restores the previous QUELLMARK_HOME (or
// unsets it), drops the cache again and deletes the folder with everything in it. Use one per
// test (in a fixture, or at the top of a TEST). Not for production code; not thread-safe with
// other threads reading the environment while it is constructed or destroyed.
#pragma once

#include <optional>
#include <string>

namespace fnd {

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

}  // namespace fnd
