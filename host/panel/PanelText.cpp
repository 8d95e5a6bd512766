#include "host/panel/PanelText.h"

#include <cmath>
#include <cwchar>

double ShiftFactor(std::int32_t steps) { return steps > 0 ? 1.0 + 0.05 * steps : 1.0 + 0.025 * steps; }

std::wstring ShiftText(std::int32_t steps) {
  wchar_t text[32];
  std::swprintf(text, 32, L"%+d (\u00D7%.3f)", steps, ShiftFactor(steps));
  return text;
}

std::wstring ClockText(double seconds) {
  const long whole = seconds > 0 ? static_cast<long>(std::floor(seconds)) : 0;
  wchar_t text[32];
  std::swprintf(text, 32, L"%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
  return text;
}
