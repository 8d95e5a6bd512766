#include "engine/PitchShifter.h"

#include "engine/ComplexFft.h"
#include "engine/PlainPitchShifter.h"
#include "support/Spectrum.h"
#include "support/SyntheticSignals.h"
#include "common/signal/TestSignals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr std::int32_t kFrame = 2048;
constexpr std::int32_t kOversampling = 4;
constexpr float kRate = 22050.0f;

// Runs a whole signal through a fresh shifter, in calls
// of the given sizes (repeated), in place as the engine does.
std::vector<float> Shift(float factor, std::vector<float> signal,
                         const std::vector<std::int32_t>& callSizes) {
  const auto shifter = std::make_unique<PitchShifter>();
  std::size_t done = 0;
  std::size_t call = 0;
  while (done < signal.size()) {
    const auto size = std::min<std::size_t>(callSizes[call++ % callSizes.size()],
                                            signal.size() - done);
    shifter->PitchShift(factor, static_cast<std::int32_t>(size), kFrame, kOversampling, kRate,
               signal.data() + done, signal.data() + done);
    done += size;
  }
  return signal;
}

std::vector<float> ShiftInOneCall(float factor, const std::vector<float>& signal) {
  return Shift(factor, signal, {static_cast<std::int32_t>(signal.size())});
}

bool BitIdentical(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

std::size_t FirstDifference(const std::vector<float>& a, const std::vector<float>& b) {
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) {
      return i;
    }
  }
  return std::min(a.size(), b.size());
}

// --- ComplexFft ------------------------------------------------------------

std::vector<float> RandomComplex(std::int32_t n, std::uint64_t seed) {
  return WhiteNoise(1.0, 2 * static_cast<std::size_t>(n), seed);
}

std::vector<std::complex<double>> DirectDft(const std::vector<float>& data, std::int32_t sign) {
  const std::size_t n = data.size() / 2;
  std::vector<std::complex<double>> out(n);
  for (std::size_t k = 0; k < n; ++k) {
    std::complex<double> sum;
    for (std::size_t m = 0; m < n; ++m) {
      const double angle = sign * 2.0 * 3.14159265358979323846 * static_cast<double>((m * k) % n) /
                           static_cast<double>(n);
      sum += std::complex<double>(data[2 * m], data[2 * m + 1]) *
             std::complex<double>(std::cos(angle), std::sin(angle));
    }
    out[k] = sum;
  }
  return out;
}

TEST(ComplexFft, MatchesTheDirectTransformInBothDirections) {
  for (std::int32_t n = 1; n <= 1024; n *= 2) {
    for (std::int32_t sign : {-1, 1}) {
      std::vector<float> data = RandomComplex(n, 100 + n);
      const std::vector<std::complex<double>> expected = DirectDft(data, sign);
      ComplexFft(data.data(), n, sign);
      double worst = 0.0;
      for (std::int32_t k = 0; k < n; ++k) {
        worst = std::max(worst, std::abs(std::complex<double>(data[2 * k], data[2 * k + 1]) -
                                         expected[k]));
      }
      // Inputs are uniform in -1..1, so outputs are about sqrt(n) in size; a
      // wrong twiddle or permutation errs by that much.
      EXPECT_LT(worst, 1e-5 * std::sqrt(static_cast<double>(n)) + 1e-6)
          << "n " << n << " sign " << sign;
    }
  }
}

TEST(ComplexFft, ForwardThenInverseGivesTheInputTimesN) {
  for (std::int32_t n : {2, 16, 2048, 4096}) {
    const std::vector<float> input = RandomComplex(n, 200 + n);
    std::vector<float> data = input;
    ComplexFft(data.data(), n, -1);
    ComplexFft(data.data(), n, 1);
    double worst = 0.0;
    for (std::size_t i = 0; i < data.size(); ++i) {
      worst = std::max(worst, std::fabs(static_cast<double>(data[i]) / n - input[i]));
    }
    // The float recurrence for the twiddle factors drifts along a stage, so
    // the error grows with n; a wrong transform errs by about 1.
    EXPECT_LT(worst, 2.5e-8 * n + 1e-6) << "n " << n;
  }
}

TEST(ComplexFft, GivesTheSameBitsAsThePlainTransformOnEitherVectorPath) {
  for (bool wide : {true, false}) {
    AllowWideTransform(wide);
    for (std::int32_t n = 1; n <= 8192; n *= 2) {
      for (std::int32_t sign : {-1, 1}) {
        std::vector<float> fast = RandomComplex(n, 300 + n);
        std::vector<float> plain = fast;
        ComplexFft(fast.data(), n, sign);
        PlainPitchShifter::ComplexFft(plain.data(), n, sign);
        EXPECT_TRUE(BitIdentical(fast, plain))
            << "wide " << wide << " n " << n << " sign " << sign << " first difference at float "
            << FirstDifference(fast, plain);
      }
    }
  }
  AllowWideTransform(true);
}

