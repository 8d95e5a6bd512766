#include "engine/DriftResampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr double kPi = 3.14159265358979323846;
// Kaiser window shape: a stopband near -80 dB, the main lobe narrow
// enough for 16 taps to keep the speech band flat.
constexpr double kBeta = 7.0;

// Modified Bessel function of the first kind, order 0, by its power series.
double BesselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; k < 50 && term > 1e-12 * sum; ++k) {
    const double half = x / (2.0 * k);
    term *= half * half;
    sum += term;
  }
  return sum;
}

}  // namespace

DriftResampler::DriftResampler() {
  const double half = kTaps / 2;
  const double norm = BesselI0(kBeta);
  for (int phase = 0; phase <= kPhases; ++phase) {
    const double fraction = static_cast<double>(phase) / kPhases;
    std::array<double, kTaps> row{};
    double sum = 0.0;
    for (int tap = 0; tap < kTaps; ++tap) {
      const double t = tap - kBefore - fraction;
      double value = 0.0;
      if (phase == 0 || phase == kPhases) {
        // Whole-sample positions: exactly an impulse.
        value = std::fabs(t) < 0.5 ? 1.0 : 0.0;
      } else {
        const double r = t / half;
        const double window = std::fabs(r) < 1.0 ? BesselI0(kBeta * std::sqrt(1.0 - r * r)) / norm : 0.0;
        value = std::sin(kPi * t) / (kPi * t) * window;
      }
      row[static_cast<std::size_t>(tap)] = value;
      sum += value;
    }
    // Unity gain at every phase: a gain that varied with the phase would
    // modulate the signal at the rate the phase turns.
    for (int tap = 0; tap < kTaps; ++tap) {
      kernel[static_cast<std::size_t>(phase * kTaps + tap)] = static_cast<float>(row[static_cast<std::size_t>(tap)] / sum);
    }
  }
}

std::uint32_t DriftResampler::Process(const std::int16_t* in, std::uint32_t count, double step, std::int16_t* out) {
  count = std::min(count, kMaxBlockSamples);
  for (std::uint32_t i = 0; i < count; ++i) input[filled + i] = static_cast<float>(in[i]);
  filled += count;

  std::uint32_t produced = 0;
  // Every tap of the kernel must lie inside what has been taken in.
  while (produced < kMaxOutputSamples) {
    const auto base = static_cast<std::uint32_t>(position);
    if (base + (kTaps - kBefore) > filled) break;
    const double scaled = (position - base) * kPhases;
    const auto phase = static_cast<int>(scaled);
    const auto blend = static_cast<float>(scaled - phase);
    const float* lower = &kernel[static_cast<std::size_t>(phase * kTaps)];
    const float* upper = lower + kTaps;
    const float* x = &input[base - kBefore];
    float sum = 0.0f;
    for (int tap = 0; tap < kTaps; ++tap) sum += x[tap] * (lower[tap] + blend * (upper[tap] - lower[tap]));
    out[produced++] = static_cast<std::int16_t>(std::lrint(std::clamp(sum, -32768.0f, 32767.0f)));
    position += step;
  }

  // Keep only what the next outputs still read.
  const auto keepFrom = std::min<std::uint32_t>(static_cast<std::uint32_t>(position) - kBefore, filled);
  std::memmove(input.data(), input.data() + keepFrom, (filled - keepFrom) * sizeof(float));
  filled -= keepFrom;
  position -= keepFrom;
  return produced;
}
