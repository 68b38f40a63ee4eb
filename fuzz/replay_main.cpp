// Replays inputs through a fuzz target without libFuzzer: every file named on the command line,
// and every file inside every folder named there (a missing folder is skipped), is fed once to
// LLVMFuzzerTestOneInput, in name order. A finding aborts, as it does under the fuzzer.
//
// The process runs in a temporary home of its own (QUELLMARK_HOME, HOME and XDG_DATA_HOME point
// into it), set before the target starts any thread, and removed at the end.
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    std::error_code error;
    if (fs::is_directory(arg, error)) {
      std::vector<fs::path> files;
      for (const auto& entry : fs::recursive_directory_iterator(arg)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      inputs.insert(inputs.end(), files.begin(), files.end());
    } else if (fs::is_regular_file(arg, error)) {
      inputs.push_back(arg);
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "no input to replay\n");
    return 1;
  }

  std::string home = (fs::temp_directory_path() / "quellmark-replay-XXXXXX").string();
  if (mkdtemp(home.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  setenv("QUELLMARK_HOME", home.c_str(), 1);
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_DATA_HOME", home.c_str(), 1);

  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  for (const fs::path& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                  std::istreambuf_iterator<char>()};
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", path.c_str(), bytes.size());
    // A copy of exactly the input's size, so that a read past its end is caught by a sanitizer.
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
  }
  std::fprintf(stderr, "%zu inputs replayed\n", inputs.size());
  std::error_code ignored;
  fs::remove_all(home, ignored);
  return 0;
}
