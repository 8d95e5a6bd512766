#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What a loopback recording says about the delay a user hears: the probe
// played on the output comes back at the input through the user's loopback
// (headphones held to the microphone, or a cable). With the component
// stopped, the probe's round trip is the devices' latency; with it running,
// the loop is closed and every pass comes back, each quieter than the one
// before, and the first pass after the probe is the heard delay (microphone
// to ear) plus the loopback's own few microseconds of air or cable.
namespace loopback {

// The rate the probe is played and recorded at (the component's own).
inline constexpr std::uint32_t kSampleRate = 22050;

// A train of short clicks at irregular intervals: each click is checked on
// its own, and the irregular spacing leaves one strong correlation peak.
struct Probe {
  std::vector<std::int16_t> samples;
  std::vector<std::size_t> clickStarts;
  std::size_t clickSamples = 0;
};

Probe MakeProbe();

// Where (and how surely) the probe came back in a recording.
struct Finding {
  bool measured = false;
  // Lag in milliseconds; meaningful only when measured.
  double ms = 0;
  // Share of the probe's clicks that came back clearly at the found lag
  // (0..1); a finding below kMinConfidence is not measured.
  double confidence = 0;
  // What went wrong and what to change, when not measured.
  std::string problem;
};

// Below this share of agreeing clicks a lag is not reported.
inline constexpr double kMinConfidence = 0.7;

// The probe's round trip with the component stopped: `recording` would
// carry the probe's first sample at `expectedAt` if the devices took no
// time. Searched up to a second.
Finding MeasureDeviceLatency(const Probe& probe, const std::vector<std::int16_t>& recording,
                             std::size_t expectedAt);

// The heard delay with the component running at `delayMs` in a closed
// loop: the lag from the probe's own arrival to the first pass of it that
// came back through the component.
Finding MeasureHeardDelay(const Probe& probe, const std::vector<std::int16_t>& recording, std::size_t expectedAt,
                          std::int32_t delayMs);

// "At DELAY 100 you hear 158 ms; your devices add 58 ms (confidence 0.90)."
// or, for a failed measurement, the first failure's problem.
std::string DescribeMeasurement(std::int32_t delayMs, const Finding& devices, const Finding& heard);

}  // namespace loopback
