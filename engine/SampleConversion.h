#pragma once

#include <cstdint>

// 16-bit samples and the single-precision values the shifters work on.
// Full scale is 32767 both ways; the way back truncates toward zero, so about
// half of all samples come back one step nearer to zero.

inline float SampleToFloat(std::int16_t sample) {
  return static_cast<float>(sample) / 32767.0f;
}

// A value already multiplied by 32767 (and by any gain), truncated toward
// zero and held to the 16-bit range: the phase vocoder's output runs above
// full scale on loud passages, and wrapping would turn those into clicks.
inline std::int16_t SampleFromScaled(double scaled) {
  if (scaled >= 32767.0) {
    return 32767;
  }
  if (scaled <= -32768.0) {
    return -32768;
  }
  return static_cast<std::int16_t>(static_cast<std::int32_t>(scaled));
}

inline std::int16_t SampleFromFloat(float value) {
  return SampleFromScaled(static_cast<double>(value) * 32767.0);
}
