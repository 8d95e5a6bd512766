#include "common/signal/SignalAnalysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "common/signal/TestSignals.h"
#include "support/SyntheticSignals.h"

namespace {

using Samples = std::vector<std::int16_t>;

Samples Delayed(const Samples& x, std::size_t by, double gain = 1.0) {
  Samples y(x.size(), 0);
  for (std::size_t i = by; i < x.size(); ++i) {
    y[i] = static_cast<std::int16_t>(std::lround(gain * x[i - by]));
  }
  return y;
}

// Hann-windowed bursts evaluated in continuous time, so a copy can be shifted
// by a fraction of a sample.
Samples SmoothBursts(double shiftSamples) {
  Samples x(8000, 0);
  const double pi = std::acos(-1.0);
  for (double start : {500.0, 2100.0, 3900.0, 6300.0}) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double t = static_cast<double>(i) - start - shiftSamples;
      if (t > 0 && t < 64) {
        x[i] = static_cast<std::int16_t>(std::lround(15000 * (0.5 - 0.5 * std::cos(2 * pi * t / 64)) * std::sin(2 * pi * t / 10)));
      }
    }
  }
  return x;
}

TEST(EstimateLag, FindsAWholeSampleDelayOfAClickTrain) {
  const Samples input = audio::MakeClickTrain({});
  const audio::LagEstimate lag = audio::EstimateLag(input, Delayed(input, 2205), 0, 11025);
  EXPECT_NEAR(lag.lagSamples, 2205.0, 0.01);
  EXPECT_NEAR(lag.LagMs(22050), 100.0, 0.01);
  EXPECT_GT(lag.correlation, 0.95);
}

TEST(EstimateLag, IrregularClicksLeaveNoAmbiguityBeyondTheShortestInterval) {
  // 300 ms is longer than the shortest gap between clicks (150 ms).
  const Samples input = audio::MakeClickTrain({});
  const audio::LagEstimate lag = audio::EstimateLag(input, Delayed(input, 6615), 0, 22050);
  EXPECT_NEAR(lag.lagSamples, 6615.0, 0.01);
}

TEST(EstimateLag, SurvivesAttenuationAndNoise) {
  const Samples input = audio::MakeClickTrain({});
  Samples output = Delayed(input, 1000, 0.3);
  const Samples noise = SampleNoise(output.size(), 800, 5);
  for (std::size_t i = 0; i < output.size(); ++i) output[i] = static_cast<std::int16_t>(output[i] + noise[i]);
  const audio::LagEstimate lag = audio::EstimateLag(input, output, 0, 5000);
  EXPECT_NEAR(lag.lagSamples, 1000.0, 0.5);
  EXPECT_GT(lag.correlation, 0.3);
  EXPECT_LT(lag.correlation, 0.95);
}

TEST(EstimateLag, RefinesBetweenSamples) {
  const audio::LagEstimate lag = audio::EstimateLag(SmoothBursts(0.0), SmoothBursts(10.5), 0, 100);
  EXPECT_NEAR(lag.lagSamples, 10.5, 0.15);
}

TEST(EstimateLag, NegativeLagWhenTheSecondSignalLeads) {
  const Samples input = audio::MakeClickTrain({});
  const audio::LagEstimate lag = audio::EstimateLag(Delayed(input, 300), input, -1000, 1000);
  EXPECT_NEAR(lag.lagSamples, -300.0, 0.01);
}

TEST(EstimateLag, StaysInsideTheSearchRange) {
  const Samples input = audio::MakeClickTrain({});
  const audio::LagEstimate lag = audio::EstimateLag(input, Delayed(input, 3000), 0, 2000);
  EXPECT_GE(lag.lagSamples, 0.0);
  EXPECT_LE(lag.lagSamples, 2000.0);
  EXPECT_LT(lag.correlation, 0.5);
}

TEST(EstimateLag, UnrelatedOrSilentOutputCorrelatesLittle) {
  const Samples input = audio::MakeClickTrain({});
  EXPECT_LT(audio::EstimateLag(input, SampleNoise(input.size(), 3000, 9), 0, 5000).correlation, 0.2);
  EXPECT_EQ(audio::EstimateLag(input, Samples(input.size(), 0), 0, 5000).correlation, 0.0);
}

