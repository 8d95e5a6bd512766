#include "host/LoopbackMeasurement.h"

#include <windows.h>

#include <optional>

#include "host/ComponentSession.h"
#include "host/ProbeRecorder.h"

namespace {

// Recorded after the probe's end: the devices' round trip (up to the
// second the analysis searches) and, with the component running, its
// first pass on top.
constexpr double kDeviceTailMs = 1000.0;
// The component is given this long after Run to measure its own delay,
// and then this long for its stream to settle on the delay it holds, which
// it does once it knows the devices' cursors (some seconds of them): a
// probe sent sooner can come back earlier or later than what the user
// hears from then on.
constexpr DWORD kStartingTimeoutMs = 3000;
constexpr DWORD kSettleMs = 5000;

// Shares of the progress bar: the devices' take, starting the component,
// the heard take.
constexpr double kDevicesShare = 0.4;
constexpr double kStartShare = 0.1;

// A take the devices lost (a capture that did not start delivering, an
// output that stalled) is taken again on devices opened afresh, up to this
// many times in all.
constexpr int kTakes = 3;

// The devices are let go of before they are opened again, each buffer
// before its device.
// A take in which some of the probe's clicks came back, but too few agreed
// (a noise, a stall of the devices), is taken once more; one in which
// nothing came back is not: the loopback is missing.
constexpr int kUnclearTakes = 2;

// Whether a take is (still) wanted: none taken yet, or the last one unclear.
bool Unclear(const loopback::Finding& finding) {
  const bool taken = finding.measured || !finding.problem.empty();
  return !taken || (!finding.measured && finding.confidence > 0.0);
}

ProbeRecorder::Take RecordAgainIfLost(std::optional<ProbeRecorder>& recorder, const loopback::Probe& probe,
                                      double tailMs, const std::function<void(double)>& progress) {
  for (int take = 1;; ++take) {
    try {
      if (!recorder) recorder.emplace();
      return recorder->Record(probe.samples, tailMs, progress);
    } catch (const ProbeRecorder::Lost&) {
      if (take == kTakes) throw;
      recorder.reset();
    }
  }
}

}  // namespace

LoopbackMeasurement::LoopbackMeasurement(ComponentSession& session, std::int32_t delayMs)
    : session(session), delayMs(delayMs) {}

LoopbackResult LoopbackMeasurement::Run(const Progress& progress) {
  const auto report = [&progress](double share) {
    if (progress) progress(share);
  };
  LoopbackResult result;
  result.delayMs = delayMs;
  const loopback::Probe probe = loopback::MakeProbe();
  std::optional<ProbeRecorder> recorder;
  for (int take = 0; take < kUnclearTakes && Unclear(result.devices); ++take) {
    const ProbeRecorder::Take devicesTake =
        RecordAgainIfLost(recorder, probe, kDeviceTailMs, [&](double share) { report(kDevicesShare * share); });
    result.devices = loopback::MeasureDeviceLatency(probe, devicesTake.recording, devicesTake.expectedAt);
  }
  if (result.devices.measured) {
    session.Set(L"DELAY", delayMs);
    session.Set(L"FREQUENCY_SHIFT", 0);
    session.Set(L"VOLUME", kPassVolume);
    session.Run();
    try {
      for (DWORD waited = 0; waited < kStartingTimeoutMs && session.Starting(); waited += 20) Sleep(20);
      Sleep(kSettleMs);
      report(kDevicesShare + kStartShare);
      for (int take = 0; take < kUnclearTakes && Unclear(result.heard); ++take) {
        const ProbeRecorder::Take heardTake =
            RecordAgainIfLost(recorder, probe, kDeviceTailMs + delayMs + kDeviceTailMs, [&](double share) {
              report(kDevicesShare + kStartShare + (1.0 - kDevicesShare - kStartShare) * share);
            });
        result.reportedMs = session.ReportedDelay();
        result.heard = loopback::MeasureHeardDelay(probe, heardTake.recording, heardTake.expectedAt, delayMs);
      }
    } catch (...) {
      session.StopQuietly();
      throw;
    }
    session.Stop();
  }
  report(1.0);
  result.text = loopback::DescribeMeasurement(delayMs, result.devices, result.heard);
  return result;
}
