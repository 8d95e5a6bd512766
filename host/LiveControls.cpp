#include "host/LiveControls.h"

#include <cstdio>

namespace {

constexpr std::int32_t kMinDelay = 40;
constexpr std::int32_t kMaxDelay = 220;
constexpr std::int32_t kMaxShift = 10;
constexpr std::int32_t kMaxVolume = 100;
constexpr int kEscape = 27;

// Moves a setting by a step if the result stays within [low, high].
KeyCommand Step(std::int32_t& setting, std::int32_t step, std::int32_t low, std::int32_t high, KeyAction action) {
  const std::int32_t next = setting + step;
  if (next < low || next > high) return {};
  setting = next;
  return {action, next};
}

}  // namespace

KeyCommand ApplyKey(int key, LiveSettings& settings) {
  switch (key) {
    case '+': case '=':
      return Step(settings.delayMs, 10, kMinDelay, kMaxDelay, KeyAction::SetDelay);
    case '-': case '_':
      return Step(settings.delayMs, -10, kMinDelay, kMaxDelay, KeyAction::SetDelay);
    case ']':
      return Step(settings.frequencyShift, 1, -kMaxShift, kMaxShift, KeyAction::SetFrequencyShift);
    case '[':
      return Step(settings.frequencyShift, -1, -kMaxShift, kMaxShift, KeyAction::SetFrequencyShift);
    case 'm': case 'M':
      settings.shiftMethod = settings.shiftMethod == ShiftMethod::PhaseVocoder ? ShiftMethod::Resampling
                                                                                : ShiftMethod::PhaseVocoder;
      return {KeyAction::SetZelMode, ZelModeOf(settings.shiftMethod)};
    case '>': case '.':
      return Step(settings.volume, 10, 0, kMaxVolume, KeyAction::SetVolume);
    case '<': case ',':
      return Step(settings.volume, -10, 0, kMaxVolume, KeyAction::SetVolume);
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

const char* LogHeader() { return "time_s,configured_delay_ms,reported_delay_ms,frequency_shift,zel_mode,volume,paused"; }

std::string FormatLogRow(double elapsedSeconds, const LiveSettings& settings, std::int32_t reportedMs) {
  char row[96];
  std::snprintf(row, sizeof row, "%.1f,%d,%d,%d,%d,%d,%d", elapsedSeconds, settings.delayMs, reportedMs,
                settings.frequencyShift, ZelModeOf(settings.shiftMethod), settings.volume, settings.paused ? 1 : 0);
  return row;
}
