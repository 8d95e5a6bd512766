#pragma once

#include <cstdint>
#include <optional>

// How the player shifts the frequency of what it plays. The component's
// "ZEL_MODE" parameter names a method by its value, 1 or 2.
enum class ShiftMethod : std::int32_t { PhaseVocoder = 1, Resampling = 2 };

// The method a "ZEL_MODE" value names; nothing for any other value.
constexpr std::optional<ShiftMethod> ShiftMethodOfZelMode(std::int32_t value) {
  if (value == static_cast<std::int32_t>(ShiftMethod::PhaseVocoder)) return ShiftMethod::PhaseVocoder;
  if (value == static_cast<std::int32_t>(ShiftMethod::Resampling)) return ShiftMethod::Resampling;
  return std::nullopt;
}

// The "ZEL_MODE" value that names the method.
constexpr std::int32_t ZelModeOf(ShiftMethod method) { return static_cast<std::int32_t>(method); }
