#include "common/signal/Fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using Complex = std::complex<double>;

std::vector<Complex> RandomSignal(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  std::vector<Complex> x(n);
  for (auto& v : x) {
    v = Complex(value(random), value(random));
  }
  return x;
}

TEST(Fft, ForwardMatchesDirectTransform) {
  const std::vector<Complex> input = RandomSignal(64, 7);
  std::vector<Complex> fast = input;
  audio::FftForward(fast);
  const double pi = std::acos(-1.0);
  for (std::size_t k = 0; k < input.size(); ++k) {
    Complex direct;
    for (std::size_t n = 0; n < input.size(); ++n) {
      direct += input[n] * std::polar(1.0, -2.0 * pi * static_cast<double>(k * n) / 64.0);
    }
    EXPECT_NEAR(std::abs(fast[k] - direct), 0.0, 1e-9) << "bin " << k;
  }
}

TEST(Fft, InverseUndoesForward) {
  const std::vector<Complex> input = RandomSignal(1 << 16, 3);
  std::vector<Complex> data = input;
  audio::FftForward(data);
  audio::FftInverse(data);
  double worst = 0.0;
  for (std::size_t i = 0; i < input.size(); ++i) {
    worst = std::max(worst, std::abs(data[i] - input[i]));
  }
  EXPECT_LT(worst, 1e-9);
}

TEST(Fft, RejectsSizesThatAreNotPowersOfTwo) {
  std::vector<Complex> empty;
  std::vector<Complex> six(6);
  EXPECT_THROW(audio::FftForward(empty), std::invalid_argument);
  EXPECT_THROW(audio::FftInverse(six), std::invalid_argument);
}

TEST(Fft, NextPowerOfTwo) {
  EXPECT_EQ(audio::NextPowerOfTwo(0), 1u);
  EXPECT_EQ(audio::NextPowerOfTwo(1), 1u);
  EXPECT_EQ(audio::NextPowerOfTwo(5), 8u);
  EXPECT_EQ(audio::NextPowerOfTwo(1024), 1024u);
  EXPECT_EQ(audio::NextPowerOfTwo(1025), 2048u);
}

}  // namespace
