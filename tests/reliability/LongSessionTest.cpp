// Real-time sessions on the PulseAudio fixture's devices, in two tiers.
// make test runs smoke checks that hold on a loaded, shared machine: on a
// device that keeps Windows' committed span, a click a second for 20 s at
// DELAY 40 is heard (the heard delay on Wine's own device is the real-audio
// engine test's). The soak
// (RYN_LONG_TESTS=1, make soak) runs sessions of RYN_SOAK_MINUTES (10 by
// default) at DELAY 40, 100 and 220 and writes every click's heard delay and
// the stream's events into RYN_SOAK_OUT for its report; there a session at
// DELAY 40 with the phase vocoder also checks that no capture segment is
// lost, that the reported delay holds and that nothing leaks.
// RYN_CPU_LOAD=1 says the run has busy processes beside it.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "engine/RynManager.h"
#include "reliability/ReliabilitySupport.h"
#include "support/CommittedSpanPlayback.h"
#include "support/HResultCheck.h"
#include "support/ProcessResources.h"
#include "support/StdoutLineCounter.h"
#include "support/VirtualAudioRig.h"
#include "tools/audio/ClickAnalysis.h"
#include "tools/audio/DirectSoundPassthrough.h"
#include "common/signal/TestSignals.h"

namespace {

using comtest::Bstr;
using reliability::Figure;
using reliability::SetParameter;

using Clock = std::chrono::steady_clock;

constexpr double kSegmentsPerSecond = 22050.0 / 220.0;  // 440-byte segments at 40 ms
constexpr LONG kDelay = 40;
constexpr LONG kShift = 5;

LONG ReportedDelay(IVelComponent* component) {
  const Bstr name(L"DELAY");
  LONG value = -1;
  const HRESULT hr = component->GetParameter(name.get(), &value);
  return hr == S_OK ? value : -1;
}

// Length of one soak session.
double SoakSeconds() {
  const char* value = std::getenv("RYN_SOAK_MINUTES");
  const double minutes = value != nullptr ? std::atof(value) : 0.0;
  return 60.0 * (minutes > 0.0 ? minutes : 10.0);
}

TEST(LongSession, RealTimeRunLosesNoSegmentAndStaysFlat) {
  if (!reliability::RealAudio()) GTEST_SKIP() << "needs the PulseAudio fixture (ctest label audio)";
  if (!reliability::LongRun()) GTEST_SKIP() << "a soak session (make soak)";
  const StdoutLineCounter out;
  CRynManager& manager = CRynManager::GetInstance();
  const auto session = std::chrono::seconds(static_cast<long long>(SoakSeconds()));
  const auto settle = std::chrono::seconds(5);

  ComPtr<IVelComponent> component = reliability::CreateComponent();
  ASSERT_TRUE(component);
  ASSERT_HR(S_OK, SetParameter(component.get(), L"DELAY", kDelay));
  ASSERT_HR(S_OK, SetParameter(component.get(), L"ZEL_MODE", 1));
  ASSERT_HR(S_OK, SetParameter(component.get(), L"FREQUENCY_SHIFT", kShift));
  HRESULT hr = component->Run();
  ASSERT_HR(S_OK, hr);

  Sleep(static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(settle).count()));
  const ProcessResources before = ProcessResources::Measure();
  const Clock::time_point start = Clock::now();
  const std::uint64_t blocksAtStart = manager.GetCapturedBlockCount();
  const CRynManager::StreamCounts streamAtStart = manager.GetStreamCounts();

