#include "common/signal/TestSignals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "common/signal/SignalAnalysis.h"

namespace {

TEST(ClickTrain, ClicksStartWhereScheduledAtIrregularIntervals) {
  audio::ClickTrainOptions options;
  const auto positions = audio::ClickPositions(options);
  ASSERT_GE(positions.size(), 10u);
  EXPECT_EQ(positions.front(), static_cast<std::size_t>(options.firstClickSeconds * options.sampleRate));
  const auto minGap = static_cast<std::size_t>(options.minIntervalSeconds * options.sampleRate);
  const auto maxGap = static_cast<std::size_t>(options.maxIntervalSeconds * options.sampleRate) + 1;
  std::size_t shortest = SIZE_MAX;
  std::size_t longest = 0;
  for (std::size_t i = 1; i < positions.size(); ++i) {
    const std::size_t gap = positions[i] - positions[i - 1];
    shortest = std::min(shortest, gap);
    longest = std::max(longest, gap);
  }
  EXPECT_GE(shortest, minGap);
  EXPECT_LE(longest, maxGap);
  // Irregular: the spread of the gaps covers a good part of the allowed range.
  EXPECT_GT(longest - shortest, (maxGap - minGap) / 3);
  EXPECT_LE(positions.back() + options.clickSamples, static_cast<std::size_t>(options.seconds * options.sampleRate));
}

TEST(ClickTrain, SameSeedSameTrainOtherSeedOtherTrain) {
  audio::ClickTrainOptions options;
  const auto first = audio::MakeClickTrain(options);
  EXPECT_EQ(audio::MakeClickTrain(options), first);
  options.seed = 2;
  EXPECT_NE(audio::ClickPositions(options), audio::ClickPositions(audio::ClickTrainOptions{}));
}

TEST(ClickTrain, SoundOnlyInsideTheBurstsAndWithinTheAmplitude) {
  audio::ClickTrainOptions options;
  options.seconds = 2.0;
  const auto train = audio::MakeClickTrain(options);
  ASSERT_EQ(train.size(), 44100u);
  std::vector<bool> inBurst(train.size(), false);
  for (std::size_t start : audio::ClickPositions(options)) {
    long sum = 0;
    int peak = 0;
    for (unsigned i = 0; i < options.clickSamples; ++i) {
      inBurst[start + i] = true;
      sum += train[start + i];
      peak = std::max(peak, std::abs(static_cast<int>(train[start + i])));
    }
    EXPECT_LE(peak, options.amplitude);
    EXPECT_GT(peak, options.amplitude * 9 / 10);
    // No DC step: a burst sums to almost nothing against its peak.
    EXPECT_LT(std::labs(sum), static_cast<long>(peak) * 2);
  }
  for (std::size_t i = 0; i < train.size(); ++i) {
    if (!inBurst[i]) {
      ASSERT_EQ(train[i], 0) << "sample " << i;
    }
  }
}

TEST(Tone, HasTheRequestedLengthLevelAndFrequency) {
  const auto tone = audio::MakeTone(22050, 441.0, 1.5, 10000);
  ASSERT_EQ(tone.size(), 33075u);
  EXPECT_EQ(tone[0], 0);
  // 50 samples per period put the crest half-way between two samples.
  EXPECT_NEAR(*std::max_element(tone.begin(), tone.end()), 10000 * std::cos(std::acos(-1.0) / 50), 1.0);
  EXPECT_NEAR(audio::Rms(tone), 10000 / std::sqrt(2.0), 5.0);
  EXPECT_NEAR(audio::DominantFrequency(tone, 22050), 441.0, 0.5);
}

}  // namespace
