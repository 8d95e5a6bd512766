// The engine on the platform's real DirectSound, through the PulseAudio
// fixture's virtual microphone and speaker. Wine's capture and playback add
// a latency of their own, which shifts by steps of its 10 ms period from one
// start of the devices to the next, and slips now and then under load: each
// setting is started several times, and the start that held least is
// compared between settings and against a calibration pass-through on the
// same devices. These are smoke checks for a loaded machine; the soak's
// long sessions judge the spread.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/ReportedDelay.h"
#include "engine/RynManager.h"
#include "common/UniqueHandle.h"
#include "support/MeasureAgainIfLost.h"
#include "support/VirtualAudioRig.h"
#include "tools/audio/DirectSoundPassthrough.h"
#include "tools/audio/ClickAnalysis.h"
#include "common/signal/SignalAnalysis.h"
#include "common/signal/TestSignals.h"

namespace {

using Samples = std::vector<std::int16_t>;
constexpr std::uint32_t kRate = CVirtualAudioRig::kSampleRate;
constexpr int kClickThreshold = 5000;
// The two ends of the range; the soak's sessions take the delays between.
const std::int32_t kDelays[] = {40, 220};
// Starts per delay: the least held of three sits on Wine's shortest routing
// in all but a run where every start slipped.
constexpr int kStartsPerDelay = 3;

double Ms(double samples) { return 1000.0 * samples / kRate; }

template <typename T>
T Median(std::vector<T> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int ThreadsOfThisProcess() {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  return count;
}

// Whether captured blocks reach the player: each one sets the measured delay.
bool BlocksArrive(CRynManager& manager) {
  for (int waited = 0; waited < 1000; waited += 10) {
    if (manager.GetMeasuredDelay() != 0) return true;
    Sleep(10);
  }
  return false;
}

// Wine's capture now and then never delivers from a freshly started stream
// (the rig's own recorder shows it too, while the server sends). The engine
// cannot tell that from a silent microphone, so a start after which no block
// arrives within a second is made again, and said so. Returns the tick
// count of the start that was kept.
DWORD StartHearing(CRynManager& manager, const std::function<void()>& start) {
  manager.SetMeasuredDelay(0);
  start();
  DWORD started = GetTickCount();
  for (int retry = 0; retry < 2 && !BlocksArrive(manager); ++retry) {
    std::printf("no captured block within a second of a start (DELAY %d): starting again\n", manager.GetDelay());
    manager.Stop();
    manager.SetMeasuredDelay(0);
    manager.Start();
    started = GetTickCount();
  }
  return started;
}

Samples Clicks(double seconds) {
  audio::ClickTrainOptions options;
  options.sampleRate = kRate;
  options.seconds = seconds;
  return audio::MakeClickTrain(options);
}

Samples Slice(const Samples& x, double fromSeconds, double toSeconds) {
  const auto from = std::min(x.size(), static_cast<std::size_t>(fromSeconds * kRate));
  const auto to = std::min(x.size(), static_cast<std::size_t>(toSeconds * kRate));
  return Samples(x.begin() + static_cast<long>(from), x.begin() + static_cast<long>(to));
}

// Microphone (left) to speaker (right) lags of every click in the mix.
audio::LagSummary OutputLags(const Samples& microphone, const Samples& speaker) {
  // Within a start the delay may step by Wine's 10 ms period; clicks lie at
  // least 150 ms apart, so a 60 ms window never takes a neighbour's copy.
  return audio::MeasureClickLags(microphone, speaker, kClickThreshold, kRate / 2, 60 * kRate / 1000);
}

// One start of the engine at a fixed delay, with a click train in the microphone.
struct DelayRun {
  std::size_t inputClicks = 0;
  audio::LagSummary lags;
  std::int32_t reported = 0;  // GetReportedDelay over the second from 2 s after Start (median)
};

DelayRun RunAtDelay(std::int32_t delayMs, int start) {
  CRynManager& manager = CRynManager::GetInstance();
  manager.SetDelay(delayMs);
  const DWORD started = StartHearing(manager, [&] { manager.Start(); });
  CVirtualAudioRig rig;
  // Half a second more than the clicks, for the last one to come out.
  rig.Begin(Clicks(3.0), 3.5);
  // The report of the second from 2 s on: the median of five readings,
  // for one reading may fall in the moment a quiet block moves the stream.
  std::vector<std::int32_t> reports;
  for (DWORD at = 2000; at <= 3000; at += 250) {
    Sleep(at - std::min<DWORD>(at, GetTickCount() - started));
    reports.push_back(manager.GetReportedDelay());
  }
  DelayRun run;
  run.reported = Median(reports);
  const audio::WavData mix = rig.End();
  manager.Stop();
  KeepRecording("engine-delay-" + std::to_string(delayMs) + "-" + std::to_string(start), mix);
  const Samples microphone = mix.Channel(0);
  run.inputClicks = audio::FindOnsets(microphone, kClickThreshold, 200).size();
  run.lags = OutputLags(microphone, mix.Channel(1));
  std::printf("DELAY %d, start %d: %zu of %zu clicks, output delay %.1f ms (%.1f..%.1f), reported %d ms\n", delayMs,
              start, run.lags.count, run.inputClicks, Ms(run.lags.medianSamples), Ms(run.lags.minSamples),
              Ms(run.lags.maxSamples), run.reported);
  return run;
}

// Median over the starts that let most clicks through (the others fail the
// test of their own).
double MedianOutputDelayMs(const std::vector<DelayRun>& runs) {
  std::vector<double> lags;
  for (const DelayRun& run : runs) {
    if (run.lags.count * 2 > run.inputClicks) lags.push_back(Ms(run.lags.medianSamples));
  }
  return lags.empty() ? 0.0 : Median(lags);
}

std::int32_t MedianReportedDelay(const std::vector<DelayRun>& runs) {
  std::vector<std::int32_t> reported;
  for (const DelayRun& run : runs) reported.push_back(run.reported);
  return Median(reported);
}

// The start with the shortest output delay among those that heard all
// clicks but one, or null when none did. A start that lost more lost sound
// (the clicks-heard check judges that), and the clicks it kept may pair
// with a neighbour's copy.
const DelayRun* LeastHeld(const std::vector<DelayRun>& runs) {
  const DelayRun* least = nullptr;
  for (const DelayRun& run : runs) {
    if (run.lags.count + 1 < run.inputClicks) continue;
    if (least == nullptr || run.lags.medianSamples < least->lags.medianSamples) least = &run;
  }
  return least;
}

using DelayRuns = std::map<std::int32_t, std::vector<DelayRun>>;

// Every delay, started several times in turn.
DelayRuns MeasureDelayRuns() {
  DelayRuns all;
  audio::ClickTrainOptions clicks;
  clicks.sampleRate = kRate;
  clicks.seconds = 3.0;
  const std::size_t clicksPerStart = audio::ClickPositions(clicks).size();
  for (int start = 0; start < kStartsPerDelay; ++start) {
    for (std::int32_t delay : kDelays) {
      // A start whose microphone lost a click measures the fixture, not the
      // engine: it is taken again.
      all[delay].push_back(MeasureAgainIfLost(
          "delay start", [&](int) { return RunAtDelay(delay, start); },
          [&](const DelayRun& run) { return run.inputClicks >= clicksPerStart; }));
    }
  }
  for (std::int32_t delay : kDelays) {
    std::printf("DELAY %d: output delay %.1f ms, reported %d ms (medians over %d starts)\n", delay,
                MedianOutputDelayMs(all[delay]), MedianReportedDelay(all[delay]), kStartsPerDelay);
  }
  return all;
}

// One start of the calibration pass-through on the same default devices.
// The pass-through's chunks wait one capture period before they are handed
// over; the engine places samples by their capture time and does not wait
// it, so the routing set against the engine leaves that period out.
struct CalibrationRun {
  audio::LagSummary lags;
  double leadMs = 0;
  double capturePeriodMs = 0;
  bool slipped = false;  // the output slipped behind: two routings were heard
  double RoutingMs() const { return Ms(lags.medianSamples) - leadMs - capturePeriodMs; }
};

CalibrationRun RunPassthrough(int start) {
  CalibrationRun run;
  std::unique_ptr<CDirectSoundPassthrough> passthrough;
  for (int attempt = 0; attempt < 3; ++attempt) {
    passthrough = std::make_unique<CDirectSoundPassthrough>();
    passthrough->Start();
    for (int waited = 0; waited < 1000 && !passthrough->Started(); waited += 10) Sleep(10);
    if (passthrough->Started()) break;
    std::printf("no captured data within a second of the pass-through's start: starting again\n");
  }
  CVirtualAudioRig rig;
  rig.Begin(Clicks(2.0), 2.5);
  const audio::WavData mix = rig.End();
  passthrough->Stop();
  KeepRecording("passthrough-" + std::to_string(start), mix);
  run.lags = OutputLags(mix.Channel(0), mix.Channel(1));
  run.leadMs = passthrough->LeadMs();
  run.capturePeriodMs = passthrough->CapturePeriodMs();
  run.slipped = passthrough->Slipped();
  std::printf(
      "pass-through, start %d: %zu clicks, lag %.1f ms (%.1f..%.1f), write lead %.1f ms, capture period %.1f ms, "
      "routing %.1f ms\n",
      start, run.lags.count, Ms(run.lags.medianSamples), Ms(run.lags.minSamples), Ms(run.lags.maxSamples), run.leadMs,
      run.capturePeriodMs, run.RoutingMs());
  return run;
}

std::vector<CalibrationRun> MeasureCalibration() {
  std::vector<CalibrationRun> all;
  for (int start = 0; start < 3; ++start) {
    all.push_back(MeasureAgainIfLost(
        "pass-through", [&](int) { return RunPassthrough(start); },
        [](const CalibrationRun& run) { return run.lags.count >= 5 && !run.slipped; }));
  }
  return all;
}

// The suite of the delays: the calibration pass-through's starts, then
// every delay's, measured once before its first test and in this order, so
// that each test judges the same measurements whether it runs alone or
// with the others.
class RealAudio : public ::testing::Test {
 protected:
  struct Measurements {
    std::vector<CalibrationRun> calibration;
    DelayRuns runs;
  };

  static void SetUpTestSuite() {
    auto measuring = std::make_unique<Measurements>();
    measuring->calibration = MeasureCalibration();
    measuring->runs = MeasureDelayRuns();
    measured = std::move(measuring);
  }
  static void TearDownTestSuite() { measured.reset(); }

  void SetUp() override { ASSERT_TRUE(measured) << "the suite's measurements were not taken"; }

  static const std::vector<CalibrationRun>& Calibration() { return measured->calibration; }
  static const std::vector<DelayRun>& Runs(std::int32_t delay) { return measured->runs.at(delay); }
  static double OutputDelayMs(std::int32_t delay) { return MedianOutputDelayMs(Runs(delay)); }

  // Wine's routing steps by a few milliseconds, up to its 10 ms period, from
  // one start of the devices to the next: the output delay is set against
  // the pass-through start whose routing lies nearest to it.
  static double RoutingLatencyMs(double outputDelayMs, std::int32_t delay) {
    double nearest = Calibration().front().RoutingMs();
    for (const CalibrationRun& run : Calibration()) {
      if (std::abs(outputDelayMs - delay - run.RoutingMs()) < std::abs(outputDelayMs - delay - nearest)) {
        nearest = run.RoutingMs();
      }
    }
    return nearest;
  }

 private:
  static inline std::unique_ptr<const Measurements> measured;
};

// The pass-through is what the routing is taken from: each start hears the
// clicks through a plausible routing. Whether its lag also stays within a
// few milliseconds during a start is up to Wine's mixer, which slips under
// load; the soak's sessions judge that on a machine left to them.
TEST_F(RealAudio, CalibrationPassthroughHearsTheClicksThroughAPlausibleRouting) {
  for (const CalibrationRun& run : Calibration()) {
    EXPECT_GE(run.lags.count, 5u);
    EXPECT_GT(run.RoutingMs(), 10.0);
    EXPECT_LT(run.RoutingMs(), 150.0);
  }
}

// Wine's output slips now and then under load, and a start whose output
// slipped holds more than DELAY from then on (the recorded traces follow
// that case deterministically). The start that held least shows what the
// engine holds where nothing slipped: it is the one set against the
// routing and the report.
TEST_F(RealAudio, LeastHeldDelayBeyondTheRoutingIsTheConfiguredOneAndReported) {
  for (std::int32_t delay : kDelays) {
    const DelayRun* least = LeastHeld(Runs(delay));
    ASSERT_NE(least, nullptr) << "DELAY " << delay << ": no start heard all clicks but one";
    const double output = Ms(least->lags.medianSamples);
    const double routing = RoutingLatencyMs(output, delay);
    const double held = output - routing;
    std::printf("DELAY %d: least output delay %.1f ms - routing %.1f ms = %.1f ms, reported %d ms\n", delay, output,
                routing, held, least->reported);
    EXPECT_NEAR(held, delay, 15.0) << "DELAY " << delay;
    // Wine's routing moves by a few milliseconds between the pass-through's
    // starts and the engine's, and a start may settle early (the soak and
    // the traces judge the report to 3 ms): the gate asks for 10.
    EXPECT_NEAR(least->reported, ReportedDelay(delay, static_cast<std::int32_t>(std::lround(held))), 10)
        << "DELAY " << delay;
  }
}

TEST_F(RealAudio, ClicksIntoTheMicrophoneComeOutOfTheSpeakerLate) {
  for (std::int32_t delay : kDelays) {
    std::size_t clicksIn = 0;
    std::size_t clicksHeard = 0;
    for (const DelayRun& run : Runs(delay)) {
      EXPECT_GE(run.inputClicks, 8u) << "DELAY " << delay;
      clicksIn += run.inputClicks;
      clicksHeard += std::min(run.lags.count, run.inputClicks);
      if (run.lags.count > 0) {
        EXPECT_GE(Ms(run.lags.minSamples), delay - 5) << "DELAY " << delay;
      }
    }
    // Over all starts at a delay, nearly every click is heard: a busy
    // machine may lose one or two to Wine's playback.
    EXPECT_GE(static_cast<double>(clicksHeard), 0.95 * static_cast<double>(clicksIn))
        << "DELAY " << delay << ": " << clicksHeard << " of " << clicksIn << " clicks heard";
  }
}

TEST_F(RealAudio, OutputDelaysDifferByTheConfiguredDifference) {
  const DelayRun* at40 = LeastHeld(Runs(40));
  const DelayRun* at220 = LeastHeld(Runs(220));
  ASSERT_NE(at40, nullptr) << "DELAY 40: no start heard all clicks but one";
  ASSERT_NE(at220, nullptr) << "DELAY 220: no start heard all clicks but one";
  EXPECT_NEAR(Ms(at220->lags.medianSamples - at40->lags.medianSamples), 180.0, 15.0);
}

// Clicks into the microphone for three seconds while the engine runs as it is.
audio::LagSummary LagsOfRunningEngine(std::size_t& inputClicks) {
  CVirtualAudioRig rig;
  rig.Begin(Clicks(3.0), 3.5);
  const audio::WavData mix = rig.End();
  KeepRecording("engine-after-restarts", mix);
  inputClicks = audio::FindOnsets(mix.Channel(0), kClickThreshold, 200).size();
  return OutputLags(mix.Channel(0), mix.Channel(1));
}

TEST_F(RealAudio, RestartsBySetDelayKeepAudioFlowingAndLeaveNoListenerThread) {
  const double steadyOutputDelay = OutputDelayMs(220);
  CRynManager& manager = CRynManager::GetInstance();
  const int idleThreads = ThreadsOfThisProcess();
  manager.SetDelay(100);
  StartHearing(manager, [&] { manager.Start(); });
  Sleep(200);
  const int runningThreads = ThreadsOfThisProcess();

  const std::int32_t delays[] = {40, 220, 60, 180, 100, 41, 219, 150, 90, 70};
  for (int restart = 0; restart < 20; ++restart) {
    manager.SetDelay(delays[restart % 10]);
    Sleep(100);
  }
  StartHearing(manager, [&] { manager.SetDelay(220); });
  Sleep(200);
  EXPECT_EQ(ThreadsOfThisProcess(), runningThreads) << "idle " << idleThreads;

  std::size_t inputClicks = 0;
  const audio::LagSummary lags = MeasureAgainIfLost(
      "after 21 restarts",
      [&](int retry) {
        if (retry > 0) StartHearing(manager, [&] { manager.SetDelay(220); });
        return LagsOfRunningEngine(inputClicks);
      },
      [&](const audio::LagSummary& measured) { return measured.count * 2 > inputClicks; });
  manager.Stop();
  EXPECT_EQ(ThreadsOfThisProcess(), idleThreads);
  std::printf("after 21 restarts: %zu of %zu clicks, output delay %.1f ms (%.1f..%.1f)\n", lags.count, inputClicks,
              Ms(lags.medianSamples), Ms(lags.minSamples), Ms(lags.maxSamples));
  EXPECT_GE(inputClicks, 8u);
  EXPECT_GE(lags.count + 1, inputClicks);
  EXPECT_NEAR(Ms(lags.medianSamples), steadyOutputDelay, 20.0);
}

struct ShiftCase {
  std::int32_t shift;
  std::int32_t mode;
  double expectedHz;
};

struct ToneHeard {
  double hz = 0;
  double level = 0;  // RMS of the speaker
};

// A steady 441 Hz tone in the microphone, the engine shifting it; the
// dominant frequency of what reaches the speaker.
ToneHeard ShiftedTone(const ShiftCase& shiftCase) {
  CRynManager& manager = CRynManager::GetInstance();
  manager.SetDelay(100);
  manager.SetFrequencyShift(shiftCase.shift);
  manager.SetZelMode(shiftCase.mode);
  StartHearing(manager, [&] { manager.Start(); });
  CVirtualAudioRig rig;
  rig.Begin(audio::MakeTone(kRate, 441.0, 3.0, 12000), 3.0);
  const audio::WavData mix = rig.End();
  manager.Stop();
  manager.SetFrequencyShift(0);
  manager.SetZelMode(1);
  KeepRecording("engine-shift-" + std::to_string(shiftCase.shift) + "-mode-" + std::to_string(shiftCase.mode), mix);
  // Well inside the tone: the first half second covers the start-up and
  // the phase vocoder's first frame.
  const Samples speaker = Slice(mix.Channel(1), 0.8, 2.8);
  // Method 2 restarts every 25 ms block, which splits its spectrum into
  // lines 40 Hz apart around the shifted tone: the spectrum is smoothed over
  // three lines. A steady tone keeps its peak under that smoothing.
  ToneHeard heard;
  heard.hz = audio::DominantFrequency(speaker, kRate, 100.0, 120.0);
  heard.level = audio::Rms(speaker);
  std::printf("FREQUENCY_SHIFT %d, ZEL_MODE %d: 441 Hz in, %.1f Hz out (speaker level %.0f)\n", shiftCase.shift,
              shiftCase.mode, heard.hz, heard.level);
  return heard;
}

TEST(RealAudioShift, ShiftedToneComesOutAtTheShiftedFrequencyByBothMethods) {
  // Each method once, one up and one down; the unit tests take every step.
  for (const ShiftCase& shiftCase : {ShiftCase{10, 1, 661.5}, ShiftCase{-10, 2, 330.75}}) {
    const ToneHeard heard = MeasureAgainIfLost(
        "shifted tone", [&](int) { return ShiftedTone(shiftCase); },
        [](const ToneHeard& tone) { return tone.level > 1000.0; });
    EXPECT_NEAR(heard.hz, shiftCase.expectedHz, 4.0)
        << "FREQUENCY_SHIFT " << shiftCase.shift << ", ZEL_MODE " << shiftCase.mode;
  }
}

}  // namespace
