#include "engine/ShiftStage.h"

#include "engine/PitchShifter.h"
#include "engine/PlainPitchShifter.h"
#include "engine/SampleConversion.h"
#include "support/SyntheticSignals.h"
#include "common/signal/TestSignals.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using Block = std::vector<std::int16_t>;
using ::testing::ElementsAreArray;

constexpr std::int32_t kRaise = 10;   // factor 1.5
constexpr std::int32_t kLower = -10;  // factor 0.75
constexpr ShiftMethod kVocoder = ShiftMethod::PhaseVocoder;
constexpr ShiftMethod kResampling = ShiftMethod::Resampling;

std::uint32_t Bytes(const Block& block) {
  return static_cast<std::uint32_t>(block.size() * sizeof(std::int16_t));
}

Block Shifted(ShiftStage& stage, Block block, std::int32_t shift, ShiftMethod method) {
  stage.ShiftBlock(block.data(), Bytes(block), shift, method);
  return block;
}

// Sample i is 1000 + 2i: distinct values that stay distinct after the round
// trip through float (which moves a value at most one step toward zero), so
// every output names the input index it was read from.
Block Numbered(std::size_t count) {
  Block block(count);
  for (std::size_t i = 0; i < count; ++i) {
    block[i] = static_cast<std::int16_t>(1000 + 2 * i);
  }
  return block;
}

std::vector<int> SourceIndices(const Block& out, std::size_t begin, std::size_t end) {
  std::vector<int> indices;
  for (std::size_t i = begin; i < end; ++i) {
    indices.push_back((out[i] - 999) / 2);
  }
  return indices;
}

// Expected reading of one part of `outputs` samples: the first
// `speedOutputs` read from `start` on at 1.5 times normal speed, the rest
// hold input `held`.
void AppendRaisedPart(std::vector<int>& indices, double start, int outputs, int speedOutputs,
                      int held) {
  for (int i = 0; i < outputs; ++i) {
    indices.push_back(i < speedOutputs ? static_cast<int>(start + 1.5 * i) : held);
  }
}

Block SpeechBlock(std::size_t count, std::uint64_t seed) {
  const std::vector<float> speech = SpeechLike(count, seed);
  Block block(count);
  for (std::size_t i = 0; i < count; ++i) {
    block[i] = static_cast<std::int16_t>(speech[i] * 30000.0f);
  }
  return block;
}

// --- factor and dispatch ----------------------------------------------------

TEST(ShiftStage, PitchFactorIsTheNearestFloatOfEachStep) {
  const float expected[21] = {0.75f,  0.775f, 0.8f,  0.825f, 0.85f, 0.875f, 0.9f,
                              0.925f, 0.95f,  0.975f, 1.0f,  1.05f, 1.1f,   1.15f,
                              1.2f,   1.25f,  1.3f,  1.35f, 1.4f,  1.45f,  1.5f};
  for (std::int32_t shift = -10; shift <= 10; ++shift) {
    EXPECT_EQ(PitchFactorFor(shift), expected[shift + 10]) << "shift " << shift;
    EXPECT_EQ(ShiftStage(shift).GetPitchFactor(), expected[shift + 10]) << "shift " << shift;
  }
}

TEST(ShiftStage, ShiftZeroLeavesTheBlockBitIdenticalInBothMethods) {
  // Values that the float round trip would move toward zero.
  const Block original = {-32768, 32735, 32767, -1, 1, 12345, -32767, 0};
  for (ShiftMethod method : {kVocoder, kResampling}) {
    ShiftStage stage(kRaise);
    EXPECT_EQ(Shifted(stage, original, 0, method), original) << "method " << ZelModeOf(method);
  }
}

