#include "host/HostOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/ParameterRanges.h"

namespace {

bool ParseInt(const std::string& text, ParameterRange range, std::int32_t* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || value < range.low || value > range.high) return false;
  *out = static_cast<std::int32_t>(value);
  return true;
}

bool ParseSeconds(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == nullptr || *end != '\0' || !std::isfinite(value) || value <= 0 || value > 24 * 3600.0) return false;
  *out = value;
  return true;
}

// FROM:TO:SECONDS, both delays within the component's range.
bool ParseRamp(const std::string& text, DelayRampSpec* out) {
  const auto first = text.find(':');
  if (first == std::string::npos) return false;
  const auto second = text.find(':', first + 1);
  if (second == std::string::npos) return false;
  DelayRampSpec ramp;
  return ParseInt(text.substr(0, first), kDelayRangeMs, &ramp.fromMs) &&
         ParseInt(text.substr(first + 1, second - first - 1), kDelayRangeMs, &ramp.toMs) &&
         ParseSeconds(text.substr(second + 1), &ramp.seconds) && (*out = ramp, true);
}

}  // namespace

std::string HostUsage() {
  char usage[2048];
  std::snprintf(usage, sizeof usage,
                "usage: rynhost [--delay MS] [--shift N] [--mode 1|2] [--volume PCT] [--seconds S]\n"
                "               [--ramp FROM:TO:SECONDS] [--log FILE.csv]\n"
                "       rynhost --measure [--delay MS] [--log FILE.csv]\n"
                "  --delay MS          feedback delay, %d..%d ms (default 40)\n"
                "  --shift N           frequency shift in steps, %d..%d (default 0)\n"
                "  --mode 1|2          shift method: 1 phase vocoder, 2 resampling (default 1)\n"
                "  --volume PCT        playback volume, %d..%d (default 100)\n"
                "  --seconds S         stop after S seconds (default: run until q)\n"
                "  --ramp FROM:TO:S    move the delay from FROM to TO ms over S seconds\n"
                "  --log FILE.csv      write one row per second for later analysis\n"
                "  --measure           measure the delay you hear at --delay: hold the headphones to the\n"
                "                      microphone (or connect output to input with a cable); it plays\n"
                "                      clicks, first alone, then through the feedback, and prints the\n"
                "                      heard delay and what the devices add\n"
                "keys while running (console or piped standard input):\n"
                "  + / -  delay by 10 ms     ] / [  shift by 1      m  other method\n"
                "  > / <  volume by 10       p      pause/resume    q  quit (Ctrl+C also stops cleanly)\n"
                "exit status: 0 done (with --measure: measured), 1 the component failed (its description\n"
                "  and HRESULT are printed) or the measurement gave no clear answer,\n"
                "  2 bad arguments\n",
                kDelayRangeMs.low, kDelayRangeMs.high, kFrequencyShiftRange.low, kFrequencyShiftRange.high,
                kVolumeRangePercent.low, kVolumeRangePercent.high);
  return usage;
}

HostOptionsResult ParseHostOptions(const std::vector<std::string>& args) {
  HostOptionsResult result;
  HostOptions& options = result.options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "--help" || name == "-h" || name == "/?") {
      options.showHelp = true;
      continue;
    }
    if (name == "--measure") {
      options.measure = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      result.error = name.rfind("--", 0) == 0 ? "missing value for " + name : "unknown argument " + name;
      return result;
    }
    const std::string& value = args[++i];
    bool ok = true;
    if (name == "--delay") {
      ok = ParseInt(value, kDelayRangeMs, &options.delayMs);
    } else if (name == "--shift") {
      ok = ParseInt(value, kFrequencyShiftRange, &options.frequencyShift);
    } else if (name == "--mode") {
      std::int32_t zelMode = 0;
      ok = ParseInt(value, {ZelModeOf(ShiftMethod::PhaseVocoder), ZelModeOf(ShiftMethod::Resampling)}, &zelMode);
      if (ok) options.shiftMethod = *ShiftMethodOfZelMode(zelMode);
    } else if (name == "--volume") {
      ok = ParseInt(value, kVolumeRangePercent, &options.volume);
    } else if (name == "--seconds") {
      double seconds = 0;
      ok = ParseSeconds(value, &seconds);
      if (ok) options.seconds = seconds;
    } else if (name == "--ramp") {
      DelayRampSpec ramp;
      ok = ParseRamp(value, &ramp);
      if (ok) options.ramp = ramp;
    } else if (name == "--log") {
      ok = !value.empty();
      options.logPath = value;
    } else {
      result.error = "unknown argument " + name;
      return result;
    }
    if (!ok) {
      result.error = "invalid value for " + name + ": " + value;
      return result;
    }
  }
  if (options.measure && (options.ramp || options.seconds)) {
    result.error = "--measure takes no --ramp or --seconds";
    return result;
  }
  if (options.ramp) options.delayMs = options.ramp->fromMs;
  return result;
}
