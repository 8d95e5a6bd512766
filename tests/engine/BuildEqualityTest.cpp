// The phase vocoder and the drift resampler give the same bits in every build
// (native, Windows 32-bit, Windows 64-bit): a digest of their output over a
// long stream of recorded speech is fixed here and checked by each build, the
// plain version of the vocoder included.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/DriftResampler.h"
#include "engine/PitchShifter.h"
#include "engine/PlainPitchShifter.h"
#include "engine/SampleConversion.h"
#include "tools/audio/WavFile.h"

namespace {

constexpr std::size_t kBlock = 1212;
constexpr int kRepeats = 8;  // the 11 s voice sample, about 90 s in all

// 64-bit FNV-1a of the bytes of a sequence of samples.
template <typename Sample>
std::uint64_t Digest(const std::vector<Sample>& samples) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  const auto* bytes = reinterpret_cast<const unsigned char*>(samples.data());
  for (std::size_t i = 0; i < samples.size() * sizeof(Sample); ++i) {
    hash = (hash ^ bytes[i]) * 0x100000001b3ull;
  }
  return hash;
}

// The voice sample repeated, each repeat at a lower level, so that no two
// stretches of the stream are alike.
std::vector<std::int16_t> SpeechStream() {
  const std::vector<std::int16_t> voice = audio::ReadWav(RYN_VOICE_SAMPLE).Channel(0);
  std::vector<std::int16_t> stream;
  for (int r = 0; r < kRepeats; ++r) {
    for (std::int16_t s : voice) stream.push_back(static_cast<std::int16_t>(s * (kRepeats - r) / kRepeats));
  }
  return stream;
}

std::vector<float> AsFloats(const std::vector<std::int16_t>& samples) {
  std::vector<float> values(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) values[i] = SampleToFloat(samples[i]);
  return values;
}

TEST(BuildEquality, PhaseVocoderAndItsPlainVersionGiveTheSameBitsInEveryBuild) {
  const std::vector<float> speech = AsFloats(SpeechStream());
  const std::pair<float, std::uint64_t> digests[] = {{1.5f, 0xc2c8b95ce605d0b0ull}, {0.75f, 0xbb4904d8455cbb2bull}};
  for (const auto& [factor, expected] : digests) {
    const auto shifter = std::make_unique<PitchShifter>();
    std::vector<float> fast = speech;
    for (std::size_t at = 0; at < fast.size(); at += kBlock) {
      const auto count = static_cast<std::int32_t>(std::min(kBlock, fast.size() - at));
      shifter->PitchShift(factor, count, 2048, 4, 22050.0f, fast.data() + at, fast.data() + at);
    }
    std::vector<float> plain = speech;
    PlainPitchShifter().Process(factor, static_cast<std::int32_t>(plain.size()), 2048, 4, 22050.0f, plain.data(),
                                plain.data());
    EXPECT_EQ(Digest(fast), expected) << "factor " << factor << " digest " << std::hex << Digest(fast);
    EXPECT_EQ(Digest(plain), expected) << "factor " << factor << " plain digest " << std::hex << Digest(plain);
  }
}

TEST(BuildEquality, DriftResamplerGivesTheSameBitsInEveryBuild) {
  // Reading faster, then slower, as a capture clock that runs apart would ask.
  const std::vector<std::int16_t> speech = SpeechStream();
  DriftResampler resampler;
  std::vector<std::int16_t> out;
  std::vector<std::int16_t> chunk(DriftResampler::kMaxOutputSamples);
  for (std::size_t at = 0; at + kBlock <= speech.size(); at += kBlock) {
    const double step = (at / kBlock / 100) % 2 == 0 ? 1.0004 : 0.9997;
    const std::uint32_t produced = resampler.Process(speech.data() + at, kBlock, step, chunk.data());
    out.insert(out.end(), chunk.begin(), chunk.begin() + produced);
  }
  EXPECT_EQ(Digest(out), 0x4a332e6b43e861beull) << "digest " << std::hex << Digest(out);
}

}  // namespace