TEST(EstimateLag, RejectsEmptyInputAndEmptyRange) {
  const Samples some(100, 1);
  EXPECT_THROW(audio::EstimateLag({}, some, 0, 10), std::invalid_argument);
  EXPECT_THROW(audio::EstimateLag(some, {}, 0, 10), std::invalid_argument);
  EXPECT_THROW(audio::EstimateLag(some, some, 5, 4), std::invalid_argument);
}

TEST(DominantFrequency, FindsTonesWithinHalfAHertz) {
  for (double hz : {331.0, 441.0, 662.0, 3000.0}) {
    EXPECT_NEAR(audio::DominantFrequency(audio::MakeTone(22050, hz, 1.0, 8000), 22050), hz, 0.5) << hz;
  }
}

TEST(DominantFrequency, PicksTheStrongerOfTwoTones) {
  const Samples loud = audio::MakeTone(22050, 662.0, 1.0, 8000);
  const Samples soft = audio::MakeTone(22050, 441.0, 1.0, 3000);
  Samples mix(loud.size());
  for (std::size_t i = 0; i < mix.size(); ++i) mix[i] = static_cast<std::int16_t>(loud[i] + soft[i]);
  EXPECT_NEAR(audio::DominantFrequency(mix, 22050), 662.0, 0.5);
}

TEST(DominantFrequency, IgnoresWhatLiesBelowTheLowerLimit) {
  Samples withOffset = audio::MakeTone(22050, 500.0, 1.0, 2000);
  for (auto& s : withOffset) s = static_cast<std::int16_t>(s + 20000);
  EXPECT_NEAR(audio::DominantFrequency(withOffset, 22050), 500.0, 0.5);
  EXPECT_THROW(audio::DominantFrequency({}, 22050), std::invalid_argument);
}

TEST(Rms, OfConstantsAndRanges) {
  const Samples x = {1000, 1000, -1000, -1000, 0, 0};
  EXPECT_DOUBLE_EQ(audio::Rms(x), 1000.0 * std::sqrt(4.0 / 6.0));
  EXPECT_DOUBLE_EQ(audio::Rms(x, 0, 4), 1000.0);
  EXPECT_DOUBLE_EQ(audio::Rms(x, 4), 0.0);
  EXPECT_DOUBLE_EQ(audio::Rms(x, 5, 2), 0.0);
  EXPECT_DOUBLE_EQ(audio::Rms({}), 0.0);
}

}  // namespace

