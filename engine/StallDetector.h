#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/CursorLine.h"

// Finds where the output stalled and how far the play cursor fell behind
// its line for good. A stall shows as a block handed over much later than
// the one before (the thread stood still with the mixer), as a play cursor
// reading far below its line (the cursor stood still), as readings that
// lead the line block after block (the mixer skipped ahead), or as readings
// that lie below the ones before them block after block (the mixer lost a
// period and the output fell behind). The drop is
// measured once the mixer has caught up: the typical reading of a dozen
// after the stall against that of a dozen before it; a skip ahead is a
// negative drop.
class StallDetector {
 public:
  struct Tuning {
    double lateSeconds;        // a block this much later than its length after the one before: a stall
    double stoodStillSeconds;  // a play reading this far below the line: the cursor stood still
    std::size_t catchUpReadings;  // readings right after a stall, left out while the mixer catches up;
                                  // as many leading the line in a row: a skip ahead
    std::size_t dropReadings;     // readings on either side of the stall whose typical values are compared
    double leastDropSeconds;      // a smaller difference is no drop; a reading this far above the line leads it
  };

  StallDetector(const Tuning& tuning, std::uint32_t sampleRate) : tuning(tuning), sampleRate(sampleRate) {}

  // Forgets a drop still to be measured (the cursors' lines start afresh).
  void Restart();

  // Notes the newest play reading, taken `gapSeconds` after the one
  // before, for a block of `blockSeconds`; `lineBefore` is the play line
  // before that reading. Returns the drop measured with it, in samples
  // (positive: the cursor fell behind), or 0.
  double Note(const CursorLine& play, double lineBefore, double gapSeconds, double blockSeconds);

  // Readings since the last stall, this one included.
  std::size_t ReadingsSinceStall() const { return sinceStall; }
  bool DropPending() const { return dropPending; }
  // The stall being measured showed only as readings falling behind: the
  // output lost a period, or, where the play readings' place in the period
  // drifts, that place wrapped round it.
  bool LostPeriod() const { return lostPeriod; }
  // Stalls found since construction.
  std::uint32_t Stalls() const { return stalls; }

 private:
  Tuning tuning;
  std::uint32_t sampleRate;
  std::size_t sinceStall = 0;
  bool dropPending = false;
  bool stalledBefore = false;
  bool lostPeriod = false;
  std::size_t aheadRun = 0;   // readings in a row that led the line
  std::size_t behindRun = 0;  // readings in a row below the typical of the dozen before them
  std::uint32_t stalls = 0;
};
