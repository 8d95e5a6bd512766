#pragma once

#include <cstdint>

// The values one of the component's parameters accepts, both ends included.
struct ParameterRange {
  std::int32_t low;
  std::int32_t high;

  constexpr bool Contains(std::int32_t value) const noexcept { return value >= low && value <= high; }
};

// The ranges of the component's "DELAY", "FREQUENCY_SHIFT" and "VOLUME"
// parameters, as its documentation gives them to hosts (host/dist/README.txt).
// The engine refuses a value outside with ERR_INVALID_PARAMETER; rynhost's
// options and keys and rynpanel's sliders and remembered settings take
// their limits from here.

// DELAY in milliseconds.
inline constexpr ParameterRange kDelayRangeMs{40, 220};
// FREQUENCY_SHIFT in steps of 5 % up or 2.5 % down (PitchFactorFor): from
// a factor of 0.75 to 1.5.
inline constexpr ParameterRange kFrequencyShiftRange{-10, 10};
// VOLUME in percent of full level.
inline constexpr ParameterRange kVolumeRangePercent{0, 100};
