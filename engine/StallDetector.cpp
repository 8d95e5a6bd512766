#include "engine/StallDetector.h"

#include <algorithm>
#include <cmath>

void StallDetector::Restart() {
  sinceStall = 0;
  aheadRun = 0;
  behindRun = 0;
  lostPeriod = false;
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
  // Readings below the typical of the dozen before them, one after
  // another: the mixer lost a period and the output fell behind for good,
  // with neither the thread nor the cursor standing still long enough to
  // show it, from the first of them on. A line held on its hull has
  // readings whose place in the period drifts: there, such a run is the
  // place wrapping round the period, and the pace has not moved.
  const std::size_t reference = behindRun + 1 + tuning.dropReadings;
  const double newest = play.Line() - play.Lag();
  behindRun = readings >= reference && !play.Held() &&
                      newest < play.Typical(behindRun + 1, tuning.dropReadings) - tuning.leastDropSeconds * rate
                  ? behindRun + 1
                  : 0;
  const bool fellBehind = !dropPending && !stalled && !skipped && behindRun == tuning.catchUpReadings;
  if (stalled || skipped || fellBehind) {
    // A fall behind counts once its drop is measured.
    if (!stalledBefore && !fellBehind) ++stalls;
    sinceStall = skipped ? aheadRun - 1 : fellBehind ? behindRun - 1 : 0;
    dropPending = readings > tuning.dropReadings + sinceStall;
    lostPeriod = fellBehind;
  }
  stalledBefore = stalled || skipped || fellBehind;
  sinceStall = std::min(sinceStall + 1, readings);
  // Readings that come back up to the ones before the fall were taken
  // where their place in the period lies at its edge, some on either side.
  const double leastDrop = tuning.leastDropSeconds * rate;
  if (dropPending && lostPeriod && newest >= play.Typical(sinceStall, tuning.dropReadings) - leastDrop) {
    dropPending = false;
  }
  if (!dropPending || sinceStall != tuning.catchUpReadings + tuning.dropReadings) return 0.0;
  dropPending = false;
  const double drop = play.Typical(sinceStall, tuning.dropReadings) - play.Typical(0, tuning.dropReadings);
  if (std::fabs(drop) < leastDrop) return 0.0;
  if (lostPeriod) ++stalls;
  return drop;
}
