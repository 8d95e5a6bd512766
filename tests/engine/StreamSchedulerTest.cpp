// The scheduler and the resampler together against simulated devices: a
// playback clock and a capture clock that may run apart, blocks handed over
// late by the capture device's period and at random, cursors that move in
// periods, a write cursor some way ahead of the play cursor, outputs that
// stall and slip, and a thread that starves. The device has committed what
// lies between its play and its write cursor: a sample written there is not
// heard, the ring's earlier content is. Each block's heard delay is worked
// out from where its first heard sample lands and when the output gets
// there; the properties are checked on Windows-like, Wine-like, USB-headset
// and starved-thread profiles at DELAY 40, 50, 60, 100 and 220.

#include "engine/StreamScheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "engine/CaptureGeometry.h"
#include "engine/DriftResampler.h"
#include "engine/SchedulerProperties.h"

namespace {

constexpr std::uint32_t kRate = 22050;
constexpr std::uint32_t kRing = 2 * 2 * kRate;

struct Profile {
  const char* name = "";
  double seconds = 20.0;
  double captureFast = 0.0;         // capture clock against playback, e.g. 0.0003 = 300 ppm fast
  double jitterBlocks = 0.0;        // blocks arrive up to this many block lengths late, at random,
  double wakeSeconds = 0.0;         // and this much later besides
  double periodSeconds = 0.0;       // every cursor moves in steps of this period (0: sample by sample)
  std::uint32_t earlyEvery = 0;     // one playback period in so many is mixed early (0: none),
  double earlySeconds = 0.0;        // by this much: both playback cursors step a period ahead of their pace
  double sawtoothSamples = 0.0;     // the capture cursor falls this far behind its period's pace and
  double sawtoothSeconds = 4.4;     // catches up over this many seconds, again and again
  double writeGapSeconds = 0.010;   // the write cursor's lead over the play cursor
  double gapChangeSeconds = 0.0;    // from then on (0: never)
  double laterGapSeconds = 0.0;     // the write cursor leads by this much
  double stallEverySeconds = 0.0;   // the play cursor stands still this often (0: never),
  double stallSeconds = 0.0;        // for this long, then jumps to where playback is
  double slipAtSeconds = 0.0;       // from then on the output plays everything this much
  double slipSamples = 0.0;         // later (0: never; below 0: earlier), and the play cursor drops by that
  bool slipHoldsBlocks = true;      // the stall that made the output slip held up the blocks as well
  double slipEverySeconds = 0.0;    // and slips by as much again this often (0: once)
  double captureSkipAtSeconds = 0.0;  // from then on the capture stream runs this far
  double captureSkipSamples = 0.0;    // ahead of its clock: the device put in samples (0: never)
  double starveEverySeconds = 0.0;  // the thread gets no processor this often (0: never),
  double starveSeconds = 0.0;       // for this long, while capture and playback go on
  std::uint32_t quietEvery = 10;    // every so many blocks is quiet (0: none)
  double settledSeconds = kSettledSeconds;  // judged from then on
};

Session Simulate(const Profile& p, std::int32_t delayMs) {
  Session session;
  if (p.slipSamples != 0) {
    for (double at = p.slipAtSeconds; at < p.seconds; at += p.slipEverySeconds) {
      session.slips.push_back(at);
      if (p.slipEverySeconds <= 0) break;
    }
  }
  const std::uint32_t block = session.block = ComputeCaptureGeometry(delayMs, 2 * kRate, 2).segmentBytes / 2;
  const double captureRate = kRate * (1.0 + p.captureFast);
  // A cursor reading in whole samples, at the last step of its period. A
  // period is as many samples on either device: on a capture clock that
  // runs fast its periods are shorter.
  const auto quantised = [&](double samples) {
    const double period = p.periodSeconds * kRate;
    return std::floor(period > 0 ? std::floor(samples / period + 1e-9) * period + 1e-9 : samples);
  };
  // A cursor never shows a sample before it is captured: readings lag the
  // true count by what the period has not shown yet, and by the sawtooth.
  const bool skips = p.captureSkipSamples > 0;
  const auto captureReading = [&](double seconds) {
    const double behind = p.sawtoothSamples * (1.0 - std::fmod(seconds / p.sawtoothSeconds, 1.0));
    const double skipped = skips && seconds >= p.captureSkipAtSeconds ? p.captureSkipSamples : 0.0;
    return quantised(seconds * captureRate) + skipped - (p.sawtoothSamples > 0 ? behind : 0.0);
  };
  // When the capture stream's `count`th sample was captured; the samples a
  // skip put in all show at once.
  const auto captureTime = [&](double count) {
    const double at = count / captureRate;
    if (!skips || at < p.captureSkipAtSeconds) return at;
    return std::max(p.captureSkipAtSeconds, (count - p.captureSkipSamples) / captureRate);
  };
  // The playback mixer's periods, of which one in `earlyEvery` comes early.
  const auto mixed = [&](double seconds) {
    if (p.periodSeconds <= 0 || p.earlyEvery == 0) return quantised(seconds * kRate);
    const auto next = static_cast<std::uint64_t>(std::floor(seconds / p.periodSeconds + 1e-9)) + 1;
    const bool early = next % p.earlyEvery == 0 && seconds >= next * p.periodSeconds - p.earlySeconds;
    return quantised((early ? next * p.periodSeconds : seconds) * kRate);
  };
  const double capturePeriod = p.periodSeconds * kRate / captureRate;
  const double step = std::max(capturePeriod, 1.0 / captureRate);
  StreamScheduler scheduler(kRing, kRate);
  DriftResampler resampler;
  std::vector<std::int16_t> input(block, 1000);
  std::vector<std::int16_t> output(DriftResampler::kMaxOutputSamples);
  std::mt19937 random(7);
  std::uniform_real_distribution<double> lateness(0.0, p.jitterBlocks * block / captureRate);
  bool slipStalled = false;
  double arrival = 0;
  double shownCapture = 0;  // the capture cursor's highest reading: where the sawtooth snaps back, it stands still
  double streamEnd = NAN;
  const auto blocks = static_cast<std::uint64_t>(p.seconds * captureRate / block);
  session.records.reserve(blocks);
  for (std::uint64_t k = 0; k < blocks; ++k) {
    // The block's end is captured, shows in the capture cursor, and the
    // listener wakes some time after that.
    const double captured = static_cast<double>((k + 1) * block);
    double shown = captureTime(captured);
    // The listener wakes on the capture device's periods.
    if (p.periodSeconds > 0) shown = std::ceil(shown / capturePeriod - 1e-9) * capturePeriod;
    while (captureReading(shown) < captured) shown += step;
    arrival = std::max(arrival, shown + p.wakeSeconds + lateness(random));
    if (p.starveEverySeconds > 0) {
      const double into = std::fmod(arrival, p.starveEverySeconds) - (p.starveEverySeconds - p.starveSeconds);
      if (into > 0) arrival += p.starveSeconds - into;
    }
    // The stall that made the output slip held up the blocks as well.
    if (p.slipSamples != 0 && !slipStalled && arrival >= p.slipAtSeconds) {
      if (p.slipHoldsBlocks) arrival += std::max(p.slipSamples, 0.0) / kRate + 0.030;
      slipStalled = true;
    }
    double playedAt = arrival;
    if (p.stallEverySeconds > 0) {
      const double into = std::fmod(arrival, p.stallEverySeconds) - (p.stallEverySeconds - p.stallSeconds);
      if (into > 0) playedAt -= into;
    }
    const bool slipped = p.slipSamples != 0 && arrival >= p.slipAtSeconds;
    const double slips =
        !slipped ? 0.0 : p.slipEverySeconds > 0 ? std::floor((arrival - p.slipAtSeconds) / p.slipEverySeconds) + 1 : 1.0;
    const double slip = slips * p.slipSamples;
    // Both playback cursors, unwrapped on the device's time line.
    const double played = mixed(playedAt) - slip;
    const double gap = p.gapChangeSeconds > 0 && arrival >= p.gapChangeSeconds ? p.laterGapSeconds : p.writeGapSeconds;
    const double committedTo = played + std::round(gap * kRate);
    const auto play = static_cast<std::uint32_t>(2 * static_cast<std::uint64_t>(played) % kRing);
    const auto write = static_cast<std::uint32_t>(2 * static_cast<std::uint64_t>(committedTo) % kRing);
    shownCapture = std::max({shownCapture, captureReading(shown), captureReading(arrival)});
    const auto late = static_cast<std::uint32_t>(shownCapture - captured);

    const double pending = resampler.PendingSamples();
    const bool quiet = p.quietEvery > 0 && k % p.quietEvery == 0;
    const StreamScheduler::Placement placement = scheduler.Place({play, write, block, late, pending, arrival, quiet});
    const std::uint32_t skip = placement.skipSamples;
    const std::uint32_t produced = resampler.Process(input.data() + skip, block - skip, placement.step, output.data());
    scheduler.Advance(produced);

    const std::uint32_t aheadBytes = (placement.writePosition + kRing - play) % kRing;
    const double ahead = aheadBytes < kRing / 2 ? aheadBytes / 2.0 : (aheadBytes - static_cast<double>(kRing)) / 2.0;
    const double placed = played + ahead;
    const double committed = std::clamp(committedTo - placed, 0.0, static_cast<double>(produced));
    BlockRecord record{};
    record.seconds = arrival;
    record.lateMs = 1000.0 * (arrival - captureTime(captured));
    record.produced = produced;
    record.committed = static_cast<std::uint32_t>(std::ceil(committed));
    // The output's time line runs `slip` behind the device's; the block's
    // first new sample follows what the resampler still held.
    record.heardMs = committed < produced
                         ? 1000.0 * ((placed + slip + pending) / kRate - captureTime(static_cast<double>(k * block + skip)))
                         : NAN;
    record.reportedMs = scheduler.HeardDelayMs();
    record.discontinuous = !std::isnan(streamEnd) && (std::fabs(placed + committed - streamEnd) > 0.5 || skip > 0);
    record.counted = scheduler.Reseats() + scheduler.Realignments();
    record.correction = std::fabs(placement.step - 1.0);
    session.records.push_back(record);
    streamEnd = placed + produced;
  }
  session.captureSteps = scheduler.CaptureSteps();
  session.holds = scheduler.Holds();
  return session;
}

// The heard delay the scheduler is to hold, in milliseconds, from `from` on:
// DELAY (four blocks), or, where the device commits further ahead, the
// write cursor's lead, the 2 ms margin and the block past the lateness
// with which all but the latest twentieth of the blocks arrive after their
// capture.
double HeldDelayMs(const Profile& p, const Session& s, double from, double gapSeconds) {
  std::vector<double> lateness;
  for (const BlockRecord& r : s.records) {
    if (r.seconds >= from) lateness.push_back(r.lateMs);
  }
  std::sort(lateness.begin(), lateness.end());
  const double blockMs = 1000.0 * s.block / kRate;
  const double delayMs = 1000.0 * s.block / (kRate * (1.0 + p.captureFast)) + 3.0 * blockMs;
  const double lateMs = lateness.empty() ? 0.0 : lateness[lateness.size() * 19 / 20];
  return std::max(delayMs, 1000.0 * gapSeconds + 2.0 + blockMs + lateMs);
}

// A simulated session judged from `from` to `until`: steady, and at the
// delay it is to hold.
struct SimulatedFindings {
  Findings findings;
  double heldMs = 0;  // what the heard delay is to be
};

SimulatedFindings ExamineSimulated(const Profile& p, const Session& s, double from, double until = 1e9) {
  const double gap = p.gapChangeSeconds > 0 && from >= p.gapChangeSeconds ? p.laterGapSeconds : p.writeGapSeconds;
  return {Examine(s, from, until), HeldDelayMs(p, s, from, gap)};
}

std::string DescribeSimulated(const Profile& p, std::int32_t delay, const SimulatedFindings& f) {
  char held[64];
  std::snprintf(held, sizeof held, ", %.1f ms to hold", f.heldMs);
  return Describe(std::string(p.name) + " at DELAY " + std::to_string(delay), f.findings) + held;
}

void ExpectHeldSteadily(const SimulatedFindings& f) {
  ExpectSteady(f.findings);
  EXPECT_NEAR(f.findings.medianMs, f.heldMs, 2.0);
}

Profile WindowsLike(double gapSeconds, double periodSeconds) {
  Profile p;
  p.writeGapSeconds = gapSeconds;
  p.periodSeconds = periodSeconds;
  p.jitterBlocks = 0.05;
  return p;
}

// Wine's devices: cursors in 10 ms periods, a capture cursor that falls
// behind by up to a period and catches up every few seconds, a play cursor
// that stands still for four periods every seven seconds, and an output
// that slips once by 30 ms, the play cursor dropping by as much, while the
// thread stalls with it.
Profile WineLike() {
  Profile p;
  p.periodSeconds = 0.010;
  p.sawtoothSamples = 220;
  p.jitterBlocks = 0.2;
  p.stallEverySeconds = 7.0;
  p.stallSeconds = 0.040;
  p.slipAtSeconds = 13.0;
  p.slipSamples = 661;
  p.seconds = 25.0;
  return p;
}

// Windows-like with a 30 ms gap, the capture clock `fast` off the playback
// clock's; the listener wakes on the capture clock.
Profile OnTwoClocks(const char* name, double fast, double seconds) {
  Profile p = WindowsLike(0.030, 0.010);
  p.name = name;
  p.captureFast = fast;
  p.seconds = seconds;
  return p;
}

std::vector<Profile> DeviceProfiles() {
  std::vector<Profile> profiles;
  for (const auto& [name, gap, period] :
       {std::tuple{"windows_30ms_gap_10ms_periods", 0.030, 0.010}, std::tuple{"windows_30ms_gap_1ms_steps", 0.030, 0.001},
        std::tuple{"windows_40ms_gap_10ms_periods", 0.040, 0.010}, std::tuple{"windows_40ms_gap_1ms_steps", 0.040, 0.001}}) {
    Profile p = WindowsLike(gap, period);
    p.name = name;
    profiles.push_back(p);
  }
  Profile wine = WineLike();
  wine.name = "wine";
  profiles.push_back(wine);
  // A mixer that now and then mixes a period 7 ms early: between two
  // blocks both playback cursors step two periods, as recorded under Wine
  // every few seconds; a Windows mixer woken early does the same.
  Profile earlyPeriods = WineLike();
  earlyPeriods.name = "wine_early_periods";
  earlyPeriods.earlyEvery = 397;
  earlyPeriods.earlySeconds = 0.007;
  earlyPeriods.wakeSeconds = 0.004;
  profiles.push_back(earlyPeriods);
  Profile windowsEarly = WindowsLike(0.030, 0.010);
  windowsEarly.name = "windows_30ms_gap_early_periods";
  windowsEarly.earlyEvery = 397;
  windowsEarly.earlySeconds = 0.007;
  profiles.push_back(windowsEarly);
  // A mixer that loses a period: the output falls behind by it for good,
  // with neither the thread nor the play cursor standing still for longer
  // than that period. One that loses a period every 20 s must not be held
  // on a hull, which across the losses would slope as if the clocks
  // drifted apart.
  struct Losing {
    const char* name;
    bool windows;
    double everySeconds;
    double seconds;
  };
  for (const Losing& l : {Losing{"windows_30ms_gap_loses_a_period", true, 0.0, 25.0},
                          Losing{"wine_loses_a_period", false, 0.0, 25.0},
                          Losing{"windows_30ms_gap_loses_periods", true, 20.0, 100.0}}) {
    Profile losing = l.windows ? WindowsLike(0.030, 0.010) : WineLike();
    losing.name = l.name;
    losing.stallEverySeconds = 0.0;
    losing.slipAtSeconds = 13.0;
    losing.slipEverySeconds = l.everySeconds;
    losing.slipSamples = 0.010 * kRate;
    losing.slipHoldsBlocks = false;
    losing.seconds = l.seconds;
    profiles.push_back(losing);
  }
  // Before the cursors' lines are known.
  Profile earlySlip = WineLike();
  earlySlip.name = "wine_early_slip";
  earlySlip.slipAtSeconds = 3.0;
  earlySlip.seconds = 15.0;
  profiles.push_back(earlySlip);
  // A USB headset's capture clock 300 ppm off the playback clock, on
  // Windows' shared mixer. The listener wakes on the capture clock, so the
  // play readings' place in their period sweeps it every 33 s; the play
  // line is known once its hull has seen two such sweeps.
  for (const auto& [name, fast] : {std::pair{"usb_headset_fast", 0.0003}, std::pair{"usb_headset_slow", -0.0003}}) {
    Profile usb = OnTwoClocks(name, fast, 150.0);
    usb.settledSeconds = 90.0;
    profiles.push_back(usb);
  }
  // A busy machine: every two seconds the thread gets no processor for
  // 45 ms, longer than the 30 ms lead at DELAY 40.
  Profile starved = WineLike();
  starved.name = "starved_thread";
  starved.stallEverySeconds = 0.0;
  starved.slipSamples = 0.0;
  starved.starveEverySeconds = 2.0;
  starved.starveSeconds = 0.045;
  starved.seconds = 20.0;
  profiles.push_back(starved);
  return profiles;
}

const std::vector<Profile> kProfiles = DeviceProfiles();

class HeardDelayOnDevices : public ::testing::TestWithParam<std::tuple<std::size_t, std::int32_t>> {};

TEST_P(HeardDelayOnDevices, HoldsOneDelayPastTheCommittedSpan) {
  const Profile& profile = kProfiles[std::get<0>(GetParam())];
  const std::int32_t delay = std::get<1>(GetParam());
  const Session session = Simulate(profile, delay);
  const SimulatedFindings findings = ExamineSimulated(profile, session, profile.settledSeconds);
  SCOPED_TRACE(DescribeSimulated(profile, delay, findings));
  ExpectHeldSteadily(findings);
  EXPECT_EQ(0u, session.captureSteps) << "a capture that keeps its pace was counted as stepping ahead";
  if (profile.captureFast == 0.0) {
    EXPECT_EQ(0u, session.holds) << "on one clock the play readings' place stands";
  }
}

INSTANTIATE_TEST_SUITE_P(Profiles, HeardDelayOnDevices,
                         ::testing::Combine(::testing::Range<std::size_t>(0, kProfiles.size()),
                                            ::testing::Values(40, 50, 60, 100, 220)),
                         [](const ::testing::TestParamInfo<HeardDelayOnDevices::ParamType>& info) {
                           return std::string(kProfiles[std::get<0>(info.param)].name) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

TEST(HeardDelayOnDevices, StartsOutPastTheWriteCursorAndStaysSo) {
  // Windows-like at DELAY 40 with a 40 ms gap: from the first block on,
  // nothing goes where the device has committed.
  Profile profile = WindowsLike(0.040, 0.010);
  profile.name = "windows_40ms_gap_10ms_periods";
  profile.seconds = 3.0;
  const Session session = Simulate(profile, 40);
  for (const BlockRecord& record : session.records) {
    ASSERT_EQ(record.committed, 0u) << "at " << record.seconds << " s";
  }
}

TEST(HeardDelayOnDevices, ComesBackInQuietBlocksWhenTheWriteCursorDrawsNearer) {
  for (const std::int32_t delay : {40, 60}) {
    Profile profile = WindowsLike(0.040, 0.010);
    profile.name = "windows_gap_40ms_then_10ms";
    profile.gapChangeSeconds = 10.0;
    profile.laterGapSeconds = 0.010;
    profile.seconds = 25.0;
    const Session session = Simulate(profile, delay);
    const SimulatedFindings before = ExamineSimulated(profile, session, kSettledSeconds, 10.0);
    // The write cursor's lead is taken from five seconds of readings.
    const SimulatedFindings after = ExamineSimulated(profile, session, 17.0);
    SCOPED_TRACE("before: " + DescribeSimulated(profile, delay, before));
    SCOPED_TRACE("after: " + DescribeSimulated(profile, delay, after));
    EXPECT_GT(before.findings.medianMs, after.findings.medianMs + 5.0) << "the stream did not come back";
    ExpectHeldSteadily(after);
  }
}

TEST(HeardDelayOnDevices, AnOutputThatJumpsAheadIsMeasuredAndBreaksTheStreamOnlyBriefly) {
  // The mixer skips ahead after a hiccup and stays there, while the thread
  // stands still for less than a stall: the cursors' readings lead their
  // lines until the lines take in the new level, for a few tenths of a
  // second. The stream may break up for about as long as the jump passed
  // over, then runs on whole, not cut block after block until the lines
  // catch up; and the skip is measured, so that the lines' slopes keep
  // nothing of it and the report follows what is heard. At DELAY 220 the
  // readings come 55 ms apart, so a jump shows in few of them.
  for (const auto& [jumpMs, delay] : {std::pair{20.0, 40}, std::pair{40.0, 40}, std::pair{20.0, 100}, std::pair{40.0, 100},
                                      std::pair{10.0, 220}, std::pair{20.0, 220}, std::pair{40.0, 220}}) {
    Profile profile = WineLike();
    profile.name = "wine_output_jumps_ahead";
    profile.stallEverySeconds = 0.0;
    profile.slipAtSeconds = 12.0;
    profile.slipSamples = -jumpMs * kRate / 1000.0;
    const Session session = Simulate(profile, delay);
    const SimulatedFindings findings = ExamineSimulated(profile, session, kSettledSeconds);
    SCOPED_TRACE(DescribeSimulated(profile, delay, findings) + ", " + std::to_string(jumpMs) + " ms ahead");
    ExpectHeardSteadilyBetweenSlips(findings.findings);
    double runFrom = NAN;
    double longestRun = 0.0;
    for (const BlockRecord& r : session.records) {
      if (!r.discontinuous) {
        runFrom = NAN;
      } else if (r.seconds >= profile.slipAtSeconds) {
        if (std::isnan(runFrom)) runFrom = r.seconds;
        longestRun = std::max(longestRun, r.seconds - runFrom);
      }
    }
    EXPECT_LE(1000.0 * longestRun, jumpMs + 20.0) << "cut blocks in a row";
  }
}

TEST(HeardDelayOnDevices, ACaptureThatSkipsAheadIsCountedOnce) {
  // The capture device puts in 12 ms once: every sample after it is heard
  // 12 ms later, which only the capture cursor's step shows.
  for (const std::int32_t delay : {40, 100, 220}) {
    Profile profile = WindowsLike(0.030, 0.010);
    profile.name = "windows_capture_skips_ahead";
    profile.captureSkipAtSeconds = 12.0;
    profile.captureSkipSamples = 0.012 * kRate;
    profile.seconds = 25.0;
    const Session session = Simulate(profile, delay);
    const SimulatedFindings findings = ExamineSimulated(profile, session, kSettledSeconds);
    SCOPED_TRACE(DescribeSimulated(profile, delay, findings));
    ExpectPlacedSafely(findings.findings);
    EXPECT_EQ(1u, session.captureSteps);
  }
}

TEST(HeardDelayOnDevices, PlayReadingsThatDriftSlowlyThroughTheirPeriodFindThePaceOnceTheySweptIt) {
  // 100 ppm between the clocks: the play readings' place sweeps a period
  // in 100 s, and the line over seconds of them lags the pace by anything
  // up to a period until its hull has seen two sweeps.
  for (const double fast : {0.0001, -0.0001}) {
    for (const std::int32_t delay : {40, 220}) {
      const Profile usb = OnTwoClocks(fast > 0 ? "usb_100ppm_fast" : "usb_100ppm_slow", fast, 450.0);
      const Session session = Simulate(usb, delay);
      const SimulatedFindings findings = ExamineSimulated(usb, session, 260.0);
      SCOPED_TRACE(DescribeSimulated(usb, delay, findings));
      ExpectHeldSteadily(findings);
    }
  }
}

TEST(HeardDelayOnDevices, AnOutputThatLosesAPeriodUnderDriftingReadingsIsFoundAgain) {
  // The mixer loses a period while the play line is held on its hull: the
  // hull lies a period above the pace from then on, and the line over the
  // newest readings no longer comes up to it. The hull starts afresh and
  // the stream settles at the delay held again.
  for (const double fast : {0.0003, -0.0003}) {
    Profile usb = OnTwoClocks(fast > 0 ? "usb_fast_loses_a_period" : "usb_slow_loses_a_period", fast, 300.0);
    usb.slipAtSeconds = 120.0;
    usb.slipSamples = 0.010 * kRate;
    usb.slipHoldsBlocks = false;
    const Session session = Simulate(usb, 100);
    const SimulatedFindings findings = ExamineSimulated(usb, session, 220.0);
    SCOPED_TRACE(DescribeSimulated(usb, 100, findings));
    ExpectPlacedSafely(findings.findings);
    EXPECT_LE(findings.findings.stretchSpreadMs, 2.0);
    EXPECT_LE(findings.findings.reportErrorMs, 3.0);
    EXPECT_NEAR(findings.findings.medianMs, findings.heldMs, 2.0);
  }
}

// A block of 10 ms (DELAY 40) at a 10 ms write gap, one reading at a time.
StreamScheduler::Block At(std::uint32_t play, std::uint32_t write, std::uint32_t lateSamples, double seconds) {
  return {play, write, 220, lateSamples, 0.0, seconds, false};
}

TEST(StreamScheduler, SeatsTheFirstBlockByItsCaptureTimePastTheWriteCursor) {
  // Three blocks ahead of play, less what the block waited.
  StreamScheduler nearby(kRing, kRate);
  EXPECT_EQ(nearby.Place(At(86000, 86440, 100, 0.0)).writePosition, (86000u + 3 * 440 - 200) % kRing);
  EXPECT_EQ(nearby.HeardDelayMs(), 40u);  // four blocks of 220 samples
  // A write cursor 40 ms ahead: the block goes 2 ms past it and a period
  // further, for the lateness of blocks to come, and the delay grows by as
  // much.
  StreamScheduler distant(kRing, kRate);
  EXPECT_EQ(distant.Place(At(1000, 1000 + 1764, 0, 0.0)).writePosition, 1000u + 1764 + 2 * 265);
  EXPECT_EQ(distant.HeardDelayMs(), 62u);
  EXPECT_EQ(distant.Reseats(), 0u);
}

// A scheduler after 20 blocks on time at a 10 ms write gap: `play` and
// `seconds` are where the next block on time would find the cursors.
class StreamSchedulerAfterBlocksOnTime : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int k = 0; k < 20; ++k, seconds += 0.01, play += 440) {
      scheduler.Place(At(play, play + 440, 0, seconds));
      scheduler.Advance(220);
    }
  }