TEST(ShiftStage, ShiftZeroDoesNotFeedThePhaseVocoder) {
  const Block speech = SpeechBlock(12 * 1212, 3);
  const auto directStream = std::make_unique<PitchShifter>();
  ShiftStage direct(kRaise, *directStream);
  const Block expected = Shifted(direct, speech, kRaise, kVocoder);

  const auto stream = std::make_unique<PitchShifter>();
  ShiftStage stage(kRaise, *stream);
  for (int i = 0; i < 5; ++i) {
    Shifted(stage, SpeechBlock(1212, 4), 0, kVocoder);
  }
  EXPECT_EQ(Shifted(stage, speech, kRaise, kVocoder), expected);
}

TEST(ShiftStage, FactorStaysAsConstructedWhateverShiftIsPassed) {
  // A block handled between a parameter change and the restart sees the new
  // shift with the old factor.
  ShiftStage raising(kRaise);
  ShiftStage reference(kRaise);
  EXPECT_EQ(Shifted(raising, Numbered(220), -3, kResampling),
            Shifted(reference, Numbered(220), kRaise, kResampling));
}

// --- method 2: raising ------------------------------------------------------

TEST(ShiftStage, ResamplingRaises220SamplesThenHoldsTheLast) {
  ShiftStage stage(kRaise);
  const Block out = Shifted(stage, Numbered(220), kRaise, kResampling);
  std::vector<int> expected;
  AppendRaisedPart(expected, 0.0, 220, 147, 219);
  EXPECT_THAT(SourceIndices(out, 0, 220), ElementsAreArray(expected));
  // Spot checks from the reading rule: 0, 1, 3, 4, 6, ..., 216, 217, 219.
  EXPECT_THAT(SourceIndices(out, 0, 5), ElementsAreArray({0, 1, 3, 4, 6}));
  EXPECT_THAT(SourceIndices(out, 144, 148), ElementsAreArray({216, 217, 219, 219}));
}

TEST(ShiftStage, ResamplingRaises1212SamplesAsTwoHalves) {
  ShiftStage stage(kRaise);
  const Block out = Shifted(stage, Numbered(1212), kRaise, kResampling);
  std::vector<int> expected;
  AppendRaisedPart(expected, 0.0, 606, 404, 605);
  AppendRaisedPart(expected, 606.0, 606, 404, 1211);
  EXPECT_THAT(SourceIndices(out, 0, 1212), ElementsAreArray(expected));
  EXPECT_THAT(SourceIndices(out, 403, 407), ElementsAreArray({604, 605, 605, 605}));
  EXPECT_THAT(SourceIndices(out, 605, 608), ElementsAreArray({605, 606, 607}));
  EXPECT_THAT(SourceIndices(out, 1009, 1011), ElementsAreArray({1210, 1211}));
}

TEST(ShiftStage, ResamplingRaisesAnOddBlockAndKeepsItsLastSample) {
  ShiftStage stage(kRaise);
  Block in = Numbered(1025);
  in[1024] = -4321;
  const Block out = Shifted(stage, in, kRaise, kResampling);
  // Parts of 512; the second part goes on from where the first stopped
  // reading (511.5), so it starts with input 511 again.
  std::vector<int> expected;
  AppendRaisedPart(expected, 0.0, 512, 341, 511);
  AppendRaisedPart(expected, 511.5, 512, 342, 1023);
  EXPECT_THAT(SourceIndices(out, 0, 1024), ElementsAreArray(expected));
  EXPECT_EQ(out[1024], -4321);
}

TEST(ShiftStage, ResamplingAtGainOneMovesValuesTowardZeroByTheRoundTrip) {
  ShiftStage stage(kRaise);
  const Block out = Shifted(stage, {-32768, 32735, 0, 32767}, kRaise, kResampling);
  // Factor 1.5 reads inputs 0, 1, 3, then holds input 3.
  EXPECT_THAT(out, ElementsAreArray({-32767, 32734, 32767, 32767}));
}

// --- method 2: lowering -----------------------------------------------------

