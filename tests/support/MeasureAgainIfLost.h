#pragma once

#include <cstdio>

// Wine's capture starts, now and then, seconds behind the microphone, and on
// a loaded machine the fixture's own streams lose a moment of sound. A
// real-audio measurement whose signal did not come through whole (for the
// pass-through: heard its output slip) is taken again, at most twice, and
// said so; a fault that is always there still fails.
template <typename Measure, typename Good>
auto MeasureAgainIfLost(const char* what, Measure measure, Good good) -> decltype(measure(0)) {
  auto result = measure(0);
  for (int retry = 1; retry <= 2 && !good(result); ++retry) {
    std::printf("%s: not measured whole, measuring again\n", what);
    result = measure(retry);
  }
  return result;
}
