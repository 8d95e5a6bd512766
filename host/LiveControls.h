#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/ShiftMethod.h"

// The component's settings as the host last set them, and whether the host
// has paused the engine.
struct LiveSettings {
  std::int32_t delayMs = 40;
  std::int32_t frequencyShift = 0;
  ShiftMethod shiftMethod = ShiftMethod::PhaseVocoder;
  std::int32_t volume = 100;
  bool paused = false;
};

enum class KeyAction { None, SetDelay, SetFrequencyShift, SetZelMode, SetVolume, Pause, Resume, Quit };

// What a key asks of the component: the parameter to set with its new value,
// pausing, resuming or quitting. A key that would leave a range does nothing,
// so holding a key at a bound does not restart the engine again and again.
struct KeyCommand {
  KeyAction action = KeyAction::None;
  std::int32_t value = 0;
};

// Applies one key to the settings and says what to tell the component:
//   + =  delay +10 ms     -    delay -10 ms
//   ]    shift +1         [    shift -1
//   m    other method
//   > .  volume +10       < ,  volume -10
//   p    pause / resume   q    quit (also Esc)
KeyCommand ApplyKey(int key, LiveSettings& settings);

// One status line (no line end): configured and reported delay, shift,
// method, volume and elapsed time. No reported delay reads "starting": the
// engine has not measured since it (re)started.
std::string FormatStatus(const LiveSettings& settings, std::optional<std::int32_t> reportedMs, double elapsedSeconds);

// The session log: a header and one comma-separated row per second. The
// last column is the devices' latency from a loopback measurement, empty
// where none was measured.
const char* LogHeader();
std::string FormatLogRow(double elapsedSeconds, const LiveSettings& settings, std::int32_t reportedMs,
                         std::optional<double> deviceLatencyMs = std::nullopt);
