#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

// Deterministic test and benchmark signals, the same on every platform
// (tones: common/signal/TestSignals.h).

// xorshift64*: a small generator whose sequence no library version changes.
class NoiseSource {
 public:
  explicit NoiseSource(std::uint64_t seed) : state(seed | 1u) {}

  // Uniform in [-1, 1).
  double Next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    const std::uint64_t bits = (state * 0x2545F4914F6CDD1DULL) >> 11;
    return static_cast<double>(bits) / 4503599627370496.0 - 1.0;  // 2^52
  }

 private:
  std::uint64_t state;
};

inline std::vector<float> WhiteNoise(double amplitude, std::size_t count, std::uint64_t seed) {
  NoiseSource noise(seed);
  std::vector<float> out(count);
  for (float& v : out) {
    v = static_cast<float>(amplitude * noise.Next());
  }
  return out;
}

// 16-bit samples uniform in [-amplitude, amplitude]: a noise floor or a
// signal with no echo in it.
inline std::vector<std::int16_t> SampleNoise(std::size_t count, int amplitude, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> value(-amplitude, amplitude);
  std::vector<std::int16_t> x(count);
  for (auto& s : x) s = static_cast<std::int16_t>(value(random));
  return x;
}

// Speech-like audio at 22050 samples/s, peak about 0.6: a voiced harmonic
// series (fundamental about 130 Hz with 5.5 Hz vibrato and a slow glide,
// two formant bumps) shaped into syllables of about a quarter second, with a
// burst of noise (a fricative) after every third syllable.
inline std::vector<float> SpeechLike(std::size_t count, std::uint64_t seed = 7) {
  constexpr double kPi = 3.14159265358979323846;
  constexpr double kRate = 22050.0;
  NoiseSource noise(seed);
  std::vector<float> out(count);
  double phase = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double f0 = 130.0 * (1.0 + 0.03 * std::sin(2.0 * kPi * 5.5 * t)) *
                      (1.0 + 0.15 * std::sin(2.0 * kPi * 0.3 * t));
    phase += f0 / kRate;
    phase -= std::floor(phase);
    double voiced = 0.0;
    for (int h = 1; h <= 24; ++h) {
      const double f = h * f0;
      if (f > 10000.0) {
        break;
      }
      const double formants = 1.0 / (1.0 + std::pow((f - 700.0) / 300.0, 2.0)) +
                              0.5 / (1.0 + std::pow((f - 1800.0) / 400.0, 2.0)) + 0.05;
      voiced += formants / h * std::sin(2.0 * kPi * h * phase);
    }
    const double syllable = t * 4.0;
    const double within = syllable - std::floor(syllable);
    const double envelope = std::sin(kPi * within);
    const bool fricative = static_cast<std::int64_t>(syllable) % 3 == 2;
    const double sample = fricative ? 0.25 * envelope * noise.Next()
                                    : 0.55 * envelope * voiced + 0.01 * noise.Next();
    out[i] = static_cast<float>(sample);
  }
  return out;
}
