#include "tools/audio/ClickAnalysis.h"

#include <algorithm>
#include <cstdlib>
#include <cmath>
#include <stdexcept>

#include "common/signal/SignalAnalysis.h"

namespace audio {

std::vector<std::size_t> FindOnsets(const std::vector<std::int16_t>& samples, int threshold, std::size_t quietSamples) {
  if (threshold <= 0) {
    throw std::invalid_argument("threshold must be positive");
  }
  std::vector<std::size_t> onsets;
  std::size_t quiet = quietSamples;  // the signal's start counts as quiet
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (std::abs(static_cast<int>(samples[i])) >= threshold) {
      if (quiet >= quietSamples) {
        onsets.push_back(i);
      }
      quiet = 0;
    } else {
      ++quiet;
    }
  }
  return onsets;
}

std::vector<ClickMatch> MatchClicks(const std::vector<std::int16_t>& input, const std::vector<std::int16_t>& output,
                                    int threshold, long minLag, long maxLag) {
  if (minLag < 0 || minLag > maxLag) {
    throw std::invalid_argument("bad lag range");
  }
  // Quiet spans shorter than a burst would split one click into several.
  constexpr std::size_t kQuiet = 200;
  const std::vector<std::size_t> in = FindOnsets(input, threshold, kQuiet);
  const std::vector<std::size_t> out = FindOnsets(output, threshold, kQuiet);
  std::vector<ClickMatch> matches;
  for (std::size_t onset : in) {
    const auto first = std::lower_bound(out.begin(), out.end(), onset + static_cast<std::size_t>(minLag));
    if (first != out.end() && *first <= onset + static_cast<std::size_t>(maxLag)) {
      matches.push_back({onset, static_cast<long>(*first - onset)});
    }
  }
  return matches;
}

LagSummary Summarize(const std::vector<ClickMatch>& matches) {
  LagSummary summary;
  summary.count = matches.size();
  if (matches.empty()) {
    return summary;
  }
  std::vector<long> lags;
  lags.reserve(matches.size());
  for (const ClickMatch& m : matches) {
    lags.push_back(m.lagSamples);
  }
  std::sort(lags.begin(), lags.end());
  const std::size_t middle = lags.size() / 2;
  summary.medianSamples = lags.size() % 2 ? static_cast<double>(lags[middle])
                                          : 0.5 * static_cast<double>(lags[middle - 1] + lags[middle]);
  summary.minSamples = lags.front();
  summary.maxSamples = lags.back();
  return summary;
}

LagSummary MeasureClickLags(const std::vector<std::int16_t>& input, const std::vector<std::int16_t>& output,
                            int threshold, long maxLag, long window) {
  const long centre = std::lround(EstimateEnvelopeLag(input, output, 0, maxLag).lagSamples);
  return Summarize(MatchClicks(input, output, threshold, std::max(0L, centre - window), centre + window));
}

}  // namespace audio