TEST(ShiftStage, ResamplingLowers220SamplesAtThreeQuartersSpeed) {
  ShiftStage stage(kLower);
  const Block out = Shifted(stage, Numbered(220), kLower, kResampling);
  // Outputs outside both ramps: input trunc(0.75 i).
  std::vector<int> expected;
  for (int i = 50; i <= 170; ++i) {
    expected.push_back(static_cast<int>(0.75 * i));
  }
  EXPECT_THAT(SourceIndices(out, 50, 171), ElementsAreArray(expected));
  // Last output: input 164 (value 1328) at the final fade-out gain, just
  // above 0.02; inputs 165..219 are not heard.
  EXPECT_EQ(out[219], 26);
}

std::vector<std::int16_t> FadeInOf(int count, double value) {
  std::vector<std::int16_t> out;
  float gain = 0.0f;
  for (int i = 0; i < count; ++i) {
    gain = gain + 0.02f;
    out.push_back(static_cast<std::int16_t>(static_cast<double>(gain) * value));
  }
  return out;
}

std::vector<std::int16_t> FadeOutOf(int count, double value) {
  std::vector<std::int16_t> out;
  float gain = 1.0f;
  for (int i = 0; i < count; ++i) {
    gain = gain - 0.02f;
    out.push_back(static_cast<std::int16_t>(value * gain));
  }
  return out;
}

TEST(ShiftStage, ResamplingLowersWithFadesAtBothEdges) {
  ShiftStage stage(kLower);
  const Block out = Shifted(stage, Block(220, 32767), kLower, kResampling);
  EXPECT_THAT(Block(out.begin(), out.begin() + 50), ElementsAreArray(FadeInOf(50, 32767.0)));
  EXPECT_THAT(Block(out.begin() + 50, out.begin() + 171), ::testing::Each(32767));
  EXPECT_THAT(Block(out.begin() + 171, out.end()), ElementsAreArray(FadeOutOf(49, 32767.0)));
  // The ramps' ends: 0.02 first, 0.9999996 at the 50th sample (never 1),
  // 0.98 at the start of the fade-out, 0.02 at the last sample (never 0).
  EXPECT_EQ(out[0], 655);
  EXPECT_EQ(out[49], 32766);
  EXPECT_EQ(out[171], 32111);
  EXPECT_EQ(out[219], 655);
}

TEST(ShiftStage, ResamplingShortBlockTakesTheFadeOutWhereTheRampsOverlap) {
  ShiftStage stage(kLower);
  const Block out = Shifted(stage, Block(60, 32767), kLower, kResampling);
  // Samples 0..10 fade in; 11..59 carry the fade-out, including 11..49
  // where both ramps apply.
  EXPECT_THAT(Block(out.begin(), out.begin() + 11), ElementsAreArray(FadeInOf(11, 32767.0)));
  EXPECT_THAT(Block(out.begin() + 11, out.end()), ElementsAreArray(FadeOutOf(49, 32767.0)));
  EXPECT_EQ(out[10], 7208);
  EXPECT_EQ(out[11], 32111);
  EXPECT_EQ(out[59], 655);
}

TEST(ShiftStage, ResamplingCarriesNothingFromOneBlockToTheNext) {
  ShiftStage stage(kLower);
  const Block first = Shifted(stage, SpeechBlock(551, 8), kLower, kResampling);
  Shifted(stage, SpeechBlock(551, 9), kLower, kResampling);
  EXPECT_EQ(Shifted(stage, SpeechBlock(551, 8), kLower, kResampling), first);
}

TEST(ShiftStage, ResamplingShiftsABlockBeyondTheLongestInPartsOfThatLength) {
  constexpr std::size_t kLongest = ShiftStage::kMaxBlockSamples;
  for (const std::int32_t shift : {kRaise, kLower}) {
    ShiftStage stage(shift);
    const Block numbered = Numbered(kLongest + 220);
    Block expected = Shifted(stage, Block(numbered.begin(), numbered.begin() + kLongest), shift, kResampling);
    const Block tail = Shifted(stage, Block(numbered.begin() + kLongest, numbered.end()), shift, kResampling);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(Shifted(stage, numbered, shift, kResampling), expected) << "shift " << shift;
  }
}

