// The stream scheduler's parts on their own: the ring history, a cursor's
// line and its hull, the stall detector and the lead controller.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

#include "engine/CursorLine.h"
#include "engine/LeadController.h"
#include "engine/LineHull.h"
#include "engine/RingHistory.h"
#include "engine/SchedulerTuning.h"
#include "engine/StallDetector.h"

namespace {

constexpr std::uint32_t kRate = 22050;
constexpr std::uint32_t kRing = 2 * 2 * kRate;
// The lines' fit as the scheduler ships it.
constexpr double kFit = kSchedulerTuning.slopeFitSeconds;
constexpr double kLeastFit = kSchedulerTuning.leastSlopeSeconds;

TEST(RingHistory, KeepsTheNewestValuesAndTakesTheirStatistics) {
  RingHistory<float, 8> history;
  for (int value = 1; value <= 12; ++value) history.Push(static_cast<float>(value));
  EXPECT_EQ(history.Size(), 8u);
  EXPECT_EQ(history.Newest(), 12.0f);
  EXPECT_EQ(history.At(7), 5.0f) << "the oldest kept";
  EXPECT_EQ(history.Max(3), 12.0f);
  history.Push(1.0f);
  EXPECT_EQ(history.Max(1), 1.0f) << "the newest alone";
  EXPECT_EQ(history.Max(100), 12.0f) << "all kept";
  // 6..12 and 1: the highest once the two highest are left out.
  EXPECT_EQ(history.Highest(8, 2), 10.0f);
  EXPECT_EQ(history.Highest(8, 100), 1.0f) << "never more left out than there are";
}

TEST(RingHistory, MiddleMeanIsDeafToOutliersOnEitherSide) {
  RingHistory<double, 16> history;
  for (double value : {10.0, 10.0, 1000.0, 10.0, -1000.0, 10.0, 10.0, 10.0}) history.Push(value);
  EXPECT_DOUBLE_EQ(history.MiddleMean(8), 10.0);
  // The newest three left out: 10, 10, 1000, 10, -1000.
  EXPECT_DOUBLE_EQ(history.MiddleMean(5, 3), 10.0);
  EXPECT_DOUBLE_EQ(history.MiddleMean(2, 100), 0.0) << "nothing left";
}

TEST(RingHistory, AddsToTheValuesOfAnAgeRangeOnly) {
  RingHistory<double, 4> history;
  for (double value : {0.0, 0.0, 0.0, 0.0, 0.0, 0.0}) history.Push(value);
  history.Add(5.0, 1, 3);
  EXPECT_EQ(history.At(0), 0.0);
  EXPECT_EQ(history.At(1), 5.0);
  EXPECT_EQ(history.At(2), 5.0);
  EXPECT_EQ(history.At(3), 0.0);
  history.Clear();
  EXPECT_EQ(history.Size(), 0u);
}

// A play cursor that moves in 10 ms periods from `start` samples on, with
// its clock `fast` off the steady one, read at random moments between 5
// and 15 ms apart.
struct SteppingCursor {
  double fast = 0.0;
  double start = 44000.0;  // samples, near the ring's end: the readings wrap around it
  double seconds = 0.0;
  std::mt19937 random{3};

