#include "engine/StreamScheduler.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kNominalBlocks = 3.0;
// Seconds of blocks the median looks back over.
constexpr double kWindowSeconds = 1.0;
// Time constants of the correction: a lead error decays over kSettle
// seconds, and the learned clock ratio follows over kFollow seconds, which
// damps the two critically.
constexpr double kSettleSeconds = 1.0;
constexpr double kFollowSeconds = 2.0;

}  // namespace

StreamScheduler::StreamScheduler(std::uint32_t ring, std::uint32_t rate) : ringBytes(ring), sampleRate(rate) {}

std::uint32_t StreamScheduler::WrapBytes(std::int64_t offset) const {
  const auto ring = static_cast<std::int64_t>(ringBytes);
  offset %= ring;
  if (offset < 0) offset += ring;
  return static_cast<std::uint32_t>(offset) & ~std::uint32_t{1};
}

StreamScheduler::Placement StreamScheduler::Place(std::uint32_t play, std::uint32_t write, std::uint32_t samples,
                                                  std::uint32_t lateSamples, double pendingSamples) {
  blockSamples = std::max<std::uint32_t>(samples, 1);
  windowSize = std::clamp<std::size_t>(static_cast<std::size_t>(kWindowSeconds * sampleRate / blockSamples), 8, kWindow);
  const double nominal = kNominalBlocks * blockSamples;
  const auto late = static_cast<double>(lateSamples);
  // Forward distances from the play cursor, in bytes; equal cursors mean the
  // device holds nothing ahead of play.
  const std::uint32_t gapBytes = (write + ringBytes - play) % ringBytes;

  const bool wasSeated = seated;
  bool reseat = !seated;
  if (seated) {
    const std::uint32_t aheadBytes = (writePosition + ringBytes - play) % ringBytes;
    const bool behindWriteCursor = aheadBytes < gapBytes || aheadBytes > ringBytes / 2;
    const double onTimeLead = aheadBytes / 2.0 + pendingSamples + late;
    const bool farAhead = onTimeLead > (referenceSet ? reference : nominal) + nominal;
    reseat = behindWriteCursor || farAhead;
    if (reseat) ++reseats;
  }
  if (reseat) {
    const double place = std::max(nominal - late - pendingSamples, gapBytes / 2.0);
    writePosition = WrapBytes(static_cast<std::int64_t>(play) + 2 * static_cast<std::int64_t>(std::ceil(place)));
    seated = true;
    referenceSet = false;
    observed = 0;
    next = 0;
  }

  const std::uint32_t placedBytes = (writePosition + ringBytes - play) % ringBytes;
  onTimeLeads[next] = static_cast<float>(placedBytes / 2.0 + pendingSamples + late);
  next = (next + 1) % windowSize;
  observed = std::min(observed + 1, windowSize);

  const double median = MedianOnTimeLead();
  if (!referenceSet && observed == windowSize) {
    reference = median;
    referenceSet = true;
  }
  // Until the reference is known the learned ratio alone is applied.
  correction = drift;
  if (referenceSet) Steer(median - reference, static_cast<double>(blockSamples) / sampleRate);
  return Placement{writePosition, reseat && wasSeated, 1.0 + correction};
}

double StreamScheduler::MedianOnTimeLead() const {
  // The mean of the middle half: steady where cursors that move in periods
  // make the leads alternate between two values, and deaf to the odd
  // outlier of a preempted cursor read.
  std::array<float, kWindow> sorted{};
  std::copy_n(onTimeLeads.begin(), observed, sorted.begin());
  std::sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(observed));
  const std::size_t from = observed / 4;
  const std::size_t to = observed - observed / 4;
  double sum = 0.0;
  for (std::size_t i = from; i < to; ++i) sum += sorted[i];
  return sum / static_cast<double>(to - from);
}

void StreamScheduler::Steer(double error, double blockSeconds) {
  // A lead too long is shortened by reading the input a little faster.
  const auto rate = static_cast<double>(sampleRate);
  drift = std::clamp(drift + error * blockSeconds / (kFollowSeconds * kFollowSeconds * rate), -kMaxCorrection,
                     kMaxCorrection);
  correction = std::clamp(drift + error / (kSettleSeconds * rate), -kMaxCorrection, kMaxCorrection);
}

void StreamScheduler::Advance(std::uint32_t outputSamples) {
  writePosition = WrapBytes(static_cast<std::int64_t>(writePosition) + 2 * static_cast<std::int64_t>(outputSamples));
}

std::uint32_t StreamScheduler::HeardDelayMs() const {
  if (observed == 0) return 0;
  return static_cast<std::uint32_t>((MedianOnTimeLead() + blockSamples) * 1000.0 / sampleRate);
}
