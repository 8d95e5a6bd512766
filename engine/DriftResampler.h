#pragma once

#include <array>
#include <cstdint>

// Resamples a stream of 16-bit samples by a ratio a hair away from 1, to make
// up for a capture clock and a playback clock that run apart. Each output
// sample is read from the input at a position that advances by `step` input
// samples (1 + a few parts in ten thousand); the value between input samples
// comes from a 16-tap Kaiser-windowed sinc, so a tone keeps its spectrum
// clean. At a whole-sample position the kernel is a unit impulse: while no
// correction has accumulated, the output is the input, sample for sample.
//
// The kernel reaches eight samples past the read position, so the last
// samples of each block come out with the next one: PendingSamples says how
// many input samples have been taken in and not yet given out. A value type
// with fixed storage: nothing is allocated after construction and no lock
// is taken.
class DriftResampler {
 public:
  static constexpr std::uint32_t kMaxBlockSamples = 2048;
  // Output samples Process may give for one block: a block's worth at the
  // lowest step, plus what the previous block left pending.
  static constexpr std::uint32_t kMaxOutputSamples = kMaxBlockSamples + 32;

  DriftResampler();

  // Takes `count` input samples (at most kMaxBlockSamples) and writes the
  // output samples that can be formed so far to `out`, which holds
  // kMaxOutputSamples; returns how many. `step` lies near 1.
  std::uint32_t Process(const std::int16_t* in, std::uint32_t count, double step, std::int16_t* out);

  // Input samples taken but not yet given out, with the fraction of the one
  // being read.
  double PendingSamples() const { return static_cast<double>(filled) - position; }

 private:
  static constexpr int kTaps = 16;
  static constexpr int kBefore = kTaps / 2 - 1;  // taps before the read position
  static constexpr int kPhases = 256;

  std::array<float, (kPhases + 1) * kTaps> kernel{};
  // Input not yet consumed, starting kBefore samples before the read position.
  std::array<float, kMaxBlockSamples + 2 * kTaps> input{};
  std::uint32_t filled = kBefore;
  double position = kBefore;
};
