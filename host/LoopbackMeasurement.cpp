#include "host/LoopbackMeasurement.h"

#include <windows.h>

#include "host/ComponentSession.h"
#include "host/ProbeRecorder.h"

namespace {

// Recorded after the probe's end: the devices' round trip (up to the
// second the analysis searches) and, with the component running, its
// first pass on top.
constexpr double kDeviceTailMs = 1000.0;
// The component is given this long after Run to measure its own delay
// before the probe plays.
constexpr DWORD kStartingTimeoutMs = 3000;
constexpr DWORD kSettleMs = 500;

// Shares of the progress bar: the devices' take, starting the component,
// the heard take.
constexpr double kDevicesShare = 0.4;
constexpr double kStartShare = 0.1;

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
  ProbeRecorder recorder;
  const ProbeRecorder::Take devicesTake =
      recorder.Record(probe.samples, kDeviceTailMs, [&](double share) { report(kDevicesShare * share); });
  result.devices = loopback::MeasureDeviceLatency(probe, devicesTake.recording, devicesTake.expectedAt);
  if (result.devices.measured) {
    session.Set(L"DELAY", delayMs);
    session.Set(L"FREQUENCY_SHIFT", 0);
    session.Set(L"VOLUME", kPassVolume);
    session.Run();
    try {
      for (DWORD waited = 0; waited < kStartingTimeoutMs && session.Starting(); waited += 20) Sleep(20);
      Sleep(kSettleMs);
      report(kDevicesShare + kStartShare);
      const ProbeRecorder::Take heardTake =
          recorder.Record(probe.samples, kDeviceTailMs + delayMs + kDeviceTailMs, [&](double share) {
            report(kDevicesShare + kStartShare + (1.0 - kDevicesShare - kStartShare) * share);
          });
      result.reportedMs = session.ReportedDelay();
      result.heard = loopback::MeasureHeardDelay(probe, heardTake.recording, heardTake.expectedAt, delayMs);
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
