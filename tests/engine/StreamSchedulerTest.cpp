// The scheduler and the resampler together against simulated devices: a
// playback clock and a capture clock that run apart, blocks handed over with
// random lateness, and, like Wine's, cursors that move in 10 ms periods and
// a capture cursor that runs ahead by up to a period and snaps back.
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
  double cursorStepAtSeconds = 0.0;  // from then on the play cursor reads this much behind
  double cursorStepSamples = 0.0;    // where playback is (0: never)
  std::uint32_t writeGapSamples = 220;
  double minutes = 1.0;
  bool oldRule = false;              // place each block three blocks ahead of where play is now
};

struct Outcome {
  double worstErrorMs = 0;           // heard delay against the nominal one, from `settled` on
  double spreadMs = 0;               // highest minus lowest heard delay, from `settled` on
  std::uint32_t reseats = 0;
  std::uint32_t behindWriteCursor = 0;  // blocks placed where the device had already mixed
  std::uint32_t discontinuities = 0;    // blocks not placed right behind the previous output
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
    double playedAt = arrival;
    if (devices.stallEverySeconds > 0) {
      const double intoStall = std::fmod(arrival, devices.stallEverySeconds) - (devices.stallEverySeconds - devices.stallSeconds);
      if (intoStall > 0) playedAt -= intoStall;
    }
    double played = quantised(playedAt * kRate, kRate);
    if (devices.cursorStepSamples != 0 && arrival >= devices.cursorStepAtSeconds) played -= devices.cursorStepSamples;
    const auto play = static_cast<std::uint32_t>(2 * static_cast<std::uint64_t>(played) % kRing);
    const std::uint32_t write = (play + 2 * devices.writeGapSamples) % kRing;
    const double sawtooth = devices.sawtoothSamples * std::fmod(arrival / devices.sawtoothSeconds, 1.0);
    const auto late = static_cast<std::uint32_t>(quantised(arrival * captureRate, captureRate) - captured + sawtooth);

    std::uint32_t writePosition = 0;
    std::uint32_t produced = 0;
    double pending = 0;
    if (devices.oldRule) {
      writePosition = oldWritePosition = OldWritePosition(play, oldWritePosition, 2 * block);
      produced = block;
      oldWritePosition = (oldWritePosition + 2 * block) % kRing;
    } else {
      pending = resampler.PendingSamples();
      const StreamScheduler::Placement placement = scheduler.Place(play, write, block, late, pending);
      writePosition = placement.writePosition;
      produced = resampler.Process(input.data(), block, placement.step, output.data());
      scheduler.Advance(produced);
      outcome.largestCorrection = std::max(outcome.largestCorrection, std::fabs(placement.step - 1.0));
    }

    const std::uint32_t aheadBytes = (writePosition + kRing - play) % kRing;
    if (aheadBytes < 2 * devices.writeGapSamples) ++outcome.behindWriteCursor;
    const double placed = played + aheadBytes / 2.0;
    if (streamEnd >= 0 && std::fabs(placed - streamEnd) > 0.5) ++outcome.discontinuities;
    streamEnd = placed + produced;

    // The block's first sample follows what the resampler still held.
    const double heardMs = 1000.0 * ((placed + pending) / kRate - static_cast<double>(k * block) / captureRate);
    if (arrival >= settledSeconds) {
      outcome.worstErrorMs = std::max(outcome.worstErrorMs, std::fabs(heardMs - nominalMs));
      lowest = std::min(lowest, heardMs);
      highest = std::max(highest, heardMs);
    }
  }
  outcome.spreadMs = highest - lowest;
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
  Devices devices;
  devices.delayMs = GetParam();
  devices.periodSeconds = 0.010;
  devices.sawtoothSamples = 220;
  devices.jitterBlocks = 0.2;
  // A mixer preempted for four periods while blocks go on arriving, and a
  // play cursor re-estimated 20 ms back while the sound goes on.
  devices.stallEverySeconds = 7.0;
  devices.stallSeconds = 0.040;
  devices.cursorStepAtSeconds = 100.0;
  devices.cursorStepSamples = 441.0;
  devices.minutes = 5;
  const Outcome outcome = Simulate(devices);
  SCOPED_TRACE(Describe(devices, outcome));
  EXPECT_LE(outcome.spreadMs, 2.0);
  EXPECT_EQ(outcome.reseats, 0u);
  EXPECT_EQ(outcome.discontinuities, 0u);
}

INSTANTIATE_TEST_SUITE_P(Delays, HeardDelayUnderDrift, ::testing::Values(40, 100, 220),
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

TEST(StreamScheduler, ReseatsAtTheNominalPlaceOnlyWhenTheStreamFellBehindTheWriteCursor) {
  StreamScheduler scheduler(kRing, kRate);
  const StreamScheduler::Placement first = scheduler.Place(10000, 10440, 220, 0, 0);
  EXPECT_FALSE(first.reseated) << "the first placement is a seat, not a jump";
  EXPECT_EQ(first.writePosition, 10000u + 3 * 440);
  EXPECT_EQ(scheduler.HeardDelayMs(), 39u);  // four blocks of 220 samples
  scheduler.Advance(220);

  // 15 ms late: still ahead of the write cursor, so it streams on.
  const StreamScheduler::Placement late = scheduler.Place(11102, 11542, 220, 330, 0);
  EXPECT_FALSE(late.reseated);
  EXPECT_EQ(late.writePosition, 10000u + 4 * 440);
  scheduler.Advance(220);

  // The play cursor has passed the stream's place: an underrun.
  const StreamScheduler::Placement lost = scheduler.Place(20000, 20440, 220, 0, 0);
  EXPECT_TRUE(lost.reseated);
  EXPECT_EQ(lost.writePosition, 20000u + 3 * 440);
  EXPECT_EQ(scheduler.Reseats(), 1u);
}

TEST(StreamScheduler, ReseatsAtTheLeadTheSessionIsHeldAtOnceThatIsKnown) {
  StreamScheduler scheduler(kRing, kRate);
  // The play cursor starts slowly, so the stream settles 40 samples beyond
  // its nominal on-time lead of three blocks; ten seconds of that are the
  // reference.
  std::uint32_t play = 0;
  for (int k = 0; k < 1100; ++k) {
    scheduler.Place(play, play + 440, 220, 50, 0);
    scheduler.Advance(220);
    play = (play + (k < 8 ? 430 : 440)) % kRing;
  }
  // Capture stood still for half a second: the stream's place has passed.
  play = (play + 2 * 11025) % kRing;
  const StreamScheduler::Placement lost = scheduler.Place(play, play + 440, 220, 150, 0);
  EXPECT_TRUE(lost.reseated);
  EXPECT_EQ(lost.writePosition, (play + 2 * (3 * 220 + 40 - 150)) % kRing) << "not at the nominal place";
}

TEST(StreamScheduler, ALateFirstBlockIsPlacedByItsCaptureTime) {
  StreamScheduler scheduler(kRing, kRate);
  // Captured 100 samples before it was handed over: 100 samples nearer.
  EXPECT_EQ(scheduler.Place(86000, 86440, 220, 100, 0).writePosition, (86000u + 3 * 440 - 200) % kRing);
  // Never behind the write cursor, whatever the lateness.
  StreamScheduler other(kRing, kRate);
  EXPECT_EQ(other.Place(1000, 1440, 220, 600, 0).writePosition, 1440u);
}

}  // namespace
