#include "tools/audio/ClickAnalysis.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "common/signal/TestSignals.h"

namespace {

using Samples = std::vector<std::int16_t>;

Samples Shifted(const Samples& x, std::size_t by) {
  Samples y(x.size(), 0);
  for (std::size_t i = by; i < x.size(); ++i) y[i] = x[i - by];
  return y;
}

TEST(FindOnsets, OneOnsetPerClickAtAFixedOffsetIntoTheBurst) {
  const audio::ClickTrainOptions options;
  const auto positions = audio::ClickPositions(options);
  const auto onsets = audio::FindOnsets(audio::MakeClickTrain(options), 5000, 200);
  ASSERT_EQ(onsets.size(), positions.size());
  const std::size_t offset = onsets[0] - positions[0];
  EXPECT_LT(offset, options.clickSamples / 2);
  for (std::size_t k = 0; k < onsets.size(); ++k) {
    EXPECT_EQ(onsets[k] - positions[k], offset) << "click " << k;
  }
}

TEST(FindOnsets, NeedsAQuietStretchBeforeANewOnset) {
  Samples x(1000, 0);
  x[100] = 9000;
  x[250] = -9000;  // only 149 quiet samples since the last loud one
  x[600] = 9000;
  EXPECT_EQ(audio::FindOnsets(x, 5000, 200), (std::vector<std::size_t>{100, 600}));
  EXPECT_EQ(audio::FindOnsets(x, 5000, 100), (std::vector<std::size_t>{100, 250, 600}));
  EXPECT_THROW(audio::FindOnsets(x, 0, 10), std::invalid_argument);
}

TEST(MatchClicks, PairsEachClickWithItsDelayedCopyAndSkipsLostOnes) {
  audio::ClickTrainOptions options;
  const Samples input = audio::MakeClickTrain(options);
  Samples output = Shifted(input, 1500);
  const auto positions = audio::ClickPositions(options);
  for (unsigned i = 0; i < options.clickSamples; ++i) output[positions[3] + 1500 + i] = 0;  // a lost click
  const auto matches = audio::MatchClicks(input, output, 5000, 1400, 1600);
  ASSERT_EQ(matches.size(), positions.size() - 1);
  for (const auto& m : matches) {
    EXPECT_EQ(m.lagSamples, 1500);
    const bool lostClick = m.inputOnset >= positions[3] && m.inputOnset < positions[3] + options.clickSamples;
    EXPECT_FALSE(lostClick) << "the lost click was matched";
  }
}

TEST(MatchClicks, IgnoresClicksOutsideTheLagWindow) {
  const Samples input = audio::MakeClickTrain({});
  const Samples output = Shifted(input, 1500);
  EXPECT_TRUE(audio::MatchClicks(input, output, 5000, 0, 1000).empty());
  EXPECT_TRUE(audio::MatchClicks(input, output, 5000, 1600, 2000).empty());
  EXPECT_THROW(audio::MatchClicks(input, output, 5000, 10, 5), std::invalid_argument);
  EXPECT_THROW(audio::MatchClicks(input, output, 5000, -1, 5), std::invalid_argument);
}

TEST(Summarize, MedianAndRange) {
  const audio::LagSummary odd = audio::Summarize({{0, 30}, {1, 10}, {2, 20}});
  EXPECT_EQ(odd.count, 3u);
  EXPECT_DOUBLE_EQ(odd.medianSamples, 20.0);
  EXPECT_EQ(odd.minSamples, 10);
  EXPECT_EQ(odd.maxSamples, 30);
  EXPECT_DOUBLE_EQ(audio::Summarize({{0, 10}, {1, 21}, {2, 40}, {3, 11}}).medianSamples, 16.0);
  EXPECT_EQ(audio::Summarize({}).count, 0u);
}

}  // namespace

namespace {

TEST(MeasureClickLags, PairsClicksByTheEnvelopeLagEvenWhenTheDelayExceedsAGap) {
  // 250 ms delay, longer than the shortest gap: a window from 0 would pair
  // clicks with their neighbours' copies.
  const audio::ClickTrainOptions options;
  const Samples input = audio::MakeClickTrain(options);
  const Samples output = Shifted(input, 5512);
  const audio::LagSummary naive = audio::Summarize(audio::MatchClicks(input, output, 5000, 0, 11025));
  EXPECT_LT(naive.minSamples, 5512);
  const audio::LagSummary lags = audio::MeasureClickLags(input, output, 5000, 11025, 441);
  EXPECT_EQ(lags.count, audio::ClickPositions(options).size() - 1);  // the last copy falls off the end
  EXPECT_EQ(lags.minSamples, 5512);
  EXPECT_EQ(lags.maxSamples, 5512);
}

}  // namespace
