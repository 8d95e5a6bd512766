#include "engine/StallDetector.h"

#include <algorithm>
#include <cmath>

void StallDetector::Restart() {
  sinceStall = 0;
  aheadRun = 0;
  dropPending = false;
  stalledBefore = false;
}

double StallDetector::Note(const CursorLine& play, double lineBefore, double gapSeconds, double blockSeconds) {
  const auto rate = static_cast<double>(sampleRate);
  const std::size_t readings = play.Readings();
  bool stalled = readings > 1 && gapSeconds > blockSeconds + tuning.lateSeconds;
  const double belowLine = lineBefore - (play.Line() - play.Lag());
  if (!dropPending && readings > 1 && belowLine > tuning.stoodStillSeconds * rate) stalled = true;
  // Readings that lead the line by more than a reading's wander, one after
  // another: the mixer skipped ahead for good, from the first of them on.
  // One that comes a period early leads once.
  aheadRun = readings > 1 && -belowLine > tuning.leastDropSeconds * rate ? aheadRun + 1 : 0;
  const bool skipped = !dropPending && !stalled && aheadRun == tuning.catchUpReadings;
  if (stalled || skipped) {
    if (!stalledBefore) ++stalls;
    sinceStall = skipped ? aheadRun - 1 : 0;
    dropPending = readings > tuning.dropReadings + sinceStall;
  }
  stalledBefore = stalled || skipped;
  sinceStall = std::min(sinceStall + 1, readings);
  if (!dropPending || sinceStall != tuning.catchUpReadings + tuning.dropReadings) return 0.0;
  dropPending = false;
  const double drop = play.Typical(sinceStall, tuning.dropReadings) - play.Typical(0, tuning.dropReadings);
  return std::fabs(drop) >= tuning.leastDropSeconds * rate ? drop : 0.0;
}
