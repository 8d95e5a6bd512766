#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "host/LoopbackAnalysis.h"

class ComponentSession;

// The delay a user hears, measured through a loopback from the default
// output back to the default input (headphones held to the microphone, or a
// cable): first the devices' latency with the component stopped, then the
// heard delay with it running at the chosen DELAY. The host plays the probe
// and records through DirectSound itself, beside the component.
struct LoopbackResult {
  std::int32_t delayMs = 0;
  loopback::Finding devices;
  loopback::Finding heard;
  // GetParameter("DELAY") while the probe went round, when it ran.
  std::optional<std::int32_t> reportedMs;
  // The sentence for the user: both figures, or what to change.
  std::string text;

  bool Measured() const noexcept { return devices.measured && heard.measured; }
};

class LoopbackMeasurement {
 public:
  // Called with the share done, 0..1, from the measuring thread.
  using Progress = std::function<void(double)>;

  // The session must be stopped; it is left stopped, with its frequency
  // shift at 0 and its volume lowered (each pass of the closed loop comes
  // back at kPassVolume), so a host sets its own values again afterwards.
  LoopbackMeasurement(ComponentSession& session, std::int32_t delayMs);

  // Throws HostError when a device cannot be opened or a component call
  // fails; a loopback that gave no clear answer is a result, not an error.
  LoopbackResult Run(const Progress& progress = {});

  // VOLUME while the loop is closed: -10 dB per pass (DirectSound
  // hundredths of a decibel, 100 % being none), so the first pass is the
  // loudest one after the probe and the loop dies out within a second.
  static constexpr std::int32_t kPassVolume = 90;

 private:
  ComponentSession& session;
  std::int32_t delayMs;
};
