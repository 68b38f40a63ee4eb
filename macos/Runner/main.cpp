// The process entry: hands the arguments to the application and exits with its status.
#include <iostream>

#include "macos/Runner/quellmark_main.h"

int main(int argc, char** argv) {
  return runner::QuellmarkMain(argc, argv, std::cin, std::cout, std::cerr);
}
