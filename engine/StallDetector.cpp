#include "engine/StallDetector.h"

#include <algorithm>
#include <cmath>

void StallDetector::Restart() {
  sinceStall = 0;
  aheadRun = 0;
  behindRun = 0;
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
  // Readings that lie below the typical of the dozen before them, one
  // after another: the mixer lost a period or so and the output fell
  // behind for good, with neither the thread nor the cursor standing still
  // long enough to show it, from the first of them on.
  const std::size_t reference = behindRun + 1 + tuning.dropReadings;
  const double newest = play.Line() - play.Lag();
  behindRun = readings >= reference &&
                      newest < play.Typical(behindRun + 1, tuning.dropReadings) - tuning.leastDropSeconds * rate
                  ? behindRun + 1
                  : 0;
  const bool fellBehind = !dropPending && !stalled && !skipped && behindRun == tuning.catchUpReadings;
  if (stalled || skipped || fellBehind) {
    if (!stalledBefore) ++stalls;
    sinceStall = skipped ? aheadRun - 1 : fellBehind ? behindRun - 1 : 0;
    dropPending = readings > tuning.dropReadings + sinceStall;
  }
  stalledBefore = stalled || skipped || fellBehind;
  sinceStall = std::min(sinceStall + 1, readings);
  if (!dropPending || sinceStall != tuning.catchUpReadings + tuning.dropReadings) return 0.0;
  dropPending = false;
  const double drop = play.Typical(sinceStall, tuning.dropReadings) - play.Typical(0, tuning.dropReadings);
  return std::fabs(drop) >= tuning.leastDropSeconds * rate ? drop : 0.0;
}