  std::vector<LONG> delays;
  std::uint64_t worstStall = 0;  // most segments missing against the clock, in any second
  std::uint64_t lastBlocks = blocksAtStart;
  Clock::time_point lastSample = start;
  while (Clock::now() - start < session) {
    // The reported delay every 50 ms, the segment count every second.
    for (int i = 0; i < 20; ++i) {
      Sleep(50);
      delays.push_back(ReportedDelay(component.get()));
    }
    const Clock::time_point now = Clock::now();
    const std::uint64_t blocks = manager.GetCapturedBlockCount();
    const double expected = kSegmentsPerSecond * std::chrono::duration<double>(now - lastSample).count();
    if (expected > static_cast<double>(blocks - lastBlocks)) {
      worstStall = std::max(worstStall, static_cast<std::uint64_t>(expected - static_cast<double>(blocks - lastBlocks)));
    }
    lastBlocks = blocks;
    lastSample = now;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const std::uint64_t blocks = manager.GetCapturedBlockCount() - blocksAtStart;
  const ProcessResources delta = ProcessResources::Measure() - before;
  const CRynManager::StreamCounts streamAtEnd = manager.GetStreamCounts();
  EXPECT_TRUE(manager.IsRunning());
  hr = component->Stop();
  EXPECT_HR(S_OK, hr);

  const double expectedBlocks = kSegmentsPerSecond * seconds;
  const double shortfall = expectedBlocks - static_cast<double>(blocks);
  std::vector<LONG> sorted = delays;
  std::sort(sorted.begin(), sorted.end());
  const LONG median = sorted.empty() ? -1 : sorted[sorted.size() / 2];
  const LONG lowest = sorted.empty() ? -1 : sorted.front();
  const LONG highest = sorted.empty() ? -1 : sorted.back();
  const auto steady = static_cast<std::size_t>(
      std::count_if(delays.begin(), delays.end(), [](LONG delay) { return std::abs(delay - kDelay) <= 5; }));
  Figure("long session: %.0f s at DELAY %ld, ZEL_MODE 1, FREQUENCY_SHIFT %ld: %llu segments handled, %.0f "
         "expected from the clock (%+.2f%%), worst second %llu short",
         seconds, kDelay, kShift, static_cast<unsigned long long>(blocks), expectedBlocks, -100.0 * shortfall / expectedBlocks,
         static_cast<unsigned long long>(worstStall));
  Figure("long session: reported delay median %ld ms, range %ld..%ld ms over %zu samples (every 50 ms), %zu within "
         "5 ms of DELAY, %u re-seats and %u moves back to the delay; leaked while running: %s",
         median, lowest, highest, delays.size(), steady, streamAtEnd.reseats - streamAtStart.reseats,
         streamAtEnd.realignments - streamAtStart.realignments, Describe(delta).c_str());

  // The audio clock and the wall clock agree to a few hundredths of a
  // percent; a lost segment per ten seconds would already show.
  EXPECT_LE(std::fabs(shortfall), 0.002 * expectedBlocks + 5) << "segments lost or invented";
  // The player holds the stream at one lead, so the reported delay, a
  // third of the way from the configured delay to the held one, stays
  // within a few milliseconds of the configured delay; after a slip of
  // Wine's output it shows the slip until the stream is back (the
  // heard-delay sessions judge the stream across such slips).
  EXPECT_GE(static_cast<double>(steady), 0.8 * static_cast<double>(delays.size())) << "reported delay moved";
  EXPECT_LE(std::abs(median - kDelay), 3) << "reported delay far from the configured one";
  EXPECT_LE(delta.handles, 2) << Describe(delta);
  EXPECT_EQ(0, delta.threads) << Describe(delta);
  EXPECT_LE(delta.residentKiB, 2048) << Describe(delta);
}

// --- Heard delay, click by click --------------------------------------------

using Samples = std::vector<std::int16_t>;
constexpr std::uint32_t kRate = CVirtualAudioRig::kSampleRate;
constexpr int kClickThreshold = 5000;

double Ms(double samples) { return 1000.0 * samples / kRate; }

bool UnderCpuLoad() {
  const char* value = std::getenv("RYN_CPU_LOAD");
  return value != nullptr && value[0] == '1';
}

// One click a second, so that no lag up to a second is taken for the next click.
Samples ClickEverySecond(double seconds) {
  audio::ClickTrainOptions options;
  options.sampleRate = kRate;
  options.seconds = seconds;
  options.firstClickSeconds = 0.5;
  options.minIntervalSeconds = 1.0;
  options.maxIntervalSeconds = 1.0;
  return audio::MakeClickTrain(options);
}

// Every click of the microphone from `fromSeconds` on that the speaker
// played, with its lag.
std::vector<audio::ClickMatch> HeardClicks(const audio::WavData& mix, double fromSeconds) {
  std::vector<audio::ClickMatch> heard;
  for (const audio::ClickMatch& match :
       audio::MatchClicks(mix.Channel(0), mix.Channel(1), kClickThreshold, 0, 900 * kRate / 1000)) {
    if (static_cast<double>(match.inputOnset) >= fromSeconds * kRate) heard.push_back(match);
  }
  return heard;
}

std::vector<double> LagsMs(const std::vector<audio::ClickMatch>& clicks) {
  std::vector<double> lags;
  for (const audio::ClickMatch& click : clicks) lags.push_back(Ms(static_cast<double>(click.lagSamples)));
  return lags;
}

// The lags in click order, one click a second, for a failure's message.
std::string LagList(const std::vector<double>& lags) {
  std::string list;
  char lag[16];
  for (double value : lags) {
    std::snprintf(lag, sizeof lag, " %.1f", value);
    list += lag;
  }
  return list;
}

// When Wine's server last wrote the machine's registry branch to disk.
// Opening audio devices makes Wine note them in that branch, and the server
// writes it out within half a minute: for those some 40 ms, with a registry
// of megabytes, no thread of any Wine program gets an answer from the
// server, and Wine's own output slips. Empty outside Wine.
std::optional<ULONGLONG> RegistrySavedAt() {
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix == nullptr || *prefix == '\0') return std::nullopt;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA((std::string("Z:") + prefix + "/system.reg").c_str(), GetFileExInfoStandard, &data)) {
    return std::nullopt;
  }
  return (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

double MedianOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

// Latency of the fixture's devices without the engine, for a program that
// places samples by their capture time: the pass-through's lag minus the
// mean lead of its writes and minus the capture period its chunks waited;
// one figure for each of three starts. In a fresh process the pass-through
// was seen to slip in every start for up to two minutes while the engine's
// sessions ran well, so it tries for that long before giving up.
std::vector<double> MeasureRoutingsMs() {
  std::vector<double> starts;
  for (int attempt = 0; attempt < 24 && starts.size() < 3; ++attempt) {
    CDirectSoundPassthrough passthrough;
    passthrough.Start();
    for (int waited = 0; waited < 1000 && !passthrough.Started(); waited += 10) Sleep(10);
    if (!passthrough.Started()) continue;
    CVirtualAudioRig rig;
    rig.Begin(ClickEverySecond(5.0), 5.5);
    const audio::WavData mix = rig.End();
    passthrough.Stop();
    const std::vector<double> lags = LagsMs(HeardClicks(mix, 0.0));
    // A start whose output slipped heard two routings.
    if (lags.size() < 3 || passthrough.Slipped()) continue;
    starts.push_back(MedianOf(lags) - passthrough.LeadMs() - passthrough.CapturePeriodMs());
    Figure("pass-through: lag %.1f ms, write lead %.1f ms, capture period %.1f ms, routing %.1f ms", MedianOf(lags),
           passthrough.LeadMs(), passthrough.CapturePeriodMs(), starts.back());
  }
  return starts;
}

// The gate checks that sound flows at the shortest and the longest delay;
// the soak looks at the middle one too.
// Soak sessions only: the gate's heard delay at each DELAY is measured by
// the real-audio engine test, over several starts.
std::vector<LONG> HeardDelays() {
  if (reliability::LongRun()) return {40, 100, 220};
  return {};
}

// What a session's stream did, polled four times a second: a change of the
// scheduler's counts, or Wine's server writing out its registry (which
// stalls every Wine thread for some 40 ms).
struct StreamEvent {
  double seconds;
  const char* kind;
};

// The soak's record of one session, for its report: a header of figures,
// then the heard delay of every click, then the stream's events.
void KeepSoakSession(const std::string& name, const std::vector<std::pair<std::string, double>>& figures,
                     const std::vector<audio::ClickMatch>& clicks, const std::vector<StreamEvent>& events) {
  std::string text;
  char line[96];
  for (const auto& [key, value] : figures) {
    std::snprintf(line, sizeof line, "# %s=%.3f\n", key.c_str(), value);
    text += line;
  }
  text += "kind,seconds,value\n";
  for (const audio::ClickMatch& click : clicks) {
    std::snprintf(line, sizeof line, "click,%.4f,%.2f\n", static_cast<double>(click.inputOnset) / kRate,
                  Ms(static_cast<double>(click.lagSamples)));
    text += line;
  }
  for (const StreamEvent& event : events) {
    std::snprintf(line, sizeof line, "%s,%.2f,\n", event.kind, event.seconds);
    text += line;
  }
  KeepSoakRecord(name + ".csv", text);
}

// One session with a click a second in the microphone, judged from its
// first second on.
struct ClickSession {
  std::vector<audio::ClickMatch> heard;
  std::size_t clicks = 0;  // put into the microphone
  std::vector<double> lags;
  double median = 0.0;
  double routing = 0.0;  // the pass-through start nearest to the session; 0 where none was measured
  std::vector<LONG> reported;  // GetParameter("DELAY") four times a second, sorted
  LONG reportedMedian = -1;
  std::int32_t measuredMedian = -1;  // the player's measured delay, sampled alike
  CRynManager::StreamCounts counted;  // re-seats, moves and stalls during the session
  std::vector<StreamEvent> events;
  std::uint64_t restoredBytes = 0;  // written where a committed span kept it from being heard
  std::uint64_t restoredBehindShownBytes = 0;  // of those, written behind the write cursor the engine had read
  std::uint64_t locksHandedBack = 0;  // re-seats at which the device committed a block's place after the cursor read
};

// The pass-through routings, which the soak's records set every session
// against: measured once before the heard-delay suites when the run includes
// one of them, and again before a session when that first measurement heard
// nothing (the fixture can be busy for a while after the suite before this
// one). The gate's checks judge what is heard and measured without them, and
// do not wait for the pass-through.
class RealTimeClicks : public ::testing::Environment {
 public:
  static const std::vector<double>& Routings() {
    if (routings.empty() && reliability::LongRun()) routings = MeasureRoutingsMs();
    return routings;
  }
  void SetUp() override {
    if (!reliability::RealAudio() || !reliability::LongRun()) return;
    const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
    for (int i = 0; i < unit.total_test_suite_count(); ++i) {
      const ::testing::TestSuite& suite = *unit.GetTestSuite(i);
      if (suite.should_run() && std::string(suite.name()).find("HeardDelay") != std::string::npos) {
        routings = MeasureRoutingsMs();
        return;
      }
    }
  }

 private:
  static std::vector<double> routings;
};

std::vector<double> RealTimeClicks::routings;
const auto* const kRoutingEnvironment = ::testing::AddGlobalTestEnvironment(new RealTimeClicks);

// Runs the component at `delay` for `seconds` of clicks; `committed`, when
// given, is the committed span laid over the playback device.
void RunClickSession(LONG delay, double seconds, const std::string& name, CommittedSpanPlayback* committed,
                     ClickSession& session) {
  const std::vector<double>& routings = RealTimeClicks::Routings();
  if (reliability::LongRun()) {
    ASSERT_FALSE(routings.empty()) << "the pass-through heard nothing";
  }
  CRynManager& manager = CRynManager::GetInstance();
  ComPtr<IVelComponent> component = reliability::CreateComponent();
  ASSERT_TRUE(component);
  ASSERT_HR(S_OK, SetParameter(component.get(), L"FREQUENCY_SHIFT", 0));
  ASSERT_HR(S_OK, SetParameter(component.get(), L"DELAY", delay));
  // Wine's capture now and then does not deliver from a fresh stream; such a
  // start is made again.
  for (int start = 0; start < 3; ++start) {
    manager.SetMeasuredDelay(0);
    HRESULT hr = component->Run();
    ASSERT_HR(S_OK, hr);
    for (int waited = 0; waited < 1000 && manager.GetMeasuredDelay() == 0; waited += 10) Sleep(10);
    if (manager.GetMeasuredDelay() != 0) break;
    component->Stop();
  }
  ASSERT_NE(0, manager.GetMeasuredDelay()) << "no captured block reached the player";

  CVirtualAudioRig rig;
  const std::optional<ULONGLONG> savedBefore = RegistrySavedAt();
  const CRynManager::StreamCounts atStart = manager.GetStreamCounts();
  rig.Begin(ClickEverySecond(seconds), seconds + 1.0);
  std::vector<std::int32_t> measured;
  CRynManager::StreamCounts counts = atStart;
  bool saved = !savedBefore;
  const Clock::time_point start = Clock::now();
  const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  const auto noteCounts = [&] {
    const CRynManager::StreamCounts now = manager.GetStreamCounts();
    const double at = elapsed();
    for (std::uint32_t i = counts.stalls; i < now.stalls; ++i) session.events.push_back({at, "stall"});
    for (std::uint32_t i = counts.reseats; i < now.reseats; ++i) session.events.push_back({at, "reseat"});
    for (std::uint32_t i = counts.realignments; i < now.realignments; ++i) session.events.push_back({at, "move"});
    for (std::uint32_t i = counts.captureSteps; i < now.captureSteps; ++i) {
      session.events.push_back({at, "capture step"});
    }
    for (std::uint32_t i = counts.holds; i < now.holds; ++i) session.events.push_back({at, "line held"});
    counts = now;
  };
  while (elapsed() < seconds) {
    Sleep(250);
    session.reported.push_back(ReportedDelay(component.get()));
    measured.push_back(manager.GetMeasuredDelay());
    if (!saved && RegistrySavedAt() != savedBefore) {
      saved = true;
      session.events.push_back({elapsed(), "registry"});
    }
    // What the first second wrote into a committed span is the start's.
    if (committed != nullptr && elapsed() < 1.0) committed->ResetRestoredBytes();
    noteCounts();
  }
  const audio::WavData mix = rig.End();
  if (committed != nullptr) {
    session.restoredBytes = committed->RestoredBytes();
    session.restoredBehindShownBytes = committed->RestoredBehindShownBytes();
    session.locksHandedBack = committed->LocksHandedBack();
  }
  // A step of the cursor shows in the scheduler's counts a second or two
  // after it happened; the soak's events place it when it showed.
  Sleep(2000);
  noteCounts();
  const HRESULT hr = component->Stop();
  EXPECT_HR(S_OK, hr);
  KeepRecording(name, mix);

  session.heard = HeardClicks(mix, 1.0);
  for (std::size_t onset : audio::FindOnsets(mix.Channel(0), kClickThreshold, 200)) {
    session.clicks += onset >= kRate ? 1 : 0;
  }
  session.lags = LagsMs(session.heard);
  session.median = MedianOf(session.lags);
  session.counted = {counts.reseats - atStart.reseats, counts.realignments - atStart.realignments,
                     counts.stalls - atStart.stalls, counts.captureSteps - atStart.captureSteps,
                     counts.holds - atStart.holds};
  std::sort(session.reported.begin(), session.reported.end());
  session.reportedMedian = session.reported.empty() ? -1 : session.reported[session.reported.size() / 2];
  std::sort(measured.begin(), measured.end());
  session.measuredMedian = measured.empty() ? -1 : measured[measured.size() / 2];
  ASSERT_FALSE(session.lags.empty()) << "no click was heard";
  // 0 says nothing has been measured yet: not while the stream runs, even
  // around a stall.
  EXPECT_GT(session.reported.front(), 0) << "GetParameter(\"DELAY\") answered 0 while running";
  // Wine's latency steps by its 10 ms period from one start of the devices
  // to the next, for the pass-through as for the engine: the session is set
  // against the pass-through start nearest to it.
  session.routing = routings.empty() ? 0.0 : routings.front();
  for (double value : routings) {
    if (std::fabs(session.median - delay - value) < std::fabs(session.median - delay - session.routing)) {
      session.routing = value;
    }
  }
}

void ReportClickSession(const char* what, LONG delay, double seconds, const ClickSession& session) {
  char routing[80] = "routing not measured";
  if (session.routing > 0.0) {
    std::snprintf(routing, sizeof routing, "routing %.1f ms, so %.1f ms held inside the machine", session.routing,
                  session.median - session.routing);
  }
  Figure("%s: DELAY %ld, %.0f s: %zu of %zu clicks heard from 1 s on, median %.1f ms, band %.1f..%.1f ms; "
         "%s; %u stalls, %u re-seats, %u moves back, %u capture steps, %u lines held; reported "
         "%ld..%ld ms, median %ld; measured median %d ms; %llu bytes kept from a committed span (%llu behind the "
         "write cursor read), %llu locks handed back unwritten",
         what, delay, seconds, session.heard.size(), session.clicks, session.median,
         *std::min_element(session.lags.begin(), session.lags.end()),
         *std::max_element(session.lags.begin(), session.lags.end()), routing, session.counted.stalls, session.counted.reseats,
         session.counted.realignments, session.counted.captureSteps, session.counted.holds, session.reported.front(), session.reported.back(), session.reportedMedian,
         session.measuredMedian, static_cast<unsigned long long>(session.restoredBytes),
         static_cast<unsigned long long>(session.restoredBehindShownBytes),
         static_cast<unsigned long long>(session.locksHandedBack));
}

std::string SessionName(const std::string& what) {
  return what + (sizeof(void*) == 8 ? "-win64" : "-win32");
}

class HeardDelay : public ::testing::TestWithParam<LONG> {};

TEST_P(HeardDelay, EveryClickIsHeardTheConfiguredDelayBeyondTheRouting) {
  if (!reliability::RealAudio()) GTEST_SKIP() << "needs the PulseAudio fixture (ctest label audio)";
  const LONG delay = GetParam();
  const bool soak = reliability::LongRun();
  const double seconds = soak ? SoakSeconds() : 20.0;
  const bool loaded = UnderCpuLoad();
  const std::string name = SessionName("heard-delay") + "-" + std::to_string(delay) + (loaded ? "-loaded" : "");
  ClickSession session;
  RunClickSession(delay, seconds, name, nullptr, session);
  if (HasFatalFailure()) return;
  ReportClickSession(loaded ? "heard delay under CPU load" : "heard delay", delay, seconds, session);
  if (soak) {
    KeepSoakSession(name,
                    {{"delay_ms", static_cast<double>(delay)},
                     {"seconds", seconds},
                     {"loaded", loaded ? 1.0 : 0.0},
                     {"routing_ms", session.routing},
                     {"clicks_in", static_cast<double>(session.clicks)},
                     {"reported_median_ms", static_cast<double>(session.reportedMedian)}},
                    session.heard, session.events);
  }

  // Nearly every click is heard (one may fall into a stall of the loaded
  // machine), one configured delay beyond the routing, and the component
  // reports the delay it holds.
  EXPECT_GE(static_cast<double>(session.heard.size()), 0.95 * static_cast<double>(session.clicks))
      << "clicks lost:" << LagList(session.lags);
  // Wine's latency also steps by a few milliseconds between starts that the
  // three pass-through starts need not all show.
  EXPECT_NEAR(session.median - session.routing, delay, 15.0) << "heard delay beyond the routing:"
                                                             << LagList(session.lags);
  EXPECT_LE(std::abs(session.reportedMedian - delay), 5) << "reported delay";
}

INSTANTIATE_TEST_SUITE_P(Delays, HeardDelay, ::testing::ValuesIn(HeardDelays()),
                         [](const ::testing::TestParamInfo<LONG>& info) { return std::to_string(info.param); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(HeardDelay);

// The same sessions on a playback device that keeps Windows' contract: its
// write cursor runs a gap ahead of its play cursor, and what is written
// behind the write cursor is not heard. The engine holds the stream beyond
// the write cursor, so every click is heard, and the delay held inside the
// machine grows to at least the larger of DELAY and the gap plus 2 ms plus
// one block, which the measured delay shows.
struct ContractCase {
  LONG delay;
  double gapMs;
};

void PrintTo(const ContractCase& contract, std::ostream* out) {
  *out << "DELAY " << contract.delay << ", gap " << contract.gapMs << " ms";
}

std::vector<ContractCase> ContractCases() {
  if (!reliability::LongRun()) return {{40, 40.0}};
  std::vector<ContractCase> cases;
  for (double gap : {30.0, 40.0}) {
    for (LONG delay : {40, 50, 60, 100}) cases.push_back({delay, gap});
  }
  return cases;
}

class HeardDelayOnWindowsContract : public ::testing::TestWithParam<ContractCase> {};

TEST_P(HeardDelayOnWindowsContract, EveryClickIsHeardBeyondTheCommittedSpan) {
  if (!reliability::RealAudio()) GTEST_SKIP() << "needs the PulseAudio fixture (ctest label audio)";
  const auto [delay, gapMs] = GetParam();
  const bool soak = reliability::LongRun();
  const double seconds = soak ? SoakSeconds() / 5.0 : 20.0;
  const std::string name = SessionName("committed-span") + "-" + std::to_string(delay) + "-gap" +
                           std::to_string(static_cast<int>(gapMs));
  ClickSession session;
  {
    CommittedSpanPlayback committed(gapMs);
    RunClickSession(delay, seconds, name, &committed, session);
  }
  if (HasFatalFailure()) return;
  const double blockMs = delay / 4.0;
  const double held = std::max(static_cast<double>(delay), gapMs + 2.0 + blockMs);
  ReportClickSession(("committed span of " + std::to_string(static_cast<int>(gapMs)) + " ms").c_str(), delay, seconds,
                     session);
  if (soak) {
    KeepSoakSession(name,
                    {{"delay_ms", static_cast<double>(delay)},
                     {"gap_ms", gapMs},
                     {"seconds", seconds},
                     {"routing_ms", session.routing},
                     {"held_ms", held},
                     {"measured_median_ms", static_cast<double>(session.measuredMedian)},
                     {"span_bytes", static_cast<double>(session.restoredBytes)},
                     {"handed_back", static_cast<double>(session.locksHandedBack)},
                     {"clicks_in", static_cast<double>(session.clicks)},
                     {"reported_median_ms", static_cast<double>(session.reportedMedian)}},
                    session.heard, session.events);
  }

  // Nothing the engine writes may be lost in the committed span. How far
  // the delay then grows is judged by the soak's report: Wine's cursors
  // move in periods and its blocks come late by up to one, which the
  // engine holds on top of the gap. A block that comes later than the lead
  // allows loses the few milliseconds the device has committed, which is
  // counted as a re-seat: now and then a click lies there. More than one
  // click lost, or one without a counted re-seat, is a fault.
  const std::size_t mayLose = session.counted.reseats > 0 ? 1 : 0;
  EXPECT_LE(session.clicks - std::min(session.heard.size(), session.clicks), mayLose)
      << "clicks lost (" << session.counted.reseats << " re-seats counted):" << LagList(session.lags);
  EXPECT_EQ(session.restoredBytes, 0u) << "bytes written into the committed span after the first second ("
                                       << session.restoredBehindShownBytes << " behind the write cursor read)";
  EXPECT_GE(session.measuredMedian, held - 3.0) << "the measured delay does not show the committed span";
}

INSTANTIATE_TEST_SUITE_P(Gaps, HeardDelayOnWindowsContract, ::testing::ValuesIn(ContractCases()),
                         [](const ::testing::TestParamInfo<ContractCase>& info) {
                           return std::to_string(info.param.delay) + "_gap" +
                                  std::to_string(static_cast<int>(info.param.gapMs));
                         });

}  // namespace
