#pragma once

#include <cstddef>

// The stream scheduler's tuned values, the one set the product ships; times
// in seconds. "A period" is the 10 ms in which the shared mixers of both
// platforms move their cursors.
struct SchedulerTuning {
  double nominalBlocks = 3.0;          // DELAY is four blocks: the one being captured and three ahead of play
  double writeMarginSeconds = 0.002;   // kept past the write cursor's line, for the cursor reads and the lock
  double lineSeconds = 5.0;            // a period slides once through 220-sample blocks at 22050 Hz in 4.4 s
  std::size_t lineReadings = 256;      // at long blocks: readings enough that some fall near a period's start
  double leadingShare = 0.05;          // play readings ahead of their pace: a few in a hundred in the recorded traces
  double captureLeadingShare = 0.02;   // capture readings ahead: one a starved burst, 1 in 200 recorded; 5 % cuts a sawtooth
  double periodSeconds = 0.010;        // a period: the shared mixers' 10 ms on both platforms
  double holdSeconds = 480.0;          // a play line's hull: two sweeps of a period where the clocks are 42 ppm apart
  double sweepsHeld = 2.0;             // a hull over fewer sweeps of the readings' place may lie along one sweep's slope
  double heldReachSeconds = 0.0025;    // a quarter period: the line at a sweep's best readings meets the hull closer
  double slopeFitSeconds = 30.0;       // a line's slope forgets this slowly: wanders of a few seconds average out
  double leastSlopeSeconds = 5.0;      // a line's slope is used once a line's window of readings is in
  double lateShareLeftOut = 0.05;      // a starved thread's late bursts: a few blocks in a hundred at most
  double seatAllowanceSeconds = 0.010;  // lateness a first seat allows for: a period, whose phase is not known yet
  double startSeconds = 0.5;           // devices start in bursts of periods, whose readings show no line
  double stallSeconds = 0.030;         // three periods beyond its length after the previous block: a stall
  double stoodStillSeconds = 0.015;    // a period and a half below the line: the play cursor stood still
  std::size_t catchUpReadings = 4;     // blocks of 10 ms left out while a mixer catches up: 40 ms; as many ahead: a skip
  std::size_t dropReadings = 12;       // typical of a dozen readings: a middle half of six spans a period
  double leastDropSeconds = 0.005;     // half a period: typical readings wander that much
  double cursorGapSeconds = 1.0;       // half the two-second ring: a longer gap may have wrapped it
  double noteSeconds = 1.0;            // notes behind a move, the report and the correction: 100 blocks at least
  double moveSeconds = 0.002;          // moved after a stall or a change of the lead held: the margin
  double slipSeconds = 0.010;          // moved at any time: beyond a period is a slip, not a reading's wander
  double recoverSeconds = 3.0;         // the smaller moves go on that long: drop measured, quiet blocks found
  double farAheadSeconds = 1.0;        // a stream a nominal lead too far for that long has run away
  double settleSeconds = 4.0;          // correction's settling: 300 ppm between clocks stays within 1.2 ms
  double followSeconds = 8.0;          // learning the clocks' ratio over twice the settling damps critically
  double maxCorrection = 0.002;        // 0.2 % is 3.5 cents: no pitch change is heard
  double learnedErrorSeconds = 0.012;  // ten times the error real clocks make in a settle time
};

inline constexpr SchedulerTuning kSchedulerTuning{};
