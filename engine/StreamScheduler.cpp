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
// A second's notes moving by more than 8 ms in two seconds, twice what the
// correction follows at its limit, is a step of the cursor; it is measured
// over five seconds, longer than Wine's cursor sawtooth.
constexpr double kSegmentSeconds = 1.0;
constexpr double kCursorStepSeconds = 0.008;
constexpr double kStepSettleSeconds = 5.0;

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
    segmentBlocks = 0;
    segments = 0;
    stepPending = false;
  }

  const std::uint32_t placedBytes = (writePosition + ringBytes - play) % ringBytes;
  onTimeLeads[next] = static_cast<float>(placedBytes / 2.0 + pendingSamples + late);
  next = (next + 1) % kHistory;
  observed = std::min(observed + 1, kHistory);

  AbsorbCursorStep();

  const std::size_t span = BlocksIn(kAverageSeconds);
  const double average = AverageOnTimeLead(span);
  heldLead = average - cursorShift;
  if (!referenceSet && observed >= span) {
    reference = average;
    referenceSet = true;
  }
  // Until the reference is known, and while a step of the cursor is being
  // measured, the learned ratio alone is applied. The ratio is learned only
  // from a whole window of notes: the few after a seat are a sample of
  // Wine's cursor sawtooth, and a seat at the write cursor, beyond the
  // reference, is no sign of drift.
  const double blockSeconds = static_cast<double>(blockSamples) / sampleRate;
  const double correction =
      referenceSet && !stepPending ? Steer(average - reference, blockSeconds, observed >= span) : drift;
  return Placement{writePosition, reseat && wasSeated, 1.0 + correction};
}

void StreamScheduler::AbsorbCursorStep() {
  // Once a second the mean of that second's notes is set against the mean
  // two seconds before. Clocks that run apart move it by a fraction of a
  // millisecond; Wine re-estimates its play cursor now and then and moves
  // it by 10 to 20 ms at once while the sound goes on where it was. Such a
  // step is the cursor's, not the stream's. It is measured between the
  // notes before it and those of the seconds after it, longer than Wine's
  // cursor sawtooth, and then the older notes and the reference are moved
  // by it, so the correction does not walk the heard delay away to follow
  // the cursor.
  const std::size_t segment = BlocksIn(kSegmentSeconds);
  const std::size_t settle = BlocksIn(kStepSettleSeconds);
  if (stepPending) {
    if (++stepBlocks < settle) return;
    const double step = AverageOnTimeLead(settle) - stepBaseline;
    for (std::size_t i = settle; i < observed; ++i) {
      onTimeLeads[(next + kHistory - 1 - i) % kHistory] += static_cast<float>(step);
    }
    if (referenceSet) reference += step;
    cursorShift += step;
    stepPending = false;
    segments = 0;
    segmentBlocks = 0;
    return;
  }
  if (++segmentBlocks < segment) return;
  segmentBlocks = 0;
  const double mean = AverageOnTimeLead(segment);
  if (segments >= 2 && std::fabs(mean - segmentMeans[0]) > kCursorStepSeconds * sampleRate) {
    stepBaseline = AverageOnTimeLead(settle, 2 * segment);
    stepPending = true;
    stepBlocks = 0;
  }
  segmentMeans[0] = segmentMeans[1];
  segmentMeans[1] = mean;
  segments = std::min<std::size_t>(segments + 1, 2);
}

double StreamScheduler::AverageOnTimeLead(std::size_t count, std::size_t skip) const {
  // The mean of the middle half: deaf to the odd outlier of a preempted
  // cursor read.
  skip = std::min(skip, observed - 1);
  count = std::min(count, observed - skip);
  // Two selections rather than a sort: this runs with every block.
  std::array<float, kHistory> notes{};
  for (std::size_t i = 0; i < count; ++i) notes[i] = onTimeLeads[(next + kHistory - 1 - skip - i) % kHistory];
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