// --- PitchShift: stream handling -----------------------------------------

TEST(PitchShift, OutputDoesNotDependOnHowTheStreamIsSplitIntoCalls) {
  const std::vector<float> signal = SpeechLike(6 * 22050);
  for (float factor : {1.5f, 0.75f}) {
    const std::vector<float> whole = ShiftInOneCall(factor, signal);
    const std::vector<float> by220 = Shift(factor, signal, {220});
    const std::vector<float> by1212 = Shift(factor, signal, {1212});
    const std::vector<float> byOne = Shift(factor, signal, {1, 0, 3});
    std::vector<std::int32_t> randomSizes;
    NoiseSource noise(11);
    for (int i = 0; i < 200; ++i) {
      randomSizes.push_back(static_cast<std::int32_t>((noise.Next() + 1.0) * 1500.0));
    }
    randomSizes.push_back(0);
    const std::vector<float> byRandom = Shift(factor, signal, randomSizes);
    EXPECT_TRUE(BitIdentical(whole, by220)) << "factor " << factor << " at "
                                            << FirstDifference(whole, by220);
    EXPECT_TRUE(BitIdentical(whole, by1212)) << "factor " << factor << " at "
                                             << FirstDifference(whole, by1212);
    EXPECT_TRUE(BitIdentical(whole, byOne)) << "factor " << factor << " at "
                                            << FirstDifference(whole, byOne);
    EXPECT_TRUE(BitIdentical(whole, byRandom)) << "factor " << factor << " at "
                                               << FirstDifference(whole, byRandom);
  }
}

TEST(PitchShift, FirstFrameLengthOfOutputIsSilentAfterAReset) {
  const std::vector<float> out = ShiftInOneCall(1.5f, WhiteNoise(0.5, 4096, 5));
  const auto firstSound = std::find_if(out.begin(), out.end(), [](float v) { return v != 0.0f; });
  // 512 samples until the first frame, whose first output sample carries a
  // window weight of 0.
  EXPECT_EQ(firstSound - out.begin(), 513);
}

TEST(PitchShift, ACallOfNoSamplesChangesNothing) {
  const std::vector<float> signal = SpeechLike(8000);
  const std::vector<float> expected = ShiftInOneCall(0.75f, signal);
  const auto shifter = std::make_unique<PitchShifter>();
  std::vector<float> out = signal;
  float untouched = 123.0f;
  shifter->PitchShift(0.75f, 0, kFrame, kOversampling, kRate, &untouched, &untouched);
  shifter->PitchShift(0.75f, 3000, kFrame, kOversampling, kRate, out.data(), out.data());
  shifter->PitchShift(0.75f, 0, kFrame, kOversampling, kRate, &untouched, &untouched);
  shifter->PitchShift(0.75f, 5000, kFrame, kOversampling, kRate, out.data() + 3000, out.data() + 3000);
  EXPECT_EQ(untouched, 123.0f);
  EXPECT_TRUE(BitIdentical(out, expected)) << FirstDifference(out, expected);
}

TEST(PitchShift, SeparateInputAndOutputArraysGiveTheSameResult) {
  const std::vector<float> signal = SpeechLike(8000);
  const std::vector<float> inPlace = ShiftInOneCall(1.5f, signal);
  const auto shifter = std::make_unique<PitchShifter>();
  std::vector<float> out(signal.size(), -7.0f);
  shifter->PitchShift(1.5f, static_cast<std::int32_t>(signal.size()), kFrame, kOversampling, kRate,
             signal.data(), out.data());
  EXPECT_TRUE(BitIdentical(out, inPlace));
}

TEST(PitchShift, OutputLagsTheInputByOneFrameLength) {
  // A tone burst with a smooth envelope, at factor 1: the output's energy
  // centre lies one frame length after the input's.
  std::vector<float> signal(16384, 0.0f);
  const std::vector<float> tone = audio::Tone(1000.0, 0.5, 2048);
  for (std::size_t i = 0; i < tone.size(); ++i) {
    const double envelope = 0.5 - 0.5 * std::cos(2.0 * 3.14159265358979323846 * i / tone.size());
    signal[4000 + i] = static_cast<float>(tone[i] * envelope);
  }
  const std::vector<float> out = ShiftInOneCall(1.0f, signal);
  auto centre = [](const std::vector<float>& x) {
    double weighted = 0.0;
    double total = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      weighted += static_cast<double>(i) * x[i] * x[i];
      total += static_cast<double>(x[i]) * x[i];
    }
    return weighted / total;
  };
  EXPECT_NEAR(centre(out) - centre(signal), 2048.0, 64.0);
}

// --- PitchShift: what comes out --------------------------------------------

struct ToneCase {
  float factor;
  double expectedHz;
};

