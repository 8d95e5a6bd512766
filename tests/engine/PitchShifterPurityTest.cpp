#include "engine/PitchShifter.h"

#include "support/Spectrum.h"
#include "common/signal/TestSignals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr std::size_t kRate = 22050;
constexpr std::size_t kMinute = 60 * kRate;
constexpr std::size_t kBlock = 1212;

struct Purity {
  double firstMinute;
  double lastMinute;
};

// Share of the output's energy within 20 Hz of the target frequency, in the
// first and in the last minute of a long steady tone shifted in the engine's
// block size. The stream is generated and shifted faster than real time.
Purity PurityOverStream(double toneHz, float factor, std::size_t minutes) {
  const auto shifter = std::make_unique<PitchShifter>();
  audio::ToneSource tone(toneHz, 0.5);
  std::vector<float> first;
  std::vector<float> last;
  std::vector<float> block(kBlock);
  const std::size_t total = minutes * kMinute;
  for (std::size_t done = 0; done < total; done += kBlock) {
    tone.Fill(block.data(), kBlock);
    shifter->PitchShift(factor, static_cast<std::int32_t>(kBlock), 2048, 4, 22050.0f, block.data(),
               block.data());
    if (done < kMinute) {
      first.insert(first.end(), block.begin(), block.end());
    } else if (done >= total - kMinute) {
      last.insert(last.end(), block.begin(), block.end());
    }
  }
  const double target = toneHz * factor;
  auto share = [target](const std::vector<float>& x, std::size_t begin) {
    const std::vector<double> power = PowerSpectrum(x, begin, x.size(), 8192);
    return BandPower(power, 8192, target - 20.0, target + 20.0) /
           BandPower(power, 8192, 0.0, 11025.0);
  };
  // The first second holds the start-up of the stream.
  return {share(first, kRate), share(last, 0)};
}

TEST(PitchShiftPurity, AHighSteadyToneStaysPureForHalfAnHour) {
  // A tone's phase sums grow the faster the higher it is. Were they left to
  // grow, those of 5.5 kHz raised to 8.25 kHz would pass 2^26 rad within the
  // half hour, where one float step is 8 rad, and the tone would drift
  // off its frequency.
  const Purity purity = PurityOverStream(5500.0, 1.5f, 30);
  EXPECT_GT(purity.firstMinute, 0.9);
  EXPECT_LT(std::fabs(10.0 * std::log10(purity.lastMinute / purity.firstMinute)), 0.5)
      << "first minute " << purity.firstMinute << ", last minute " << purity.lastMinute;
}

}  // namespace
