// Rates that a benchmark program measures in one run, kept by name so that its main can print
// ratios to a raw baseline measured in the same run. With --benchmark_repetitions the median of
// the repetitions is used.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench {

// CPU time of the calling thread, in seconds: on a machine shared with other work, the figure
// that CPU-bound code can be compared by.
inline double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

inline std::map<std::string, std::vector<double>>& Rates() {
  static std::map<std::string, std::vector<double>> rates;
  return rates;
}

inline void RecordRate(const std::string& name, double rate) {
  if (rate > 0) Rates()[name].push_back(rate);
}

// The median of the rates recorded under `name`, or 0 when none was.
inline double MedianRate(const std::string& name) {
  auto it = Rates().find(name);
  if (it == Rates().end() || it->second.empty()) return 0;
  std::vector<double> values = it->second;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Prints "label: a / b = ratio (goal)" when both rates were measured.
inline void PrintRatio(const char* label, const std::string& numerator,
                       const std::string& denominator, const char* goal) {
  const double a = MedianRate(numerator);
  const double b = MedianRate(denominator);
  if (a <= 0 || b <= 0) return;
  std::printf("%-58s %12.0f / %12.0f = %5.2f  (%s)\n", label, a, b, a / b, goal);
}

}  // namespace bench