  StreamScheduler scheduler{kRing, kRate};
  std::uint32_t play = 0;
  double seconds = 0.0;
};

TEST_F(StreamSchedulerAfterBlocksOnTime, ALateBlockLosesWhatTheDeviceHasCommittedAndTheRestKeepsItsTime) {
  const std::uint32_t streamAt = (play - 440 + 3 * 440 + 440) % kRing;
  // 25 ms late: the play cursor is 550 samples on, its write cursor 110
  // samples past where the stream goes on.
  play += 1100;
  const StreamScheduler::Placement late = scheduler.Place(At(play, play + 440, 550, seconds + 0.025));
  EXPECT_TRUE(late.reseated);
  EXPECT_EQ(late.writePosition, play + 440);
  EXPECT_EQ(late.writePosition - streamAt, 2 * late.skipSamples) << "what is left out keeps the rest at its time";
  EXPECT_EQ(scheduler.Reseats(), 1u);
  EXPECT_EQ(scheduler.Stalls(), 0u) << "a block 25 ms late is no stall";
}

TEST_F(StreamSchedulerAfterBlocksOnTime, BlocksThatStayLateBreakTheStreamOnceNotAtEveryBlock) {
  // From now on every block comes 25 ms late: at its time each would lie
  // 110 samples behind the write cursor. The first is cut; the stream then
  // goes on past the write cursor, and the blocks after it are whole.
  play += 1100;
  seconds += 0.025;
  for (int k = 0; k < 4; ++k, seconds += 0.01, play += 440) {
    const StreamScheduler::Placement placement = scheduler.Place(At(play, play + 440, 550, seconds));
    EXPECT_EQ(placement.reseated, k < 2) << "block " << k;
    EXPECT_EQ(placement.skipSamples > 0, k == 0) << "block " << k;
    scheduler.Advance(220 - placement.skipSamples);
  }
  EXPECT_EQ(scheduler.Reseats(), 2u);
}

