// The same 60 s of speech-like audio pitch-shifted by 1.5 and by 0.75, by the
// shift stage's two methods and by the peer libraries that are installed,
// fed in 1212-sample blocks (the engine's largest). Compare the rtf counters
// of one run.
#include "BenchAudio.h"

#include "engine/ShiftStage.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#if defined(RYN_BENCH_RUBBERBAND)
#include <rubberband/RubberBandStretcher.h>
#endif
#if defined(RYN_BENCH_SOUNDTOUCH)
#include <soundtouch/SoundTouch.h>
#endif

namespace {

constexpr std::size_t kBlock = 1212;

std::int32_t ShiftFor(std::int64_t percent) {
  return percent > 100 ? 10 : -10;
}

double FactorFor(std::int64_t percent) {
  return static_cast<double>(percent) / 100.0;
}

void ShiftSpeech(benchmark::State& state, ShiftMethod method) {
  const std::int32_t shift = ShiftFor(state.range(0));
  const std::vector<std::int16_t>& speech = SpeechSamples();
  std::vector<std::int16_t> work(speech.size());
  ShiftStage stage(shift);
  for (auto _ : state) {
    std::copy(speech.begin(), speech.end(), work.begin());
    for (std::size_t at = 0; at + kBlock <= work.size(); at += kBlock) {
      stage.ShiftBlock(work.data() + at, 2 * kBlock, shift, method);
    }
    benchmark::DoNotOptimize(work.data());
  }
  ReportCost(state, state.iterations() * static_cast<std::int64_t>(speech.size()));
}

void BM_Speech60s_PhaseVocoder(benchmark::State& state) {
  ShiftSpeech(state, ShiftMethod::PhaseVocoder);
}

void BM_Speech60s_Resampling(benchmark::State& state) {
  ShiftSpeech(state, ShiftMethod::Resampling);
}

BENCHMARK(BM_Speech60s_PhaseVocoder)->ArgName("factor_percent")->Arg(150)->Arg(75)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Speech60s_Resampling)->ArgName("factor_percent")->Arg(150)->Arg(75)
    ->Unit(benchmark::kMillisecond);

#if defined(RYN_BENCH_RUBBERBAND)

// Rubber Band's cheapest real-time configuration: the faster engine, short
// window, independent phases, smooth transients, one thread.
void BM_Speech60s_RubberBand(benchmark::State& state) {
  using Stretcher = RubberBand::RubberBandStretcher;
  const std::vector<float>& speech = SpeechSeconds();
  Stretcher stretcher(static_cast<std::size_t>(kSampleRate), 1,
                      Stretcher::OptionProcessRealTime | Stretcher::OptionEngineFaster |
                          Stretcher::OptionWindowShort | Stretcher::OptionPhaseIndependent |
                          Stretcher::OptionTransientsSmooth | Stretcher::OptionPitchHighSpeed |
                          Stretcher::OptionThreadingNever,
                      1.0, FactorFor(state.range(0)));
  stretcher.setMaxProcessSize(kBlock);
  std::vector<float> out(8 * kBlock);
  float* outChannels[1] = {out.data()};
  std::int64_t produced = 0;
  for (auto _ : state) {
    stretcher.reset();
    for (std::size_t at = 0; at + kBlock <= speech.size(); at += kBlock) {
      const float* inChannels[1] = {speech.data() + at};
      stretcher.process(inChannels, kBlock, false);
      for (int ready = stretcher.available(); ready > 0; ready = stretcher.available()) {
        produced += static_cast<std::int64_t>(
            stretcher.retrieve(outChannels, std::min<std::size_t>(ready, out.size())));
      }
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["output_share"] =
      static_cast<double>(produced) / static_cast<double>(state.iterations() * speech.size());
  ReportCost(state, state.iterations() * static_cast<std::int64_t>(speech.size()));
}

BENCHMARK(BM_Speech60s_RubberBand)->ArgName("factor_percent")->Arg(150)->Arg(75)
    ->Unit(benchmark::kMillisecond);

#endif

#if defined(RYN_BENCH_SOUNDTOUCH)

// SoundTouch with its default settings.
void BM_Speech60s_SoundTouch(benchmark::State& state) {
  const std::vector<float>& speech = SpeechSeconds();
  soundtouch::SoundTouch touch;
  touch.setSampleRate(static_cast<unsigned>(kSampleRate));
  touch.setChannels(1);
  touch.setPitch(FactorFor(state.range(0)));
  std::vector<float> out(8 * kBlock);
  std::int64_t produced = 0;
  for (auto _ : state) {
    touch.clear();
    for (std::size_t at = 0; at + kBlock <= speech.size(); at += kBlock) {
      touch.putSamples(speech.data() + at, kBlock);
      for (unsigned got = 1; got > 0;) {
        got = touch.receiveSamples(out.data(), static_cast<unsigned>(out.size()));
        produced += got;
      }
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["output_share"] =
      static_cast<double>(produced) / static_cast<double>(state.iterations() * speech.size());
  ReportCost(state, state.iterations() * static_cast<std::int64_t>(speech.size()));
}

BENCHMARK(BM_Speech60s_SoundTouch)->ArgName("factor_percent")->Arg(150)->Arg(75)
    ->Unit(benchmark::kMillisecond);

#endif

}  // namespace
