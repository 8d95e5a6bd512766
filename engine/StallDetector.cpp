#include "engine/StallDetector.h"

#include <algorithm>
#include <cmath>

void StallDetector::Restart() {
  sinceStall = 0;
  dropPending = false;
  stalledBefore = false;
}

double StallDetector::Note(const CursorLine& play, double lineBefore, double gapSeconds, double blockSeconds) {
  const auto rate = static_cast<double>(sampleRate);
  const std::size_t readings = play.Readings();
  bool stalled = readings > 1 && gapSeconds > blockSeconds + tuning.lateSeconds;
  if (!dropPending && readings > 1 && lineBefore - (play.Line() - play.Lag()) > tuning.stoodStillSeconds * rate) {
    stalled = true;
  }
  if (stalled) {
    if (!stalledBefore) ++stalls;
    sinceStall = 0;
    dropPending = readings > tuning.dropReadings;
  }
  stalledBefore = stalled;
  sinceStall = std::min(sinceStall + 1, readings);
  if (!dropPending || sinceStall != tuning.catchUpReadings + tuning.dropReadings) return 0.0;
  dropPending = false;
  const double drop = play.Typical(sinceStall, tuning.dropReadings) - play.Typical(0, tuning.dropReadings);
  return std::fabs(drop) >= tuning.leastDropSeconds * rate ? drop : 0.0;
}
