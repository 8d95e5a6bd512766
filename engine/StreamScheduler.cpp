#include "engine/StreamScheduler.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kNominalBlocks = 3.0;
// Notes are averaged over ten seconds: Wine's capture cursor runs a 10 ms
// sawtooth with a period of about 4.4 s, which a shorter average takes for
// drift. The correction settles over that stretch and learns the clocks'
// ratio over twice it, which damps the two critically.
constexpr double kAverageSeconds = 10.0;
constexpr double kSettleSeconds = kAverageSeconds;
constexpr double kFollowSeconds = 2.0 * kSettleSeconds;
constexpr double kFarAheadSeconds = 1.0;

}  // namespace

StreamScheduler::StreamScheduler(std::uint32_t ring, std::uint32_t rate) : ringBytes(ring), sampleRate(rate) {}

std::uint32_t StreamScheduler::WrapBytes(std::int64_t offset) const {
  const auto ring = static_cast<std::int64_t>(ringBytes);
  offset %= ring;
  if (offset < 0) offset += ring;
  return static_cast<std::uint32_t>(offset) & ~std::uint32_t{1};
}

std::size_t StreamScheduler::BlocksIn(double seconds) const {
  const auto blocks = static_cast<std::size_t>(seconds * sampleRate / blockSamples);
  return std::clamp<std::size_t>(blocks, 1, kHistory);
}

StreamScheduler::Placement StreamScheduler::Place(std::uint32_t play, std::uint32_t write, std::uint32_t samples,
                                                  std::uint32_t lateSamples, double pendingSamples) {
  blockSamples = std::max<std::uint32_t>(samples, 1);
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
    // A play cursor that stalls for a few periods while blocks go on
    // arriving looks far ahead for as long: only a lead that stays far
    // ahead is one the stream has really run away to.
    farAheadBlocks = onTimeLead > (referenceSet ? reference : nominal) + nominal ? farAheadBlocks + 1 : 0;
    reseat = behindWriteCursor || farAheadBlocks >= BlocksIn(kFarAheadSeconds);
    if (reseat) ++reseats;
  }
  if (reseat) {
    // The block's first sample goes to the place the session is held at
    // (the nominal one until that is known), or to the write cursor when
    // that has passed it already. Seating anywhere else would leave the
    // correction to walk the heard delay back over the next seconds.
    const double target = referenceSet ? reference : nominal;
    const double place = std::max(target - late - pendingSamples, gapBytes / 2.0);
    const std::uint32_t seat =
        WrapBytes(static_cast<std::int64_t>(play) + 2 * static_cast<std::int64_t>(std::ceil(place)));
    // The notes of the old seat no longer apply; the reference, the lead the
    // session is held at, still does. A stream that ran dry before a
    // reference was known is held at the nominal lead from now on.
    if (wasSeated && !referenceSet) {
      reference = nominal;
      referenceSet = true;
    }
    writePosition = seat;
    seated = true;
    farAheadBlocks = 0;
    observed = 0;
    next = 0;
  }

  const std::uint32_t placedBytes = (writePosition + ringBytes - play) % ringBytes;
  onTimeLeads[next] = static_cast<float>(placedBytes / 2.0 + pendingSamples + late);
  next = (next + 1) % kHistory;
  observed = std::min(observed + 1, kHistory);

  const std::size_t span = BlocksIn(kAverageSeconds);
  const double average = AverageOnTimeLead(span);
  heldLead = average;
  if (!referenceSet && observed >= span) {
    reference = average;
    referenceSet = true;
  }
  // Until the reference is known the learned ratio alone is applied. The
  // ratio is learned only from a whole window of notes: the few after a
  // seat are a sample of Wine's cursor sawtooth, and a seat at the write
  // cursor, beyond the reference, is no sign of drift.
  const double correction =
      referenceSet ? Steer(average - reference, static_cast<double>(blockSamples) / sampleRate, observed >= span)
                   : drift;
  return Placement{writePosition, reseat && wasSeated, 1.0 + correction};
}

double StreamScheduler::AverageOnTimeLead(std::size_t count) const {
  // The mean of the middle half: deaf to the odd outlier of a preempted
  // cursor read.
  count = std::min(count, observed);
  // Two selections rather than a sort: this runs with every block.
  std::array<float, kHistory> notes{};
  for (std::size_t i = 0; i < count; ++i) notes[i] = onTimeLeads[(next + kHistory - 1 - i) % kHistory];
  const auto from = notes.begin() + static_cast<std::ptrdiff_t>(count / 4);
  const auto to = notes.begin() + static_cast<std::ptrdiff_t>(count - count / 4);
  const auto end = notes.begin() + static_cast<std::ptrdiff_t>(count);
  std::nth_element(notes.begin(), from, end);
  std::nth_element(from, to, end);
  double sum = 0.0;
  for (auto note = from; note != to; ++note) sum += *note;
  return sum / static_cast<double>(to - from);
}

double StreamScheduler::Steer(double error, double blockSeconds, bool learn) {
  // A lead too long is shortened by reading the input a little faster. The
  // learned ratio stops growing while the correction is at its limit.
  const auto rate = static_cast<double>(sampleRate);
  const double unlimited = drift + error / (kSettleSeconds * rate);
  const double correction = std::clamp(unlimited, -kMaxCorrection, kMaxCorrection);
  if (learn && unlimited == correction) {
    drift = std::clamp(drift + error * blockSeconds / (kFollowSeconds * kFollowSeconds * rate), -kMaxCorrection,
                       kMaxCorrection);
  }
  return correction;
}

void StreamScheduler::Advance(std::uint32_t outputSamples) {
  writePosition = WrapBytes(static_cast<std::int64_t>(writePosition) + 2 * static_cast<std::int64_t>(outputSamples));
}

std::uint32_t StreamScheduler::HeardDelayMs() const {
  if (observed == 0) return 0;
  return static_cast<std::uint32_t>((heldLead + blockSamples) * 1000.0 / sampleRate);
}
