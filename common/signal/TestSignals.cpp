#include "common/signal/TestSignals.h"

#include <cmath>

namespace audio {
namespace {

// Small deterministic generator, so every platform makes the same train.
class CLcg {
 public:
  explicit CLcg(std::uint32_t seed) : state(seed) {}
  double NextUnit() {
    state = state * 1664525u + 1013904223u;
    return static_cast<double>(state >> 8) / static_cast<double>(1u << 24);
  }

 private:
  std::uint32_t state;
};

}  // namespace

std::vector<std::size_t> ClickPositions(const ClickTrainOptions& options) {
  const auto total = static_cast<std::size_t>(options.seconds * options.sampleRate);
  std::vector<std::size_t> positions;
  CLcg random(options.seed);
  double at = options.firstClickSeconds;
  while (true) {
    const auto start = static_cast<std::size_t>(at * options.sampleRate);
    if (start + options.clickSamples > total) {
      break;
    }
    positions.push_back(start);
    at += options.minIntervalSeconds +
          (options.maxIntervalSeconds - options.minIntervalSeconds) * random.NextUnit();
  }
  return positions;
}

std::vector<std::int16_t> MakeClickTrain(const ClickTrainOptions& options) {
  const auto total = static_cast<std::size_t>(options.seconds * options.sampleRate);
  std::vector<std::int16_t> out(total, 0);
  const double pi = std::acos(-1.0);
  const unsigned n = options.clickSamples;
  for (std::size_t start : ClickPositions(options)) {
    for (unsigned i = 0; i < n; ++i) {
      // Hann-windowed burst at an eighth of the sample rate: broadband, so
      // the correlation peak is sharp, yet free of a DC step.
      const double window = 0.5 - 0.5 * std::cos(2.0 * pi * (i + 0.5) / n);
      const double carrier = std::sin(2.0 * pi * 0.125 * i);
      out[start + i] = static_cast<std::int16_t>(std::lround(options.amplitude * window * carrier));
    }
  }
  return out;
}

ToneSource::ToneSource(double frequency, double amplitude, double sampleRate)
    : step(frequency / sampleRate), amplitude(amplitude) {}

double ToneSource::Next() {
  const double sample = amplitude * std::sin(2.0 * 3.14159265358979323846 * cycle);
  cycle += step;
  cycle -= std::floor(cycle);
  return sample;
}

void ToneSource::Fill(float* out, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = static_cast<float>(Next());
  }
}

std::vector<float> Tone(double frequency, double amplitude, std::size_t count, double sampleRate) {
  std::vector<float> out(count);
  ToneSource(frequency, amplitude, sampleRate).Fill(out.data(), count);
  return out;
}

std::vector<std::int16_t> MakeTone(std::uint32_t sampleRate, double hz, double seconds, std::int16_t amplitude) {
  std::vector<std::int16_t> out(static_cast<std::size_t>(seconds * sampleRate));
  ToneSource tone(hz, amplitude, sampleRate);
  for (auto& sample : out) {
    sample = static_cast<std::int16_t>(std::lround(tone.Next()));
  }
  return out;
}

}  // namespace audio
