// The process entry: hands the arguments to the application and exits with its status.
#include <cstdlib>
#include <iostream>

#include "macos/Runner/quellmark_main.h"
#include "platform/foundation/flush_at_exit.h"

int main(int argc, char** argv) {
  const int status = runner::QuellmarkMain(argc, argv, std::cin, std::cout, std::cerr);
  // The engine's worker queues may still be running blocks that read shared tables; destroying
  // static objects under them would crash the exit. Write what is pending, then end without
  // static destruction: work cut off here is what a killed process loses, and no more.
  fnd::RunFlushes();
  std::cout.flush();
  std::cerr.flush();
  std::_Exit(status);
}
