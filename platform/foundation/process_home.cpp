// Linked into the programs that serve development but are not the product (benchmarks, fuzz
// targets): before main() the process gets a temporary home folder of its own (test_home.h), and at
// normal exit every pending write is flushed into it and it is removed, so that nothing these
// programs do reaches the user's data folder.

#include <cstdlib>

#include "platform/foundation/test_home.h"

namespace {

fnd::ScopedTestHome* processHome = nullptr;

const bool kProcessHomeMade = [] {
  processHome = new fnd::ScopedTestHome();
  std::atexit([] {
    delete processHome;
    processHome = nullptr;
  });
  return true;
}();

}  // namespace
