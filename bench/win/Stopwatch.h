#pragma once

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <vector>

// Microseconds from the performance counter.
class Stopwatch {
 public:
  Stopwatch() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    ticksPerMicrosecond = static_cast<double>(frequency.QuadPart) / 1e6;
  }
  double NowUs() const {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / ticksPerMicrosecond;
  }

 private:
  double ticksPerMicrosecond = 1;
};

inline double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}
