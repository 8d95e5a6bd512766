#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace audio {

// Start of each burst: the first sample at or above `threshold` in magnitude
// after at least `quietSamples` samples below it.
std::vector<std::size_t> FindOnsets(const std::vector<std::int16_t>& samples, int threshold, std::size_t quietSamples);

struct ClickMatch {
  std::size_t inputOnset;
  long lagSamples;
};

// Pairs every click of `input` with the first click of `output` that starts
// minLag..maxLag samples later; clicks with no partner are left out, so the
// count tells how many came through.
std::vector<ClickMatch> MatchClicks(const std::vector<std::int16_t>& input, const std::vector<std::int16_t>& output,
                                    int threshold, long minLag, long maxLag);

struct LagSummary {
  std::size_t count = 0;
  double medianSamples = 0;
  long minSamples = 0;
  long maxSamples = 0;
};

LagSummary Summarize(const std::vector<ClickMatch>& matches);

// Per-click lags of a click train that may have gone through a path whose
// delay wanders: the envelope cross-correlation (0..maxLag) tells which
// output click belongs to which input click, then every click is paired
// within `window` samples of that lag.
LagSummary MeasureClickLags(const std::vector<std::int16_t>& input, const std::vector<std::int16_t>& output,
                            int threshold, long maxLag, long window);

}  // namespace audio
