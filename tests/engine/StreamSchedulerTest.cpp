// The scheduler and the resampler together against simulated devices: a
// playback clock and a capture clock that run apart, blocks handed over with
// random lateness, and, like Wine's, cursors that move in 10 ms periods, a
// capture cursor that runs ahead by up to a period and snaps back, and an
// output that slips behind when its mixer stalls.
// Each block's heard delay is worked out from where its first sample lands
// and when the play cursor gets there.

#include "engine/StreamScheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/CaptureGeometry.h"
#include "engine/DriftResampler.h"

namespace {

constexpr std::uint32_t kRate = 22050;
constexpr std::uint32_t kRing = 2 * 2 * kRate;

struct Devices {
  std::int32_t delayMs = 100;
  double captureFast = 0.0;          // capture clock against playback, e.g. 0.001 = 0.1 % fast
  double jitterBlocks = 0.0;         // blocks arrive up to this many block lengths late, at random
  double periodSeconds = 0.0;        // cursors move in steps of this period (0: smoothly)
  double sawtoothSamples = 0.0;      // the capture cursor runs this far ahead, then snaps back,
  double sawtoothSeconds = 4.4;      // once per this many seconds
  double stallEverySeconds = 0.0;    // the play cursor stands still this often (0: never),
  double stallSeconds = 0.0;         // for this long, then jumps to where playback is
  double slipAtSeconds = 0.0;        // from then on the output plays everything this much
  double slipSamples = 0.0;          // later (0: never), and the play cursor drops by that
  double queueSamples = 0.0;         // and by what the mixer's queue played out of the stall
  double starveEverySeconds = 0.0;   // the thread gets no processor this often (0: never),
  double starveSeconds = 0.0;        // for this long, while capture and playback go on
  std::uint32_t quietEvery = 0;      // every so many blocks is quiet (0: none)
  std::uint32_t writeGapSamples = 220;
  double minutes = 1.0;
  bool oldRule = false;              // place each block three blocks ahead of where play is now
};

struct Outcome {
  double worstErrorMs = 0;           // heard delay against the nominal one, from `settled` on
  double spreadMs = 0;               // highest minus lowest heard delay, from `settled` on
  double meanMs = 0;                 // mean heard delay, from `settled` on
  double reportedSpreadMs = 0;       // highest minus lowest reported delay, once the reference is known
  std::uint32_t reseats = 0;
  std::uint32_t behindWriteCursor = 0;  // blocks placed where the device had already mixed
  std::uint32_t discontinuities = 0;    // blocks not placed right behind the previous output, from `settled` on
  double largestCorrection = 0;
};

// The write-ahead this scheduler replaces: a block goes three blocks ahead of
// the play cursor unless the stream is already further, and the stream is
// pulled back when it runs more than six blocks ahead.
std::uint32_t OldWritePosition(std::uint32_t play, std::uint32_t writePosition, std::uint32_t blockBytes) {
  const std::uint32_t target = (play + 3 * blockBytes) % kRing;
  const std::uint32_t ahead = (target + kRing - writePosition) % kRing;
  if (ahead > 0 && ahead < kRing / 2) writePosition = target;
  if ((writePosition + kRing - play) % kRing > 6 * blockBytes) writePosition = target;
  return writePosition;
}

Outcome Simulate(const Devices& devices, double settledSeconds = 1.0) {
  const std::uint32_t block = ComputeCaptureGeometry(devices.delayMs, 2 * kRate, 2).segmentBytes / 2;
  const double captureRate = kRate * (1.0 + devices.captureFast);
  const double nominalMs = 1000.0 * (block / captureRate + 3.0 * block / kRate);
  const auto quantised = [&](double samples, double rate) {
    const double period = devices.periodSeconds * rate;
    return period > 0 ? std::floor(samples / period) * period : std::floor(samples);
  };

  StreamScheduler scheduler(kRing, kRate);
  DriftResampler resampler;
  std::vector<std::int16_t> input(block, 1000);
  std::vector<std::int16_t> output(DriftResampler::kMaxOutputSamples);
  std::mt19937 random(7);
  std::uniform_real_distribution<double> lateness(0.0, devices.jitterBlocks * block / captureRate);

  Outcome outcome;
  double lowest = 1e9;
  double highest = -1e9;
  std::uint32_t lowestReported = UINT32_MAX;
  std::uint32_t highestReported = 0;
  bool stalled = false;
  double heardSum = 0;
  std::uint64_t heardCount = 0;
  double arrival = 0;
  double streamEnd = -1;  // unwrapped output index just past the last written sample
  std::uint32_t oldWritePosition = 0;
  const auto blocks = static_cast<std::uint64_t>(devices.minutes * 60.0 * captureRate / block);
  for (std::uint64_t k = 0; k < blocks; ++k) {
    // The block's end is captured, shows in the capture cursor at the next
    // period, and the listener wakes some time after that.
    const double captured = static_cast<double>((k + 1) * block);
    double shown = captured / captureRate;
    if (devices.periodSeconds > 0) shown = std::ceil(shown / devices.periodSeconds) * devices.periodSeconds;
    arrival = std::max(arrival, shown + lateness(random));
    if (devices.starveEverySeconds > 0) {
      const double intoStarving =
          std::fmod(arrival, devices.starveEverySeconds) - (devices.starveEverySeconds - devices.starveSeconds);
      if (intoStarving > 0) arrival += devices.starveSeconds - intoStarving;
    }
    // The stall that made the output slip held up the blocks as well.
    if (devices.slipSamples != 0 && !stalled && arrival >= devices.slipAtSeconds) {
      arrival += devices.slipSamples / kRate + 0.030;
      stalled = true;
    }
    double playedAt = arrival;
    if (devices.stallEverySeconds > 0) {
      const double intoStall = std::fmod(arrival, devices.stallEverySeconds) - (devices.stallEverySeconds - devices.stallSeconds);
      if (intoStall > 0) playedAt -= intoStall;
    }
    double played = quantised(playedAt * kRate, kRate);
    const bool slipped = devices.slipSamples != 0 && arrival >= devices.slipAtSeconds;
    const double slip = slipped ? devices.slipSamples : 0.0;
    const double drop = slipped ? devices.slipSamples + devices.queueSamples : 0.0;
    played -= drop;
    const auto play = static_cast<std::uint32_t>(2 * static_cast<std::uint64_t>(played) % kRing);
    const std::uint32_t write = (play + 2 * devices.writeGapSamples) % kRing;
    const double sawtooth = devices.sawtoothSamples * std::fmod(arrival / devices.sawtoothSeconds, 1.0);
    const auto late = static_cast<std::uint32_t>(quantised(arrival * captureRate, captureRate) - captured + sawtooth);

    std::uint32_t writePosition = 0;
    std::uint32_t produced = 0;
    std::uint32_t skip = 0;
    double pending = 0;
    if (devices.oldRule) {
      writePosition = oldWritePosition = OldWritePosition(play, oldWritePosition, 2 * block);
      produced = block;
      oldWritePosition = (oldWritePosition + 2 * block) % kRing;
    } else {
      pending = resampler.PendingSamples();
      const bool quiet = devices.quietEvery > 0 && k % devices.quietEvery == 0;
      const StreamScheduler::Placement placement =
          scheduler.Place({play, write, block, late, pending, arrival, quiet});
      writePosition = placement.writePosition;
      skip = placement.skipSamples;
      produced = resampler.Process(input.data() + skip, block - skip, placement.step, output.data());
      scheduler.Advance(produced);
      outcome.largestCorrection = std::max(outcome.largestCorrection, std::fabs(placement.step - 1.0));
      if (arrival >= std::max(12.0, settledSeconds)) {
        lowestReported = std::min(lowestReported, scheduler.HeardDelayMs());
        highestReported = std::max(highestReported, scheduler.HeardDelayMs());
      }
    }

    const std::uint32_t aheadBytes = (writePosition + kRing - play) % kRing;
    if (aheadBytes < 2 * devices.writeGapSamples) ++outcome.behindWriteCursor;
    // Where the output lands on the speaker's time line, which a slip of the
    // output moves against the play cursor's.
    const double placed = played + slip + aheadBytes / 2.0;
    if (streamEnd >= 0 && std::fabs(placed - streamEnd) > 0.5 && arrival >= settledSeconds) ++outcome.discontinuities;
    streamEnd = placed + produced;

    // The block's first kept sample follows what the resampler still held.
    const double heardMs =
        1000.0 * ((placed + pending) / kRate - static_cast<double>(k * block + skip) / captureRate);
    // A block left out whole is not heard.
    if (arrival >= settledSeconds && produced > 0) {
      outcome.worstErrorMs = std::max(outcome.worstErrorMs, std::fabs(heardMs - nominalMs));
      lowest = std::min(lowest, heardMs);
      highest = std::max(highest, heardMs);
      heardSum += heardMs;
      ++heardCount;
    }
  }
  outcome.spreadMs = highest - lowest;
  if (heardCount > 0) outcome.meanMs = heardSum / static_cast<double>(heardCount);
  if (highestReported >= lowestReported) outcome.reportedSpreadMs = highestReported - lowestReported;
  outcome.reseats = scheduler.Reseats();
  return outcome;
}

std::string Describe(const Devices& d, const Outcome& o) {
  char text[300];
  std::snprintf(text, sizeof text,
                "DELAY %d, capture %+.2f %%, jitter %.1f blocks, period %.0f ms: worst %.2f ms off, spread %.2f ms, "
                "%u re-seats, %u behind the write cursor, %u discontinuities, correction up to %.3f %%",
                d.delayMs, 100 * d.captureFast, d.jitterBlocks, 1000 * d.periodSeconds, o.worstErrorMs, o.spreadMs,
                o.reseats, o.behindWriteCursor, o.discontinuities, 100 * o.largestCorrection);
  return text;
}

class HeardDelayUnderDrift : public ::testing::TestWithParam<std::int32_t> {
 protected:
  // The parameter's delay, capture `fast` against playback, blocks up to a
  // block length late.
  Devices Drifting(double fast, double minutes) const {
    Devices devices;
    devices.delayMs = GetParam();
    devices.captureFast = fast;
    devices.jitterBlocks = 1.0;
    devices.minutes = minutes;
    return devices;
  }
  // The parameter's delay on Wine's devices: cursors that move in 10 ms
  // periods, a capture cursor that runs ahead by up to a period, a little
  // jitter, and every tenth block quiet.
  Devices WineLike(double minutes) const {
    Devices devices;
    devices.delayMs = GetParam();
    devices.periodSeconds = 0.010;
    devices.sawtoothSamples = 220;
    devices.jitterBlocks = 0.2;
    devices.quietEvery = 10;
    devices.minutes = minutes;
    return devices;
  }
};

TEST_P(HeardDelayUnderDrift, HoldsWithinTwoMillisecondsForHalfAnHourWithoutLosingABlock) {
  // Real devices run 20 to 100 parts per million apart.
  for (double fast : {0.0001, -0.0001}) {
    const Devices devices = Drifting(fast, 30);
    const Outcome outcome = Simulate(devices);
    SCOPED_TRACE(Describe(devices, outcome));
    EXPECT_LE(outcome.worstErrorMs, 2.0);
    EXPECT_EQ(outcome.reseats, 0u);
    EXPECT_EQ(outcome.behindWriteCursor, 0u);
    EXPECT_EQ(outcome.discontinuities, 0u);
    EXPECT_LE(outcome.largestCorrection, StreamScheduler::kMaxCorrection + 1e-12);
  }
}

TEST_P(HeardDelayUnderDrift, FollowsClocksATenthOfAPercentApartWithinTheCorrectionLimit) {
  // Ten times what real devices do. The first ten seconds' average, which
  // already carries 5 ms of the drift, is held once the correction has
  // caught up.
  for (double fast : {0.001, -0.001}) {
    const Devices devices = Drifting(fast, 10);
    const Outcome outcome = Simulate(devices, 120.0);
    SCOPED_TRACE(Describe(devices, outcome));
    EXPECT_LE(outcome.spreadMs, 2.0);
    EXPECT_LE(outcome.worstErrorMs, 8.0);
    // At DELAY 40 the 30 ms lead, less the write cursor's 10 ms and a block
    // of jitter, leaves 10 ms, which a slow capture clock uses up before ten
    // seconds of notes are in: the stream is re-seated once there.
    EXPECT_LE(outcome.reseats, 1u);
    EXPECT_LE(outcome.largestCorrection, StreamScheduler::kMaxCorrection + 1e-12);
  }
}

TEST_P(HeardDelayUnderDrift, HoldsWithCursorsThatMoveInPeriodsAndACaptureCursorThatRunsAhead) {
  Devices devices = WineLike(5);
  // A mixer preempted for four periods while blocks go on arriving, its
  // output catching up.
  devices.stallEverySeconds = 7.0;
  devices.stallSeconds = 0.040;
  // Once the cursors' lines are known the correction takes the stream from
  // the one reading it was seated by to the lead they give.
  const Outcome outcome = Simulate(devices, 30.0);
  SCOPED_TRACE(Describe(devices, outcome));
  EXPECT_LE(outcome.spreadMs, 2.0);
  EXPECT_EQ(outcome.reseats, 0u);
  EXPECT_EQ(outcome.discontinuities, 0u);
  // Whole milliseconds, truncated: a wobble of one shows as three values.
  EXPECT_LE(outcome.reportedSpreadMs, 3.0);
}

// At DELAY 40 a stall longer than the 30 ms lead lets the play cursor
// overtake the stream, and the re-seat takes over.
class HeardDelayAfterASlip : public HeardDelayUnderDrift {};

TEST_P(HeardDelayAfterASlip, ComesBackToTheDelayInQuietBlocksAfterTheOutputSlipped) {
  // A mixer that stalled longer than its queue held: from then on the
  // speaker hears everything 20 ms later, and the play cursor drops by that
  // and by the period the queue played out. Two seconds later the stream is
  // back, with a quiet block only every tenth: a minute into the session,
  // and in its first seconds, before the cursors' lines are known. Until
  // they are, the notes wander with them by up to a quarter of a period a
  // second: the stream comes back to within half a period then.
  for (const double slipAt : {60.0, 3.0}) {
    const bool linesKnown = slipAt > 10.0;
    const double back = slipAt + 2.0;
    Devices devices = WineLike(linesKnown ? 2.0 : (back + 4.0) / 60.0);
    const Outcome steady = Simulate(devices, back);
    devices.slipAtSeconds = slipAt;
    devices.slipSamples = 441.0;
    devices.queueSamples = 220.0;
    const Outcome outcome = Simulate(devices, back);
    SCOPED_TRACE(Describe(devices, outcome));
    SCOPED_TRACE("without the slip: " + Describe(devices, steady));
    SCOPED_TRACE("slip at " + std::to_string(slipAt) + " s");
    EXPECT_NEAR(outcome.meanMs, steady.meanMs, linesKnown ? 1.0 : 5.0) << "not back at the delay held before the slip";
    // The drop is measured from a dozen readings on either side of the
    // stall, to within a quarter period.
    EXPECT_LE(outcome.spreadMs, steady.spreadMs + 2.5);
    EXPECT_EQ(outcome.reseats, 0u);
  }
}

TEST_P(HeardDelayUnderDrift, HoldsAcrossUnderrunsOfAStarvedThread) {
  // A busy machine: every two seconds the thread gets no processor for
  // 45 ms, longer than the 30 ms lead at DELAY 40.
  Devices devices = WineLike(1);
  const Outcome steady = Simulate(devices, 15.0);
  devices.starveEverySeconds = 2.0;
  devices.starveSeconds = 0.045;
  const Outcome outcome = Simulate(devices, 15.0);
  SCOPED_TRACE(Describe(devices, outcome));
  if (GetParam() == 40) {
    EXPECT_GT(outcome.reseats, 20u) << "the stream was never overtaken";
  }
  EXPECT_NEAR(outcome.meanMs, steady.meanMs, 1.0);
  EXPECT_LE(outcome.worstErrorMs, steady.worstErrorMs + 1.0);
  EXPECT_LE(outcome.reportedSpreadMs, 3.0);
}

INSTANTIATE_TEST_SUITE_P(Delays, HeardDelayUnderDrift, ::testing::Values(40, 100, 220),
                         [](const ::testing::TestParamInfo<std::int32_t>& info) { return std::to_string(info.param); });
INSTANTIATE_TEST_SUITE_P(Delays, HeardDelayAfterASlip, ::testing::Values(100, 220),
                         [](const ::testing::TestParamInfo<std::int32_t>& info) { return std::to_string(info.param); });

TEST(HeardDelayUnderDrift, TheOldRuleRatchetsUnderTheSameJitter) {
  Devices devices;
  devices.delayMs = 40;
  devices.jitterBlocks = 1.0;
  devices.captureFast = 0.001;
  devices.minutes = 2;
  devices.oldRule = true;
  const Outcome outcome = Simulate(devices);
  SCOPED_TRACE(Describe(devices, outcome));
  // Late blocks push the stream ahead for good, and the pull-back jumps.
  EXPECT_GT(outcome.spreadMs, 10.0);
  EXPECT_GT(outcome.discontinuities, 10u);
}

StreamScheduler::Block At(std::uint32_t play, std::uint32_t lateSamples, double seconds, bool quiet = false) {
  return {play, (play + 440) % kRing, 220, lateSamples, 0.0, seconds, quiet};
}

TEST(StreamScheduler, ReseatsAtTheNominalPlaceOnlyWhenThePlayCursorOvertookTheStream) {
  StreamScheduler scheduler(kRing, kRate);
  const StreamScheduler::Placement first = scheduler.Place(At(10000, 0, 0.0));
  EXPECT_FALSE(first.reseated) << "the first placement is a seat, not a jump";
  EXPECT_EQ(first.writePosition, 10000u + 3 * 440);
  EXPECT_EQ(scheduler.HeardDelayMs(), 39u);  // four blocks of 220 samples
  scheduler.Advance(220);

  // 15 ms late: still ahead of the write cursor, so it streams on.
  const StreamScheduler::Placement late = scheduler.Place(At(11102, 330, 0.025));
  EXPECT_FALSE(late.reseated);
  EXPECT_EQ(late.writePosition, 10000u + 4 * 440);
  scheduler.Advance(220);

  // The play cursor has passed the stream's place: an underrun.
  const StreamScheduler::Placement lost = scheduler.Place(At(20000, 0, 0.25));
  EXPECT_TRUE(lost.reseated);
  EXPECT_EQ(lost.writePosition, 20000u + 3 * 440);
  EXPECT_EQ(scheduler.Reseats(), 1u);
}

TEST(StreamScheduler, MovesAStreamThatRunsLateBackInAQuietBlockAfterAStallOnly) {
  // Blocks of 25 ms (DELAY 100).
  constexpr std::uint32_t kBlock = 551;
  constexpr double kBlockSeconds = static_cast<double>(kBlock) / kRate;
  const auto at = [](std::uint32_t play, std::uint32_t late, double seconds, bool quiet) {
    return StreamScheduler::Block{play, (play + 440) % kRing, kBlock, late, 0.0, seconds, quiet};
  };
  StreamScheduler scheduler(kRing, kRate);
  std::uint32_t play = 0;
  double seconds = 0.0;
  // Runs `blocks` blocks, every other one quiet, the play cursor five
  // samples short of a block for the first `slowBlocks`; returns the
  // samples left out.
  const auto run = [&](int blocks, int slowBlocks, std::uint32_t late) {
    std::uint32_t skipped = 0;
    for (int k = 0; k < blocks; ++k, seconds += kBlockSeconds) {
      const std::uint32_t skip = scheduler.Place(at(play, late, seconds, k % 2 == 0)).skipSamples;
      skipped += skip;
      scheduler.Advance(kBlock - skip);
      play = (play + 2 * (k < slowBlocks ? kBlock - 5 : kBlock)) % kRing;
    }
    return skipped;
  };
  // The play cursor starts slowly, so the stream runs 150 samples (6.8 ms)
  // beyond its nominal on-time lead of three blocks, less than the first
  // second's notes move a seat for: once the cursors' lines are known (ten
  // seconds), the seat is set right.
  EXPECT_EQ(run(600, 30, 50), 150u);
  EXPECT_EQ(scheduler.Realignments(), 1u);
  EXPECT_EQ(scheduler.HeardDelayMs(), 99u);
  // The same slip later, with no stall to show for it, is left to the
  // correction: a stray reading does not move what is heard.
  EXPECT_EQ(run(600, 30, 50), 0u) << "moved with no stall";
  EXPECT_EQ(scheduler.HeardDelayMs(), 106u);
  // The thread and the mixer stall for 40 ms while capture goes on; the
  // play cursor comes back 370 samples short and stays so, of which the
  // mixer's queue played out 220 unheard. A dozen readings after the mixer
  // has caught up measure that drop: then the stream is moved back in one
  // quiet block, the whole error at once.
  seconds += 0.040;
  play = (play + 2 * (882 - 370)) % kRing;
  EXPECT_EQ(run(15, 0, 50 + 882), 0u) << "moved before the play cursor's drop was measured";
  const StreamScheduler::Placement quiet = scheduler.Place(at(play, 50 + 882, seconds, true));
  EXPECT_EQ(quiet.skipSamples, 300u);
  EXPECT_FALSE(quiet.reseated);
  EXPECT_EQ(scheduler.Realignments(), 2u);
  scheduler.Advance(kBlock - 300);
  play = (play + 2 * kBlock) % kRing;
  seconds += kBlockSeconds;
  // Moved once: the stream goes on at the delay.
  EXPECT_EQ(run(40, 0, 50 + 882), 0u);
  EXPECT_EQ(scheduler.HeardDelayMs(), 99u);
}

TEST(StreamScheduler, SetsASeatThatTheCaptureCursorsLineShowsAPeriodLateRightAfterTheStart) {
  constexpr std::uint32_t kBlock = 551;
  constexpr double kBlockSeconds = static_cast<double>(kBlock) / kRate;
  StreamScheduler scheduler(kRing, kRate);
  std::uint32_t play = 0;
  std::uint32_t skipped = 0;
  for (int k = 0; k < 100; ++k) {
    // In the start's bursts a block finds the capture cursor far on, which
    // says nothing of its line. Once they are over, a block finds it a
    // period (220 samples) further on than the first did: the stream was
    // seated a period late. A second and a half in, it is moved back.
    const std::uint32_t late = k == 5 ? 600 : k == 25 ? 270 : 50;
    const StreamScheduler::Placement placement =
        scheduler.Place({play, (play + 440) % kRing, kBlock, late, 0.0, k * kBlockSeconds, k % 2 == 0});
    if (k < 60) {
      EXPECT_EQ(placement.skipSamples, 0u) << "moved before a second of settled notes, at block " << k;
    }
    skipped += placement.skipSamples;
    scheduler.Advance(kBlock - placement.skipSamples);
    play = (play + 2 * kBlock) % kRing;
  }
  EXPECT_EQ(skipped, 220u);
  EXPECT_EQ(scheduler.Realignments(), 1u);
  EXPECT_EQ(scheduler.HeardDelayMs(), 99u);
}

TEST(StreamScheduler, ALateFirstBlockIsPlacedByItsCaptureTime) {
  StreamScheduler scheduler(kRing, kRate);
  // Captured 100 samples before it was handed over: 100 samples nearer.
  EXPECT_EQ(scheduler.Place(At(86000, 100, 0.0)).writePosition, (86000u + 3 * 440 - 200) % kRing);
  // Never behind the write cursor, whatever the lateness.
  StreamScheduler other(kRing, kRate);
  EXPECT_EQ(other.Place(At(1000, 600, 0.0)).writePosition, 1440u);
}

}  // namespace
