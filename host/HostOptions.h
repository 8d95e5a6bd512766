#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/ShiftMethod.h"

// A delay that moves from one value to another over a session: therapy
// programmes start with a long delay and shorten it as fluency improves.
struct DelayRampSpec {
  std::int32_t fromMs = 0;
  std::int32_t toMs = 0;
  double seconds = 0;
};

// What the reference host was asked to do on its command line.
struct HostOptions {
  std::int32_t delayMs = 40;
  std::int32_t frequencyShift = 0;
  ShiftMethod shiftMethod = ShiftMethod::PhaseVocoder;
  std::int32_t volume = 100;
  // Run until quit when absent.
  std::optional<double> seconds;
  std::optional<DelayRampSpec> ramp;
  std::string logPath;
  // Measure the delay heard through a loopback at delayMs instead of
  // running a session.
  bool measure = false;
  bool showHelp = false;
};

struct HostOptionsResult {
  HostOptions options;
  // Empty when the arguments were understood.
  std::string error;
};

// Parses the arguments after the program name. Ranges are the component's
// own, so a bad value is reported before anything is loaded.
HostOptionsResult ParseHostOptions(const std::vector<std::string>& args);

// The usage text, with the ranges the options accept.
std::string HostUsage();
