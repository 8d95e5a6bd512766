#pragma once

#include <cstdint>
#include <string>

// The factor by which a frequency shift of `steps` multiplies every
// frequency: 5 % per step upwards, 2.5 % per step downwards.
double ShiftFactor(std::int32_t steps);

// "+3 (×1.150)": the shift with the factor it means.
std::wstring ShiftText(std::int32_t steps);

// "1:02:03": the session clock, hours:minutes:seconds.
std::wstring ClockText(double seconds);
