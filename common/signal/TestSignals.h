#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace audio {

// Short tone bursts at irregular intervals: the irregular spacing gives the
// cross-correlation against a delayed copy exactly one strong peak, even for
// delays longer than the shortest interval.
struct ClickTrainOptions {
  std::uint32_t sampleRate = 22050;
  double seconds = 4.0;
  double firstClickSeconds = 0.2;
  double minIntervalSeconds = 0.15;
  double maxIntervalSeconds = 0.40;
  unsigned clickSamples = 48;
  std::int16_t amplitude = 20000;
  std::uint32_t seed = 1;
};

std::vector<std::int16_t> MakeClickTrain(const ClickTrainOptions& options);

// Sample positions at which MakeClickTrain starts its bursts.
std::vector<std::size_t> ClickPositions(const ClickTrainOptions& options);

// A steady sinusoid, produced in pieces of any size; the phase is kept in
// double precision and within one turn, so hours of it stay clean.
class ToneSource {
 public:
  ToneSource(double frequency, double amplitude, double sampleRate = 22050.0);

  double Next();
  void Fill(float* out, std::size_t count);

 private:
  double step;
  double amplitude;
  double cycle = 0.0;
};

// The first `count` samples of a ToneSource.
std::vector<float> Tone(double frequency, double amplitude, std::size_t count, double sampleRate = 22050.0);

// The same, `seconds` long and rounded to 16 bits.
std::vector<std::int16_t> MakeTone(std::uint32_t sampleRate, double hz, double seconds, std::int16_t amplitude);

}  // namespace audio