TEST_F(StreamSchedulerAfterBlocksOnTime, AStreamCutAgainGoesOnPastTheWriteCursorsLineNotItsReading) {
  // A block 30 ms late, read 5 ms into the cursors' period: their readings
  // lag their lines by 110 samples. It is cut at the write cursor read.
  const StreamScheduler::Placement late = scheduler.Place(At(play + 1100, play + 1540, 660, seconds + 0.030));
  ASSERT_TRUE(late.reseated);
  scheduler.Advance(220 - late.skipSamples);
  // The next block finds the cursors two periods on, read at the same
  // phase, and the stream behind the write cursor read: it goes on 2 ms
  // (44 samples) past the write cursor's line, where the cursor's next step
  // does not reach it. (The readings, 220 samples every 10 ms, fall behind
  // 22050 Hz by half a sample a block: the line lies up to a millisecond
  // higher.)
  const std::uint32_t write = play + 1980;
  const StreamScheduler::Placement next = scheduler.Place(At(play + 1540, write, 0, seconds + 0.040));
  EXPECT_TRUE(next.reseated);
  EXPECT_EQ(next.skipSamples, 0u) << "a stream that goes on loses nothing of the block";
  EXPECT_GE(next.writePosition, write + 2 * (110 + 44));
  EXPECT_LE(next.writePosition, write + 2 * (110 + 44 + 22));
  EXPECT_EQ(scheduler.Reseats(), 2u);
}

