#include "BenchAudio.h"

#include "engine/ShiftStage.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// One block per iteration, in the engine's block sizes (40, 100 and 220 ms
// delays), fed from the speech in stream order as the capture thread would.
void ShiftBlocks(benchmark::State& state, ShiftMethod method) {
  const auto blockSamples = static_cast<std::size_t>(state.range(0));
  const auto shift = static_cast<std::int32_t>(state.range(1));
  const std::vector<std::int16_t>& speech = SpeechSamples();
  std::vector<std::int16_t> block(blockSamples);
  ShiftStage stage(shift);
  std::size_t at = 0;
  for (auto _ : state) {
    if (at + blockSamples > speech.size()) {
      at = 0;
    }
    std::copy_n(speech.begin() + static_cast<std::ptrdiff_t>(at), blockSamples, block.begin());
    stage.ShiftBlock(block.data(), static_cast<std::uint32_t>(2 * blockSamples), shift, method);
    benchmark::DoNotOptimize(block.data());
    at += blockSamples;
  }
  ReportCost(state, state.iterations() * static_cast<std::int64_t>(blockSamples));
}

void BM_PhaseVocoderBlock(benchmark::State& state) {
  ShiftBlocks(state, ShiftMethod::PhaseVocoder);
}

void BM_ResamplingBlock(benchmark::State& state) {
  ShiftBlocks(state, ShiftMethod::Resampling);
}

// Block sizes in samples for 40, 100 and 220 ms; shifts +10 (1.5) and -10
// (0.75).
void EngineBlocks(benchmark::internal::Benchmark* bench) {
  bench->ArgNames({"samples", "shift"});
  for (std::int64_t samples : {220, 551, 1212}) {
    for (std::int64_t shift : {10, -10}) {
      bench->Args({samples, shift});
    }
  }
}

BENCHMARK(BM_PhaseVocoderBlock)->Apply(EngineBlocks);
BENCHMARK(BM_ResamplingBlock)->Apply(EngineBlocks);

}  // namespace