TEST(PitchShift, ASteadyToneComesOutAtItsFrequencyTimesTheFactor) {
  const std::vector<float> signal = audio::Tone(441.0, 0.5, 4 * 22050);
  for (const ToneCase& c : {ToneCase{1.5f, 661.5}, ToneCase{0.75f, 330.75}}) {
    const std::vector<float> out = ShiftInOneCall(c.factor, signal);
    // Skip the start-up second; 16384-point frames resolve 1.35 Hz.
    const std::vector<double> power = PowerSpectrum(out, 22050, out.size(), 16384);
    EXPECT_NEAR(PeakFrequency(power, 16384), c.expectedHz, 3.0) << "factor " << c.factor;
  }
}

TEST(PitchShift, LoweringLeavesTheTopQuarterOfTheBandEmpty) {
  // At 0.75, output bins above 768 (8.27 kHz) have no source bin. Broadband
  // input shows the difference: a filled top band would be as loud as the
  // rest.
  const std::vector<float> out = ShiftInOneCall(0.75f, WhiteNoise(0.3, 3 * 22050, 17));
  const std::vector<double> power = PowerSpectrum(out, 8192, out.size(), 4096);
  const double perHzBelow = BandPower(power, 4096, 1000.0, 8000.0) / 7000.0;
  const double perHzAbove = BandPower(power, 4096, 8500.0, 11025.0) / 2525.0;
  EXPECT_GT(perHzBelow, 0.0);
  EXPECT_LT(10.0 * std::log10(perHzAbove / perHzBelow), -60.0);
}

TEST(PitchShift, RaisingUsesNothingAboveTwoThirdsOfTheBand) {
  // At 1.5, source bins above 682 (7.34 kHz) are never used: a tone there
  // vanishes, a tone below it moves up.
  const std::vector<float> high = ShiftInOneCall(1.5f, audio::Tone(9000.0, 0.5, 3 * 22050));
  const std::vector<float> low = ShiftInOneCall(1.5f, audio::Tone(6000.0, 0.5, 3 * 22050));
  auto energy = [](const std::vector<float>& x) {
    double sum = 0.0;
    for (std::size_t i = 22050; i < x.size(); ++i) {
      sum += static_cast<double>(x[i]) * x[i];
    }
    return sum;
  };
  EXPECT_GT(energy(low), 1000.0);
  EXPECT_LT(energy(high), 1e-6 * energy(low));
}

// --- the engine's version against the plain one ---------------------------

std::vector<float> ShiftPlainly(float factor, std::vector<float> signal) {
  PlainPitchShifter plain;
  plain.Process(factor, static_cast<std::int32_t>(signal.size()), kFrame, kOversampling, kRate,
                signal.data(), signal.data());
  return signal;
}

TEST(PitchShift, GivesTheSameBitsAsThePlainVersionOverALongStream) {
  // A minute of speech-like audio per factor, in the engine's block sizes.
  const std::vector<float> signal = SpeechLike(60 * 22050);
  for (float factor : {1.5f, 0.75f, 1.05f}) {
    const std::vector<float> fast = Shift(factor, signal, {1212, 220, 551});
    const std::vector<float> reference = ShiftPlainly(factor, signal);
    EXPECT_TRUE(BitIdentical(fast, reference))
        << "factor " << factor << " first difference at sample "
        << FirstDifference(fast, reference);
  }
}

TEST(PitchShift, GivesTheSameBitsWithoutTheWideTransform) {
  const std::vector<float> signal = SpeechLike(10 * 22050);
  AllowWideTransform(false);
  const std::vector<float> narrow = Shift(1.5f, signal, {1212});
  AllowWideTransform(true);
  const std::vector<float> reference = ShiftPlainly(1.5f, signal);
  EXPECT_TRUE(BitIdentical(narrow, reference))
      << "first difference at sample " << FirstDifference(narrow, reference);
}

TEST(PitchShift, GivesTheSameBitsAsThePlainVersionWhenTheFactorChanges) {
  // The stream state outlives a player, so a new factor meets bins the old
  // one never fetched.
  const std::vector<float> signal = SpeechLike(20 * 22050);
  const float factors[] = {1.5f, 0.75f, 1.05f, 0.9f, 1.5f, 0.8f};
  constexpr std::size_t kRun = 40 * 1212;
  const auto shifter = std::make_unique<PitchShifter>();
  PlainPitchShifter plain;
  std::vector<float> fast = signal;
  std::vector<float> reference = signal;
  for (std::size_t at = 0; at < signal.size(); at += 1212) {
    const float factor = factors[(at / kRun) % 6];
    const auto count = static_cast<std::int32_t>(std::min<std::size_t>(1212, signal.size() - at));
    shifter->PitchShift(factor, count, kFrame, kOversampling, kRate, fast.data() + at, fast.data() + at);
    plain.Process(factor, count, kFrame, kOversampling, kRate, reference.data() + at,
                  reference.data() + at);
  }
  EXPECT_TRUE(BitIdentical(fast, reference))
      << "first difference at sample " << FirstDifference(fast, reference);
}

}  // namespace