// --- method 1 -----------------------------------------------------------------

TEST(ShiftStage, VocoderShiftsTheStreamAsOneWithFrameLength2048) {
  // Same as converting, running the plain shifter over the whole stream with
  // the engine's parameters, and converting back with saturation.
  const Block speech = SpeechBlock(20 * 1212, 12);
  for (std::int32_t shift : {kRaise, kLower, 1}) {
    const auto stream = std::make_unique<PitchShifter>();
    ShiftStage stage(shift, *stream);
    Block out;
    for (std::size_t at = 0; at < speech.size(); at += 1212) {
      const Block shifted =
          Shifted(stage, Block(speech.begin() + at, speech.begin() + at + 1212), shift, kVocoder);
      out.insert(out.end(), shifted.begin(), shifted.end());
    }

    std::vector<float> values(speech.size());
    std::transform(speech.begin(), speech.end(), values.begin(), SampleToFloat);
    PlainPitchShifter plain;
    plain.Process(PitchFactorFor(shift), static_cast<std::int32_t>(values.size()), 2048, 4,
                  22050.0f, values.data(), values.data());
    Block expected(values.size());
    std::transform(values.begin(), values.end(), expected.begin(), SampleFromFloat);
    EXPECT_EQ(out, expected) << "shift " << shift;
  }
}

TEST(ShiftStage, StagesFeedTheSharedVocoderStreamInTurn) {
  // A new player's stage goes on with the stream its predecessor left.
  const Block first = SpeechBlock(3 * 1212, 13);
  const Block second = SpeechBlock(3 * 1212, 14);
  const auto continued = std::make_unique<PitchShifter>(PitchShifter::Shared());
  ShiftStage reference(kRaise, *continued);
  const Block expectedFirst = Shifted(reference, first, kRaise, kVocoder);
  const Block expectedSecond = Shifted(reference, second, kRaise, kVocoder);

  ShiftStage earlier(kRaise);
  EXPECT_EQ(Shifted(earlier, first, kRaise, kVocoder), expectedFirst);
  ShiftStage later(kRaise);
  EXPECT_EQ(Shifted(later, second, kRaise, kVocoder), expectedSecond);
}

TEST(ShiftStage, VocoderClipsLoudPassagesInsteadOfWrapping) {
  // At factor 0.875 a full-scale 441 Hz tone comes out of the vocoder at
  // about 1.45 times its level.
  constexpr std::int32_t kShift = -5;
  const std::vector<float> tone = audio::Tone(441.0, 32767.0, 8 * 1212);
  Block loud(tone.size());
  std::transform(tone.begin(), tone.end(), loud.begin(),
                 [](float v) { return static_cast<std::int16_t>(v); });
  const auto stream = std::make_unique<PitchShifter>();
  ShiftStage stage(kShift, *stream);
  Block out;
  for (std::size_t at = 0; at < loud.size(); at += 1212) {
    const Block shifted =
        Shifted(stage, Block(loud.begin() + at, loud.begin() + at + 1212), kShift, kVocoder);
    out.insert(out.end(), shifted.begin(), shifted.end());
  }
  const Block settled(out.begin() + 8192, out.end());
  EXPECT_THAT(settled, ::testing::Contains(32767));
  EXPECT_THAT(settled, ::testing::Contains(-32768));
  int largestStep = 0;
  for (std::size_t i = 1; i < settled.size(); ++i) {
    largestStep = std::max(largestStep, std::abs(settled[i] - settled[i - 1]));
  }
  // A 386 Hz tone at 1.5 times full scale moves at most about 5400 per
  // sample; a wrap would jump by some 65000.
  EXPECT_LT(largestStep, 12000);
}

}  // namespace
