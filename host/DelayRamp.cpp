#include "host/DelayRamp.h"

#include <cmath>

namespace {
constexpr double kStepMs = 10.0;
}

std::int32_t DelayAt(const DelayRampSpec& ramp, double elapsedSeconds) {
  if (!(elapsedSeconds > 0)) return ramp.fromMs;
  if (elapsedSeconds >= ramp.seconds) return ramp.toMs;
  const double travelled = (ramp.toMs - ramp.fromMs) * (elapsedSeconds / ramp.seconds);
  const double steps = std::trunc(travelled / kStepMs);
  return ramp.fromMs + static_cast<std::int32_t>(steps * kStepMs);
}
