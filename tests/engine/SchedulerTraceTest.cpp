// The stream scheduler replayed on cursors recorded from the real engine
// under Wine on the PulseAudio fixture (tests/engine/traces, recorded by
// tests/engine/RecordSchedulerTrace.cpp): a session with one of Wine's
// registry-write stalls, one from the devices' start burst, one with a
// starved listener thread, one through Windows' committed span (the write
// cursor 40 ms ahead) and one with the mixer running periods early. The
// replay is open-loop: the recorded cursors do not depend on where the
// stream was written. A block's heard delay is
// taken against where the cursors really stood, which the replay knows from
// the readings before and after it: a reading lags its cursor's pace by up
// to a period, so the pace is the top of the cursor's offsets against the
// steady clock within a few seconds either way, not across a slip of the
// output nor the half second in which the play cursor drops. The top is
// the offset that a twentieth of the readings exceed: now and then one of
// Wine's play readings leads its pace by several milliseconds.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/SchedulerProperties.h"
#include "engine/SchedulerTrace.h"

namespace {

// Wine's capture readings fall behind by up to a period and snap back about
// every 1.2 s: the window takes in a few of those snaps.
constexpr double kPaceWindowSeconds = 2.5;
// A slip shows within half a second either way.
constexpr double kSlipWindowSeconds = 0.5;
// A play cursor that falls behind its pace by more than a period: the
// output slipped (Wine's mixer stood still with every other thread).
constexpr double kSlipSeconds = 0.010;

std::string TracePath(const std::string& name) { return std::string(RYN_SCHEDULER_TRACES) + "/" + name; }

// Each reading's offset against the steady clock, in samples.
struct Offsets {
  std::vector<double> play;     // the play cursor, unwrapped
  std::vector<double> capture;  // samples captured by the reading: the blocks so far and the lateness
};

Offsets OffsetsOf(const SchedulerTrace& trace) {
  Offsets o;
  double played = 0.0;
  double captured = 0.0;
  for (std::size_t k = 0; k < trace.blocks.size(); ++k) {
    const StreamScheduler::Block& b = trace.blocks[k];
    if (k > 0) {
      auto moved = static_cast<double>((b.play + trace.ringBytes - trace.blocks[k - 1].play) % trace.ringBytes);
      if (moved >= trace.ringBytes / 2) moved -= trace.ringBytes;
      played += moved / 2.0;
    }
    captured += b.samples;
    o.play.push_back(played - b.seconds * trace.sampleRate);
    o.capture.push_back(captured + b.lateSamples - b.seconds * trace.sampleRate);
  }
  return o;
}

// The offset of the readings from `from` to `until` seconds that a
// twentieth of them exceed.
double Top(const SchedulerTrace& trace, const std::vector<double>& offsets, double from, double until) {
  std::vector<double> within;
  for (std::size_t j = 0; j < offsets.size(); ++j) {
    const double t = trace.blocks[j].seconds;
    if (t >= from && t <= until) within.push_back(offsets[j]);
  }
  if (within.empty()) return -1e300;
  const auto top = within.end() - 1 - static_cast<std::ptrdiff_t>(within.size() / 20);
  std::nth_element(within.begin(), top, within.end());
  return *top;
}

// Where the output slipped: the play cursor's pace in the half second
// from a reading on lies a period below the half second before it.
std::vector<double> Slips(const SchedulerTrace& trace, const Offsets& o) {
  std::vector<double> slips;
  const double w = kSlipWindowSeconds;
  for (const StreamScheduler::Block& b : trace.blocks) {
    // Half a window at either end of the trace shows nothing of a slip.
    if (b.seconds < trace.blocks.front().seconds + w || b.seconds > trace.blocks.back().seconds - w) continue;
    if (!slips.empty() && b.seconds < slips.back() + 1.0) continue;
    const double before = Top(trace, o.play, b.seconds - w, b.seconds - 1e-9);
    const double after = Top(trace, o.play, b.seconds, b.seconds + w);
    if (before - after > kSlipSeconds * trace.sampleRate) slips.push_back(b.seconds);
  }
  return slips;
}

Session ReplaySession(const SchedulerTrace& trace) {
  const std::vector<ReplayedBlock> replayed = ReplaySchedulerTrace(trace);
  const Offsets o = OffsetsOf(trace);
  const double rate = trace.sampleRate;
  const double ring = trace.ringBytes;
  Session session;
  session.block = trace.blocks.empty() ? 0 : trace.blocks.front().samples;
  session.slips = Slips(trace, o);
  std::uint32_t streamEnd = 0;
  for (std::size_t k = 0; k < replayed.size(); ++k) {
    const ReplayedBlock& r = replayed[k];
    const StreamScheduler::Block& b = r.input;
    const double t = b.seconds;
    // The pace window, between the slips around the block.
    double from = t - kPaceWindowSeconds;
    double until = t + kPaceWindowSeconds;
    for (const double slip : session.slips) {
      if (slip <= t) from = std::max(from, std::min(slip + kSlipWindowSeconds, t));
      if (slip > t) until = std::min(until, slip - 1e-9);
    }
    // How far each reading lies behind its cursor's pace.
    const double playLag = Top(trace, o.play, from, until) - o.play[k];
    const double captureLag = Top(trace, o.capture, from, until) - o.capture[k];
    const auto signedBytes = [&](std::uint32_t from, std::uint32_t to) {
      const double bytes = (to + trace.ringBytes - from) % trace.ringBytes;
      return bytes < ring / 2 ? bytes : bytes - ring;
    };
    const double ahead = signedBytes(b.play, r.placement.writePosition) / 2.0;
    const double writeLead = signedBytes(b.play, b.write) / 2.0;
    const double committed = std::clamp(writeLead - ahead, 0.0, static_cast<double>(r.produced));
    const std::uint32_t skip = r.placement.skipSamples;
    BlockRecord record{};
    record.seconds = t;
    record.lateMs = 1000.0 * b.lateSamples / rate;
    record.produced = r.produced;
    record.committed = static_cast<std::uint32_t>(std::ceil(committed));
    // From the capture of the block's first heard sample to the play
    // cursor's reaching it.
    const double sinceCapture = b.samples - skip + b.lateSamples + captureLag;
    record.heardMs = committed < r.produced ? 1000.0 * (ahead - playLag + b.pendingSamples + sinceCapture) / rate : NAN;
    record.reportedMs = r.heardDelayMs;
    const auto heardFrom = static_cast<std::uint32_t>(r.placement.writePosition + 2 * std::lround(committed)) %
                           trace.ringBytes;
    record.discontinuous = k > 0 && (heardFrom != streamEnd || skip > 0);
    record.counted = r.counted;
    record.correction = std::fabs(r.placement.step - 1.0);
    session.records.push_back(record);
    streamEnd = (r.placement.writePosition + 2 * r.produced) % trace.ringBytes;
  }
  session.captureSteps = replayed.empty() ? 0 : replayed.back().captureSteps;
  session.holds = replayed.empty() ? 0 : replayed.back().holds;
  return session;
}

class RecordedTraces : public ::testing::TestWithParam<const char*> {};

TEST_P(RecordedTraces, HoldOneDelayPastTheWriteCursor) {
  const SchedulerTrace trace = ReadSchedulerTrace(TracePath(GetParam()));
  ASSERT_GT(trace.blocks.size(), 500u);
  const Session session = ReplaySession(trace);
  const Findings findings = Examine(session);
  std::ostringstream slips;
  for (const double slip : session.slips) slips << " " << slip;
  const std::string described = Describe(GetParam(), findings) + ", slips at" + slips.str() + " s, " +
                                std::to_string(session.captureSteps) + " capture steps";
  std::printf("%s\n", described.c_str());
  SCOPED_TRACE(described);
  ExpectPlacedSafely(findings);
  EXPECT_EQ(0u, session.captureSteps) << "the capture kept its pace in these sessions";
  EXPECT_EQ(0u, session.holds) << "capture and playback ran on one clock";
  // Blocks that come a little later block by block, as Wine's capture's do
  // while it starts, move the stream past the write cursor once, rather
  // than have it cut at the write cursor by each next block: away from a
  // starved thread, the stream is cut less than once a second.
  if (std::string(GetParam()).find("starved") == std::string::npos) {
    const double seconds = trace.blocks.back().seconds - trace.blocks.front().seconds;
    EXPECT_LT(findings.discontinuities, seconds) << "the stream was cut again and again";
  }
  // Where the output slipped, the seconds after the slip settle, and the
  // stream may come back to its delay or stay where the slip left it.
  if (session.slips.empty()) {
    ExpectHeardSteadily(findings);
  } else {
    ExpectHeardSteadilyBetweenSlips(findings);
  }
}

INSTANTIATE_TEST_SUITE_P(Wine, RecordedTraces,
                         ::testing::Values("wine-registry-stall.txt", "wine-start-burst.txt",
                                           "wine-starved-thread.txt", "wine-committed-span.txt"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           name = name.substr(0, name.find('.'));
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// The median heard delay of the records from `first` to before `last`.
double MedianHeardMs(const Session& s, std::size_t first, std::size_t last) {
  std::vector<double> heard;
  for (std::size_t k = first; k < last && k < s.records.size(); ++k) {
    if (!std::isnan(s.records[k].heardMs)) heard.push_back(s.records[k].heardMs);
  }
  if (heard.empty()) return NAN;
  std::nth_element(heard.begin(), heard.begin() + static_cast<std::ptrdiff_t>(heard.size() / 2), heard.end());
  return heard[heard.size() / 2];
}

TEST(RecordedTraces, AMixerPeriodThatCameEarlyCutsTheStreamAndKeepsItsDelay) {
  // Every few seconds Wine's mixer mixes a period early, and the next block
  // finds the write cursor past the end of the stream. What the device has
  // committed is lost either way; the rest of the stream keeps its time,
  // as after a late block, rather than going on later from the write
  // cursor and staying later. Judged on the five blocks either side.
  const SchedulerTrace trace = ReadSchedulerTrace(TracePath("wine-early-periods.txt"));
  const std::vector<ReplayedBlock> replayed = ReplaySchedulerTrace(trace);
  const Session session = ReplaySession(trace);
  constexpr std::size_t kAround = 5;
  int cuts = 0;
  for (std::size_t k = kAround; k < replayed.size(); ++k) {
    const double t = replayed[k].input.seconds;
    if (!replayed[k].placement.reseated || t < kSettledSeconds || NearSlip(session, t)) continue;
    ++cuts;
    const double before = MedianHeardMs(session, k - kAround, k);
    const double after = MedianHeardMs(session, k, k + kAround);
    EXPECT_NEAR(after, before, 1.0) << "heard delay across the cut at " << t << " s";
  }
  EXPECT_GE(cuts, 2) << "the trace's early periods";
}

TEST(SchedulerTrace, ReadsWhatWasWrittenAndNamesALineThatDoesNotParse) {
  SchedulerTrace trace;
  trace.description = " a test\n";
  trace.ringBytes = 88200;
  trace.sampleRate = 22050;
  trace.blocks = {{86000, 86440, 220, 17, 8.25, 3.0, true}, {86440, 88000, 220, 0, 8.5, 3.01, false}};
  std::stringstream text;
  WriteSchedulerTrace(text, trace);
  const SchedulerTrace read = ReadSchedulerTrace(text);
  EXPECT_EQ(read.description, trace.description);
  ASSERT_EQ(read.blocks.size(), 2u);
  EXPECT_EQ(read.blocks[1].write, 88000u);
  EXPECT_DOUBLE_EQ(read.blocks[1].seconds, 0.01) << "seconds from the first block";
  EXPECT_DOUBLE_EQ(read.blocks[0].pendingSamples, 8.25);
  EXPECT_TRUE(read.blocks[0].quiet);

  std::istringstream outsideTheRing("ring_bytes 88200 sample_rate 22050\n" + std::string(kTraceColumns) +
                                    "\n0.0 88200 0 220 0 8 0\n");
  try {
    ReadSchedulerTrace(outsideTheRing);
    ADD_FAILURE() << "a cursor outside the ring was read";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("line 3"), std::string::npos) << e.what();
  }
}

}  // namespace