namespace {

// Each click of the train shifted by its own few samples, as a real audio
// path that places blocks by a moving cursor does.
Samples WanderingCopy(const audio::ClickTrainOptions& options, long baseLag, const std::vector<int>& wobble) {
  const Samples input = audio::MakeClickTrain(options);
  Samples output(input.size(), 0);
  const auto positions = audio::ClickPositions(options);
  for (std::size_t k = 0; k < positions.size(); ++k) {
    const std::size_t to = positions[k] + static_cast<std::size_t>(baseLag + wobble[k % wobble.size()]);
    for (unsigned i = 0; i < options.clickSamples && to + i < output.size(); ++i) {
      output[to + i] = input[positions[k] + i];
    }
  }
  return output;
}

TEST(Envelope, IsALoudnessContourWithoutMean) {
  Samples square(1000);
  for (std::size_t i = 0; i < square.size(); ++i) square[i] = static_cast<std::int16_t>(i % 2 ? 3000 : -3000);
  const std::vector<double> flat = audio::Envelope(square, 10);
  EXPECT_DOUBLE_EQ(flat[500], flat[200]);  // constant loudness: flat away from the ends
  EXPECT_NEAR(flat[500], 0.0, 10.0);

  Samples burst(1000, 0);
  for (std::size_t i = 400; i < 440; ++i) burst[i] = static_cast<std::int16_t>(i % 2 ? 5000 : -5000);
  const std::vector<double> envelope = audio::Envelope(burst, 20);
  double sum = 0.0;
  for (double e : envelope) sum += e;
  EXPECT_NEAR(sum, 0.0, 1e-6);
  EXPECT_GT(envelope[420], envelope[300] + 4000);
  EXPECT_THROW(audio::Envelope(burst, 0), std::invalid_argument);
}

TEST(EstimateEnvelopeLag, FindsTheDelayWhenEveryClickWandersByAFewSamples) {
  const audio::ClickTrainOptions options;
  const Samples input = audio::MakeClickTrain(options);
  const Samples output = WanderingCopy(options, 2000, {-3, 2, 0, 3, -2, 1});
  const audio::LagEstimate raw = audio::EstimateLag(input, output, 0, 5000);
  const audio::LagEstimate envelope = audio::EstimateEnvelopeLag(input, output, 0, 5000);
  EXPECT_NEAR(envelope.lagSamples, 2000.0, 2.0);
  EXPECT_GT(envelope.correlation, 0.8);
  // The waveform itself loses most of its correlation to the wandering.
  EXPECT_LT(raw.correlation, envelope.correlation - 0.2);
}

TEST(EstimateEnvelopeLag, UnrelatedSoundCorrelatesLittle) {
  const Samples input = audio::MakeClickTrain({});
  EXPECT_LT(audio::EstimateEnvelopeLag(input, SampleNoise(input.size(), 3000, 4), 0, 5000).correlation, 0.2);
}

TEST(EstimateWindowLags, SkipsPausesAndTellsWhereTheFeedbackFellSilent) {
  // Syllable-long bursts at irregular intervals over 10 s with a pause from
  // 4.0 to 5.5 s; the feedback follows 150 ms later at half the level and
  // falls silent for good at 6 s.
  audio::ClickTrainOptions options;
  options.seconds = 10.0;
  options.clickSamples = 1500;
  options.minIntervalSeconds = 0.2;
  options.maxIntervalSeconds = 0.5;
  Samples input = audio::MakeClickTrain(options);
  std::fill(input.begin() + 4 * 22050, input.begin() + 5 * 22050 + 11025, 0);
  Samples output = Delayed(input, 3308, 0.5);
  std::fill(output.begin() + 6 * 22050, output.end(), 0);

  std::vector<double> starts;
  std::vector<double> lags;
  for (const audio::WindowLag& window : audio::EstimateWindowLags(input, output, 22050)) {
    starts.push_back(window.startSeconds);
    EXPECT_EQ(window.heard, window.startSeconds < 6.0) << window.startSeconds;
    if (window.startSeconds + 1.15 <= 6.0) {  // the window's whole copy was played
      // Bursts cut by the window's edges pull single windows off by a few ms.
      EXPECT_NEAR(window.lag.LagMs(22050), 150.0, 5.0) << window.startSeconds;
      lags.push_back(window.lag.LagMs(22050));
    }
  }
  ASSERT_EQ(lags.size(), 8u);
  std::nth_element(lags.begin(), lags.begin() + 4, lags.end());
  EXPECT_NEAR(lags[4], 150.0, 0.1);
  // Every half second while a window and its full lag range fit, except the
  // two windows wholly inside the pause.
  EXPECT_EQ(starts, (std::vector<double>{0.0, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5, 5.0, 5.5, 6.0, 6.5, 7.0, 7.5}));
}

}  // namespace

namespace {

// A tone read in bursts, each followed by a held level, as a shifter that
// resamples block by block produces: 461 Hz for 400 of every 551 samples.
Samples BurstsOfTone() {
  const Samples tone = audio::MakeTone(22050, 461.0, 2.0, 10000);
  Samples out(tone.size());
  for (std::size_t block = 0; block < out.size(); block += 551) {
    for (std::size_t i = 0; i < 551 && block + i < out.size(); ++i) {
      out[block + i] = tone[i < 400 ? i : 399];
    }
  }
  return out;
}

TEST(DominantFrequency, SmoothingFindsTheToneInsideBursts) {
  const Samples bursts = BurstsOfTone();
  // 22050 / 551 = 40 Hz between lines, none of them at the tone.
  EXPECT_GT(std::abs(audio::DominantFrequency(bursts, 22050) - 461.0), 10.0);
  EXPECT_NEAR(audio::DominantFrequency(bursts, 22050, 100.0, 120.0), 461.0, 4.0);
  // A steady tone keeps its peak under the same smoothing.
  EXPECT_NEAR(audio::DominantFrequency(audio::MakeTone(22050, 662.0, 1.0, 8000), 22050, 100.0, 120.0), 662.0, 1.0);
}

}  // namespace
