#include "engine/DriftResampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "support/Spectrum.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Streams `input` through the resampler in blocks of `block` samples at a
// fixed step.
std::vector<std::int16_t> Resample(const std::vector<std::int16_t>& input, std::uint32_t block, double step) {
  DriftResampler resampler;
  std::vector<std::int16_t> out;
  out.reserve(input.size() + 64);
  std::vector<std::int16_t> chunk(DriftResampler::kMaxOutputSamples);
  for (std::size_t at = 0; at + block <= input.size(); at += block) {
    const std::uint32_t produced = resampler.Process(input.data() + at, block, step, chunk.data());
    out.insert(out.end(), chunk.begin(), chunk.begin() + produced);
  }
  return out;
}

TEST(DriftResampler, WithoutCorrectionTheOutputIsTheInputSampleForSample) {
  std::vector<std::int16_t> input(40 * 551);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::int16_t>((i * 7919) % 65536 - 32768);
  const std::vector<std::int16_t> out = Resample(input, 551, 1.0);
  // The last eight samples wait for the next block.
  ASSERT_EQ(out.size(), input.size() - 8);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), input.begin()));
}

TEST(DriftResampler, OutputCountFollowsTheStepAndWhatIsPendingStaysSmall) {
  DriftResampler resampler;
  std::vector<std::int16_t> block(220, 0);
  std::vector<std::int16_t> out(DriftResampler::kMaxOutputSamples);
  std::uint64_t produced = 0;
  for (int i = 0; i < 10000; ++i) {
    produced += resampler.Process(block.data(), 220, 1.002, out.data());
    ASSERT_GE(resampler.PendingSamples(), 6.0);
    ASSERT_LT(resampler.PendingSamples(), 10.0);
  }
  EXPECT_NEAR(static_cast<double>(produced), 2200000 / 1.002, 10.0);
}

TEST(DriftResampler, AToneThroughTenMinutesOfCorrectionKeepsItsSpectrumClean) {
  // 1 kHz through ten minutes at 0.1 % faster reading: the tone moves to
  // 1001 Hz and nothing else rises within 60 dB of it.
  constexpr double kRate = 22050;
  constexpr std::size_t kSamples = static_cast<std::size_t>(600 * kRate);
  std::vector<std::int16_t> tone(kSamples);
  for (std::size_t i = 0; i < kSamples; ++i) tone[i] = static_cast<std::int16_t>(std::lrint(16000 * std::sin(2 * kPi * 1000 * i / kRate)));
  const std::vector<std::int16_t> out = Resample(tone, 551, 1.001);

  constexpr std::size_t kFrame = 16384;
  for (std::size_t start : {std::size_t{22050}, out.size() / 2, out.size() - 8 * kFrame}) {
    const std::vector<float> segment(out.begin() + static_cast<long>(start), out.begin() + static_cast<long>(start + 8 * kFrame));
    const std::vector<double> power = PowerSpectrum(segment, 0, segment.size(), kFrame);
    const auto peak = static_cast<std::size_t>(std::max_element(power.begin(), power.end()) - power.begin());
    EXPECT_NEAR(BinFrequency(peak, kFrame), 1001.0, 1.5);
    double spurious = 0;
    for (std::size_t bin = 1; bin < power.size(); ++bin) {
      // Ten bins either side are the Hann window's own leakage of the tone.
      if (bin + 10 < peak || bin > peak + 10) spurious = std::max(spurious, power[bin]);
    }
    EXPECT_LT(10 * std::log10(spurious / power[peak]), -60.0) << "at sample " << start;
  }
}

}  // namespace
