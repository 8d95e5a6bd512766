#pragma once

#include "support/SyntheticSignals.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

constexpr double kSampleRate = 22050.0;
constexpr std::size_t kSpeechSeconds = 60;

// The same 60 s of speech-like audio for every benchmark of the run.
inline const std::vector<float>& SpeechSeconds() {
  static const std::vector<float> speech = SpeechLike(kSpeechSeconds * 22050);
  return speech;
}

inline const std::vector<std::int16_t>& SpeechSamples() {
  static const std::vector<std::int16_t> samples = [] {
    std::vector<std::int16_t> out;
    for (float v : SpeechSeconds()) {
      out.push_back(static_cast<std::int16_t>(v * 32767.0f));
    }
    return out;
  }();
  return samples;
}

// Cost counters, all from CPU time: ns per sample, CPU time per audio time,
// and microseconds per 512-sample hop of the phase vocoder.
inline void ReportCost(benchmark::State& state, std::int64_t samplesProcessed) {
  const auto samples = static_cast<double>(samplesProcessed);
  const auto inverseRate = benchmark::Counter::kIsRate | benchmark::Counter::kInvert;
  state.counters["ns_per_sample"] = benchmark::Counter(samples / 1e9, inverseRate);
  state.counters["rtf"] = benchmark::Counter(samples / kSampleRate, inverseRate);
  state.counters["us_per_hop"] = benchmark::Counter(samples / 512.0 / 1e6, inverseRate);
}
