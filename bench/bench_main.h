// The start of a benchmark program's main that prints figures of its own after the runs.
#pragma once

#include <benchmark/benchmark.h>

namespace bench {

// Runs the benchmarks that the command line selects (Google Benchmark's own flags). False, after
// naming them, when the command line holds arguments that are not such flags.
inline bool RunBenchmarks(int* argc, char** argv) {
  benchmark::Initialize(argc, argv);
  if (benchmark::ReportUnrecognizedArguments(*argc, argv)) return false;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return true;
}

}  // namespace bench
