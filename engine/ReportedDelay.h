#pragma once

#include <cstdint>

// The delay answered to the host: a third of the way from the configured
// delay to the last measured one, so that single late blocks move it little.
// 0 until something has been measured.
constexpr std::int32_t ReportedDelay(std::int32_t configuredMs, std::int32_t measuredMs) {
  if (measuredMs == 0) return 0;
  const std::int64_t difference = static_cast<std::int64_t>(measuredMs) - configuredMs;
  return static_cast<std::int32_t>(configuredMs + difference / 3);
}