TEST(StreamScheduler, GoesThroughItsPhasesAndStartsAfreshAfterALongGap) {
  using Phase = StreamScheduler::Phase;
  StreamScheduler scheduler(kRing, kRate);
  EXPECT_EQ(scheduler.CurrentPhase(), Phase::Unseated);
  std::uint32_t play = 0;
  double seconds = 0.0;
  const auto run = [&](double until) {
    for (; seconds < until; seconds += 220.0 / kRate, play = (play + 440) % kRing) {
      scheduler.Advance(220 - scheduler.Place(At(play, (play + 440) % kRing, 0, seconds)).skipSamples);
    }
  };
  run(0.4);
  EXPECT_EQ(scheduler.CurrentPhase(), Phase::Starting) << "the devices' first bursts";
  run(5.0);
  EXPECT_EQ(scheduler.CurrentPhase(), Phase::Learning) << "five seconds of readings after the bursts";
  run(7.0);
  EXPECT_EQ(scheduler.CurrentPhase(), Phase::Recovering) << "the lines known";
  run(10.0);
  EXPECT_EQ(scheduler.CurrentPhase(), Phase::Holding);
  EXPECT_EQ(scheduler.Reseats(), 0u);
  // Two seconds without a block: the play cursor has lapped the two-second
  // ring and reads where it stood.
  seconds += 2.0;
  run(seconds + 0.1);
  EXPECT_EQ(scheduler.CurrentPhase(), Phase::Learning);
  EXPECT_EQ(scheduler.Reseats(), 1u);
}

}  // namespace