  // The sample the cursor's pace has reached.
  double Truth() const { return start + seconds * kRate * (1.0 + fast); }
  std::uint32_t Reading() const {
    const double period = 0.010 * kRate * (1.0 + fast);
    const double stepped = std::floor((Truth() - start) / period) * period + start;
    return static_cast<std::uint32_t>(2 * static_cast<std::uint64_t>(stepped) % kRing);
  }
  void Wait() { seconds += std::uniform_real_distribution<double>(0.005, 0.015)(random); }
};

TEST(CursorLine, FollowsTheCursorsPaceWhereverInItsPeriodItIsRead) {
  CursorLine line(kRing, kRate, kFit, kLeastFit);
  SteppingCursor cursor;
  for (int k = 0; k < 1000; ++k, cursor.Wait()) {
    line.NoteRing(cursor.Reading(), cursor.seconds, 500);
    // The count moved since the first reading, against the clock; within
    // half a millisecond once a second of readings is in.
    const double truth = cursor.Truth() - cursor.start - cursor.seconds * kRate;
    if (k >= 100) {
      ASSERT_NEAR(line.Line(), truth, 0.0005 * kRate) << "at " << cursor.seconds << " s, across the ring's end";
    }
    ASSERT_GE(line.Lag(), 0.0);
    ASSERT_LE(line.Lag(), 0.010 * kRate + 1.0);
  }
}

TEST(CursorLine, CarriesOlderReadingsAlongTheSlopeOfASlowClock) {
  // 300 ppm slow: over five seconds of readings the oldest lie 33 samples
  // above the newest pace.
  for (const double fast : {-0.0003, 0.0003}) {
    CursorLine line(kRing, kRate, kFit, kLeastFit);
    SteppingCursor cursor;
    cursor.fast = fast;
    while (cursor.seconds < 20.0) {
      line.NoteRing(cursor.Reading(), cursor.seconds, 500);
      cursor.Wait();
    }
    const double truth = cursor.Truth() - cursor.start - cursor.seconds * kRate;
    EXPECT_NEAR(line.Slope(), fast * kRate, 0.5) << fast;
    EXPECT_NEAR(line.Line(), truth, 5.0) << fast;
  }
}

TEST(CursorLine, TakesADropFromTheReadingsSinceItHoweverFarItWasMismeasured) {
  CursorLine line(kRing, kRate, kFit, kLeastFit);
  SteppingCursor cursor;
  for (int k = 0; k < 200; ++k, cursor.Wait()) line.NoteRing(cursor.Reading(), cursor.seconds, 500);
  const double before = line.Line();
  // The cursor falls 600 samples behind its pace for good.
  cursor.start -= 600;
  for (int k = 0; k < 16; ++k, cursor.Wait()) line.NoteRing(cursor.Reading(), cursor.seconds, 500);
  EXPECT_NEAR(line.Line(), before, 5.0) << "the older readings still hold the line up";
  // Measured 100 samples short: the older readings, lowered by that, would
  // hold the line 100 samples high.
  line.Lower(500.0, 16, 16, 500);
  EXPECT_NEAR(line.Line(), before - 600.0, 0.001 * kRate);
}

TEST(CursorLine, HoldsTheSlopeItHadBeforeTheCursorStepped) {
  // 300 ppm slow, read about every 55 ms (DELAY 220) for 12 s; then the output
  // skips 40 ms ahead for good, which is measured 16 readings later. Fitted,
  // the step would tilt the slope held from then on; carried along it over
  // the line's five seconds, the readings would hold the line milliseconds
  // off.
  CursorLine line(kRing, kRate, kFit, kLeastFit);
  SteppingCursor cursor;
  cursor.fast = -0.0003;
  const auto note = [&] {
    line.NoteRing(cursor.Reading(), cursor.seconds, 100);
    cursor.seconds += std::uniform_real_distribution<double>(0.050, 0.060)(cursor.random);
  };
  while (cursor.seconds < 12.0) note();
  cursor.start += 0.040 * kRate;
  for (int k = 0; k < 16; ++k) note();
  line.Lower(-0.040 * kRate, 12, 16, 100);
  EXPECT_NEAR(line.Slope(), cursor.fast * kRate, 1.5) << "samples a second";
}

TEST(CursorLine, LeavesOutTheFewReadingsThatLeadThePace) {
  // One reading in fifty shows the cursor 5 ms ahead of its pace.
  CursorLine line(kRing, kRate, kFit, kLeastFit, 0.05);
  SteppingCursor cursor;
  for (int k = 0; k < 1000; ++k, cursor.Wait()) {
    const std::uint32_t ahead = k % 50 == 25 ? 2 * 110 : 0;
    line.NoteRing((cursor.Reading() + ahead) % kRing, cursor.seconds, 500);
  }
  const double truth = cursor.Truth() - cursor.start - cursor.seconds * kRate;
  EXPECT_NEAR(line.Line(), truth, 0.001 * kRate);
}

TEST(CursorLine, CountsReadingsOfAGrowingCountAndStartsAfresh) {
  CursorLine line(kRing, kRate, kFit, kLeastFit);
  line.NoteCount(1000.0, 10.0, 10);
  line.NoteCount(1000.0 + kRate, 11.0, 10);
  EXPECT_DOUBLE_EQ(line.Line(), 1000.0);
  EXPECT_DOUBLE_EQ(line.Lag(), 0.0);
  line.Restart();
  EXPECT_FALSE(line.Started());
  line.NoteCount(5.0, 12.0, 10);
  EXPECT_EQ(line.Readings(), 1u);
  EXPECT_DOUBLE_EQ(line.Line(), 5.0);
}

TEST(LineHull, FindsThePaceUnderValuesThatLagItBySweepsThroughAPeriod) {
  // A line 40 samples a second fast, taken from readings that lag it by a
  // place in a 220-sample period which sweeps it every 33 s, one way or the
  // other; a value every 10 ms for two minutes.
  for (const double sweep : {33.0, -33.0}) {
    LineHull hull(kSchedulerTuning.holdSeconds);
    const auto truth = [](double seconds) { return 1000.0 + 40.0 * seconds; };
    double seconds = 0.0;
    double farthest = 0.0;  // how far the values lag, at most
    for (; seconds < 120.0; seconds += 0.010) {
      const double place = seconds / sweep - std::floor(seconds / sweep);
      const double value = truth(seconds) - 220.0 * place;
      farthest = std::max(farthest, truth(seconds) - value);
      hull.Note(seconds, value);
    }
    ASSERT_GT(farthest, 200.0) << "the values sweep the period";
    EXPECT_NEAR(hull.Level(), truth(seconds - 0.010), 2.0) << sweep;
    EXPECT_NEAR(hull.Slope(), 40.0, 0.1) << sweep;
    EXPECT_NEAR(hull.Span(), 120.0, 2.0);
  }
}

TEST(LineHull, LeavesOutValuesOlderThanItsHoldAndStartsAfresh) {
  // The line stood 300 samples higher for its first five seconds.
  LineHull hull(10.0);
  double seconds = 0.0;
  for (; seconds < 10.0; seconds += 0.010) hull.Note(seconds, seconds < 5.0 ? 300.0 : 0.0);
  EXPECT_NEAR(hull.Level(), 300.0, 1e-6) << "values within the hold hold the hull up";
  for (; seconds < 20.0; seconds += 0.010) hull.Note(seconds, 0.0);
  EXPECT_DOUBLE_EQ(hull.Level(), 0.0);
  EXPECT_DOUBLE_EQ(hull.Slope(), 0.0);
  EXPECT_GT(hull.Span(), 10.0 - 2 * LineHull::kPartSeconds);
  EXPECT_LE(hull.Span(), 10.0) << "the hold";
  hull.Restart();
  hull.Note(seconds, 50.0);
  EXPECT_DOUBLE_EQ(hull.Level(), 50.0);
  EXPECT_DOUBLE_EQ(hull.Span(), 0.0);
}

TEST(CursorLine, HeldOnItsHullFollowsThePaceOfReadingsWhosePlaceInThePeriodDrifts) {
  // Read every 10 ms of a clock 300 ppm fast: the place in the cursor's
  // period drifts through it every 33 s. The line over five seconds of
  // such readings lags the pace by up to a period; held, it follows it.
  CursorLine held(kRing, kRate, kFit, kLeastFit, 0.05, kSchedulerTuning.holdSeconds);
  CursorLine windowed(kRing, kRate, kFit, kLeastFit, 0.05);
  held.Hold(true);
  SteppingCursor cursor;
  double farthest = 0.0;
  for (int k = 0; cursor.seconds < 150.0; ++k) {
    cursor.seconds = k * 0.010 / 1.0003;
    held.NoteRing(cursor.Reading(), cursor.seconds, 500);
    windowed.NoteRing(cursor.Reading(), cursor.seconds, 500);
    if (cursor.seconds < 80.0) continue;
    const double truth = cursor.Truth() - cursor.start - cursor.seconds * kRate;
    ASSERT_NEAR(held.Line(), truth, 0.0005 * kRate) << "at " << cursor.seconds << " s";
    farthest = std::max(farthest, truth - windowed.Line());
  }
  EXPECT_GT(farthest, 0.005 * kRate) << "the line over five seconds lags by half a period at times";
}

constexpr StallDetector::Tuning kStallTuning{0.030, 0.015, 4, 12, 0.005};

// Readings of a cursor in 10 ms periods every `blockSeconds`, from
// `seconds` on, `behind` samples behind its pace.
void Read(CursorLine& line, StallDetector& detector, double& seconds, double blockSeconds, int count, double behind,
          double& drop) {
  for (int k = 0; k < count; ++k) {
    const double lineBefore = line.Line();
    const double stepped = std::floor(seconds / 0.010 + 1e-6) * 0.010 * kRate - behind;
    line.NoteRing(static_cast<std::uint32_t>(2 * static_cast<std::uint64_t>(stepped) % kRing), seconds, 500);
    const double measured = detector.Note(line, lineBefore, blockSeconds, blockSeconds);
    if (measured != 0.0) drop = measured;
    // As the scheduler does: a cursor that only fell behind runs at the
    // lowered line from then on.
    if (measured != 0.0 && detector.LostPeriod()) line.Shift(measured, detector.ReadingsSinceStall(), 500);
    seconds += blockSeconds;
  }
}

TEST(StallDetector, MeasuresHowFarTheCursorFellOnceTheMixerCaughtUp) {
  CursorLine line(kRing, kRate, kFit, kLeastFit);
  StallDetector detector(kStallTuning, kRate);
  double seconds = 0.0;
  double drop = 0.0;
  Read(line, detector, seconds, 0.025, 100, 0.0, drop);
  EXPECT_EQ(detector.Stalls(), 0u);
  // The mixer and the thread stand still for 50 ms; the cursor never
  // catches up the 30 ms it lost.
  seconds += 0.050;
  const double lineBefore = line.Line();
  line.NoteRing(static_cast<std::uint32_t>(2 * static_cast<std::uint64_t>(std::floor(seconds / 0.010) * 220.5 - 661.5) % kRing), seconds, 500);
  EXPECT_EQ(detector.Note(line, lineBefore, 0.075, 0.025), 0.0);
  EXPECT_EQ(detector.Stalls(), 1u);
  EXPECT_TRUE(detector.DropPending());
  seconds += 0.025;
  Read(line, detector, seconds, 0.025, 14, 661.5, drop);
  EXPECT_EQ(drop, 0.0) << "measured before a dozen readings after the catch-up";
  Read(line, detector, seconds, 0.025, 1, 661.5, drop);
  EXPECT_NEAR(drop, 661.5, 0.005 * kRate);
  EXPECT_FALSE(detector.DropPending());
  EXPECT_EQ(detector.Stalls(), 1u);
}

TEST(StallDetector, ACursorThatStoodStillIsAStallAndAWanderWithinHalfAPeriodNoDrop) {
  CursorLine line(kRing, kRate, kFit, kLeastFit);
  StallDetector detector(kStallTuning, kRate);
  double seconds = 0.0;
  double drop = 0.0;
  Read(line, detector, seconds, 0.010, 100, 0.0, drop);
  // Blocks go on arriving while the cursor stands 20 ms behind, then it
  // catches up all but 3 ms.
  Read(line, detector, seconds, 0.010, 1, 441.0, drop);
  EXPECT_EQ(detector.Stalls(), 1u);
  Read(line, detector, seconds, 0.010, 30, 66.0, drop);
  EXPECT_EQ(drop, 0.0);
  EXPECT_EQ(detector.Stalls(), 1u);
  detector.Restart();
  EXPECT_FALSE(detector.DropPending());
}

TEST(StallDetector, ReadingsThatLeadTheLineBlockAfterBlockAreASkipAhead) {
  // As the scheduler keeps it: the few readings that lead are left out.
  CursorLine line(kRing, kRate, kFit, kLeastFit, kSchedulerTuning.leadingShare);
  StallDetector detector(kStallTuning, kRate);
  double seconds = 0.0;
  double drop = 0.0;
  Read(line, detector, seconds, 0.010, 100, 0.0, drop);
  // A period mixed early leads once.
  Read(line, detector, seconds, 0.010, 1, -220.5, drop);
  Read(line, detector, seconds, 0.010, 30, 0.0, drop);
  EXPECT_EQ(detector.Stalls(), 0u);
  // The mixer skips 20 ms ahead for good, with no block late.
  Read(line, detector, seconds, 0.010, 3, -441.0, drop);
  EXPECT_EQ(detector.Stalls(), 0u) << "three readings ahead";
  Read(line, detector, seconds, 0.010, 1, -441.0, drop);
  EXPECT_EQ(detector.Stalls(), 1u);
  Read(line, detector, seconds, 0.010, 30, -441.0, drop);
  EXPECT_NEAR(drop, -441.0, 0.005 * kRate);
  EXPECT_FALSE(detector.DropPending());
  EXPECT_EQ(detector.Stalls(), 1u);
}

TEST(StallDetector, ReadingsThatFallBehindBlockAfterBlockAreALostPeriod) {
  CursorLine line(kRing, kRate, kFit, kLeastFit, kSchedulerTuning.leadingShare);
  StallDetector detector(kStallTuning, kRate);
  double seconds = 0.0;
  double drop = 0.0;
  Read(line, detector, seconds, 0.010, 100, 0.0, drop);
  // Readings 4 ms behind for a dozen blocks wander within the least drop.
  Read(line, detector, seconds, 0.010, 12, 88.2, drop);
  Read(line, detector, seconds, 0.010, 30, 0.0, drop);
  // Readings whose place lies at the edge of a period: four fall a period
  // behind, then they come back.
  Read(line, detector, seconds, 0.010, 4, 220.5, drop);
  EXPECT_TRUE(detector.LostPeriod());
  Read(line, detector, seconds, 0.010, 30, 0.0, drop);
  EXPECT_FALSE(detector.DropPending()) << "readings that came back";
  EXPECT_EQ(drop, 0.0);
  EXPECT_EQ(detector.Stalls(), 0u);
  // The mixer loses a period: the cursor falls 10 ms behind for good, with
  // no block late and no reading a period and a half below the line.
  Read(line, detector, seconds, 0.010, 3, 220.5, drop);
  EXPECT_FALSE(detector.DropPending()) << "three readings behind";
  Read(line, detector, seconds, 0.010, 1, 220.5, drop);
  EXPECT_TRUE(detector.DropPending());
  EXPECT_TRUE(detector.LostPeriod());
  EXPECT_EQ(detector.Stalls(), 0u) << "counted once its drop is measured";
  Read(line, detector, seconds, 0.010, 30, 220.5, drop);
  EXPECT_NEAR(drop, 220.5, 0.005 * kRate);
  EXPECT_FALSE(detector.DropPending());
  EXPECT_EQ(detector.Stalls(), 1u);
  EXPECT_NEAR(line.Lag(), 0.0, 1.0) << "the line runs at the readings since the loss";
  EXPECT_NEAR(line.Slope(), 0.0, 0.5) << "the loss is not in the slope";
}

constexpr LeadController::Tuning kLeadTuning{4.0, 8.0, 0.002, 0.012};

TEST(LeadController, StaysWithinItsLimitAndLearnsNothingThere) {
  LeadController controller(kLeadTuning, kRate);
  // 100 ms too long: the correction is at its limit, and stays there.
  for (int k = 0; k < 100; ++k) EXPECT_DOUBLE_EQ(controller.Step(0.1 * kRate, 0.01, true), 1.002);
  EXPECT_DOUBLE_EQ(controller.Step(), 1.0) << "learned while at the limit";
  EXPECT_DOUBLE_EQ(controller.Step(-0.1 * kRate, 0.01, true), 0.998);
}

TEST(LeadController, TakesUpAClockDifferenceAndLearnsIt) {
  // A lead that the clocks shorten by 300 ppm of the stream, steered in
  // blocks of 10 ms.
  LeadController controller(kLeadTuning, kRate);
  double error = 0.0;
  double largest = 0.0;
  for (int k = 0; k < 6000; ++k) {
    const double step = controller.Step(error, 0.01, true);
    ASSERT_LE(std::fabs(step - 1.0), 0.002);
    error += (-0.0003 - (step - 1.0)) * 0.01 * kRate;
    if (k > 3000) largest = std::max(largest, std::fabs(error));
  }
  EXPECT_LT(largest, 0.0005 * kRate) << "half a millisecond";
  EXPECT_NEAR(controller.Step() - 1.0, -0.0003, 0.00002);
}

}  // namespace
