#include "host/LiveControls.h"

#include <cstdio>

#include "common/ParameterRanges.h"

namespace {

// What one key press moves a setting by.
constexpr std::int32_t kDelayStepMs = 10;
constexpr std::int32_t kShiftStep = 1;
constexpr std::int32_t kVolumeStepPercent = 10;
constexpr int kEscape = 27;

// Moves a setting by a step if the result stays within the range.
KeyCommand Step(std::int32_t& setting, std::int32_t step, ParameterRange range, KeyAction action) {
  const std::int32_t next = setting + step;
  if (!range.Contains(next)) return {};
  setting = next;
  return {action, next};
}

}  // namespace

KeyCommand ApplyKey(int key, LiveSettings& settings) {
  switch (key) {
    case '+': case '=':
      return Step(settings.delayMs, kDelayStepMs, kDelayRangeMs, KeyAction::SetDelay);
    case '-': case '_':
      return Step(settings.delayMs, -kDelayStepMs, kDelayRangeMs, KeyAction::SetDelay);
    case ']':
      return Step(settings.frequencyShift, kShiftStep, kFrequencyShiftRange, KeyAction::SetFrequencyShift);
    case '[':
      return Step(settings.frequencyShift, -kShiftStep, kFrequencyShiftRange, KeyAction::SetFrequencyShift);
    case 'm': case 'M':
      settings.shiftMethod = settings.shiftMethod == ShiftMethod::PhaseVocoder ? ShiftMethod::Resampling
                                                                                : ShiftMethod::PhaseVocoder;
      return {KeyAction::SetZelMode, ZelModeOf(settings.shiftMethod)};
    case '>': case '.':
      return Step(settings.volume, kVolumeStepPercent, kVolumeRangePercent, KeyAction::SetVolume);
    case '<': case ',':
      return Step(settings.volume, -kVolumeStepPercent, kVolumeRangePercent, KeyAction::SetVolume);
    case 'p': case 'P': case ' ':
      settings.paused = !settings.paused;
      return {settings.paused ? KeyAction::Pause : KeyAction::Resume, 0};
    case 'q': case 'Q': case kEscape:
      return {KeyAction::Quit, 0};
    default:
      return {};
  }
}

std::string FormatStatus(const LiveSettings& settings, std::optional<std::int32_t> reportedMs, double elapsedSeconds) {
  char reported[24] = "starting";
  if (reportedMs) std::snprintf(reported, sizeof reported, "%3d ms", *reportedMs);
  char line[128];
  std::snprintf(line, sizeof line, "delay %3d ms  reported %s  shift %+3d  method %d  volume %3d%%  %6.1f s%s",
                settings.delayMs, reported, settings.frequencyShift, ZelModeOf(settings.shiftMethod), settings.volume,
                elapsedSeconds, settings.paused ? "  paused" : "");
  return line;
}

const char* LogHeader() {
  return "time_s,configured_delay_ms,reported_delay_ms,frequency_shift,zel_mode,volume,paused,device_latency_ms";
}

std::string FormatLogRow(double elapsedSeconds, const LiveSettings& settings, std::int32_t reportedMs,
                         std::optional<double> deviceLatencyMs) {
  char row[128];
  std::snprintf(row, sizeof row, "%.1f,%d,%d,%d,%d,%d,%d,", elapsedSeconds, settings.delayMs, reportedMs,
                settings.frequencyShift, ZelModeOf(settings.shiftMethod), settings.volume, settings.paused ? 1 : 0);
  std::string text = row;
  if (deviceLatencyMs) {
    std::snprintf(row, sizeof row, "%.1f", *deviceLatencyMs);
    text += row;
  }
  return text;
}
