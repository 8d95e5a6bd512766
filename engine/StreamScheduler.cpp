#include "engine/StreamScheduler.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kNominalBlocks = 3.0;
// Notes are averaged over ten seconds for the correction: it settles over
// that stretch and learns the clocks' ratio over twice it, which damps the
// two critically.
constexpr double kAverageSeconds = 10.0;
constexpr double kSettleSeconds = kAverageSeconds;
constexpr double kFollowSeconds = 2.0 * kSettleSeconds;
constexpr double kFarAheadSeconds = 1.0;
// The capture cursor's readings slide through its period once in about four
// and a half seconds; the play cursor's sit at one point of the mixer's
// period for long stretches, and where that point is near the period's
// start they catch the next step now and then. The highest readings of
// five seconds are on the cursors' lines. A stall of the mixer drops the
// play cursor's line at once: the drop is the typical reading of a dozen
// after the stall against that of a dozen before it (the first few after
// it, while the mixer catches up, are left out), and the readings before
// the stall are lowered by it, so that the line shows the drop as soon as
// it is measured and still rests on five seconds of readings.
constexpr double kLineSeconds = 5.0;
constexpr std::size_t kDropReadings = 12;
constexpr std::size_t kCatchUpReadings = 4;
// Less than half a period is no drop: the typical readings wander that much.
constexpr double kLeastDropSeconds = 0.005;
// Wine's mixer keeps about a period queued for the device. A stall plays
// out of that queue unheard as far as it reaches, and the mixer does not
// fill it up again: the play cursor drops by the stall, the sound slips by
// the stall less the queue, and from then on the cursor stands that much
// nearer to what is heard. The lead held over the cursor grows by what the
// queue took, up to a period in all (on this machine's stalls the drop
// exceeded the slip by 0 to 23 ms, 10 on average).
constexpr double kQueueSeconds = 0.010;
// A gap this long between blocks may have wrapped the ring: the cursors are
// noted afresh.
constexpr double kCursorGapSeconds = 1.0;
// The stream is moved back in a quiet block once the last second's notes
// stand 2 ms off the held lead: less is left to the correction.
constexpr double kRealignWindowSeconds = 1.0;
// Wine hands over the first periods of both devices in bursts: the
// readings of the first half second are no guide to the cursors' lines,
// which are noted afresh from then on. A second later, before the lines
// are known, that second's notes are set against the lead held, and a seat
// more than half a period off is moved: the notes wander less than that
// while the lines form.
constexpr double kStartSeconds = 0.5;
constexpr double kSeatCheckSeconds = kStartSeconds + 1.0;
constexpr double kSeatSeconds = 0.005;
constexpr double kRealignSeconds = 0.002;
// The output slips only when the mixer stalls. Under Wine this thread
// mostly stalls with it, and a block this much later than the one before
// is the sign; a play cursor that stood still shows it too, as a reading
// further below its line than a period and a half. For a few seconds after
// the drop is measured the stream may be moved back in quiet blocks; at any
// other time an error within a Wine period is left to the correction, so
// that a stray reading never moves what is heard at once.
constexpr double kStallSeconds = 0.030;
constexpr double kStoodStillSeconds = 0.015;
constexpr double kMoveAfterStallSeconds = 3.0;
// An error beyond a Wine period, over a whole second, is a slip whatever
// the thread saw of it: the stream is moved back then too.
constexpr double kSlipSeconds = 0.010;
// The ratio of the clocks is learned from errors of at most 12 ms: a clock
// difference ten times what real devices show stays within that.
constexpr double kLearnedErrorSeconds = 0.012;

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

void StreamScheduler::NoteCursors(const Block& block) {
  const auto rate = static_cast<double>(sampleRate);
  const double gap = block.seconds - lastSeconds;
  bool stalled = cursorsKnown && gap > static_cast<double>(blockSamples) / rate + kStallSeconds;
  if (!cursorsKnown || gap < 0.0 || gap > kCursorGapSeconds) {
    cursorsKnown = true;
    firstSeconds = block.seconds;
    playCount = 0.0;
    captureCount = 0.0;
    cursorNotes = 0;
    cursorNext = 0;
    notesSinceStall = 0;
  } else {
    playCount += ((block.play + ringBytes - lastPlay) % ringBytes) / 2.0;
  }
  lastPlay = block.play;
  lastSeconds = block.seconds;
  captureCount += block.samples;
  const double counted = (block.seconds - firstSeconds) * rate;
  playOffsets[cursorNext] = playCount - counted;
  captureOffsets[cursorNext] = captureCount + block.lateSamples - counted;
  if (!dropPending && cursorNotes > 0 && playLine - playOffsets[cursorNext] > kStoodStillSeconds * rate) stalled = true;
  if (stalled) {
    ++stalls;
    notesSinceStall = 0;
    dropPending = cursorNotes >= kDropReadings;
  }
  cursorNext = (cursorNext + 1) % kHistory;
  cursorNotes = std::min(cursorNotes + 1, kHistory);
  notesSinceStall = std::min(notesSinceStall + 1, kHistory);
  lineDrop = 0.0;
  if (dropPending && notesSinceStall == kCatchUpReadings + kDropReadings) {
    dropPending = false;
    const double drop = TypicalPlayOffset(notesSinceStall) - TypicalPlayOffset(0);
    if (std::fabs(drop) >= kLeastDropSeconds * rate) {
      lineDrop = drop;
      const std::size_t window = std::min(BlocksIn(kLineSeconds), cursorNotes);
      for (std::size_t i = notesSinceStall; i < window; ++i) {
        playOffsets[(cursorNext + kHistory - 1 - i) % kHistory] -= drop;
      }
      movableUntil = block.seconds + kMoveAfterStallSeconds;
    }
  }

  const std::size_t window = std::min(BlocksIn(kLineSeconds), cursorNotes);
  playLine = playOffsets[(cursorNext + kHistory - 1) % kHistory];
  captureLine = captureOffsets[(cursorNext + kHistory - 1) % kHistory];
  for (std::size_t i = 1; i < window; ++i) {
    const std::size_t index = (cursorNext + kHistory - 1 - i) % kHistory;
    playLine = std::max(playLine, playOffsets[index]);
    captureLine = std::max(captureLine, captureOffsets[index]);
  }
  periodBiases[(cursorNext + kHistory - 1) % kHistory] = static_cast<float>(PlayLag() - CaptureLag());
}

double StreamScheduler::TypicalPlayOffset(std::size_t skipped) const {
  return MiddleMean(playOffsets, (cursorNext + kHistory - skipped) % kHistory, kDropReadings);
}

double StreamScheduler::HeldLead() const { return reference + queueTaken; }

double StreamScheduler::PlayLag() const { return playLine - playOffsets[(cursorNext + kHistory - 1) % kHistory]; }

double StreamScheduler::CaptureLag() const {
  return captureLine - captureOffsets[(cursorNext + kHistory - 1) % kHistory];
}

StreamScheduler::Placement StreamScheduler::Place(const Block& block) {
  blockSamples = std::max<std::uint32_t>(block.samples, 1);
  if (seated && !linesSettled && blocksSinceSeat >= BlocksIn(kStartSeconds)) {
    linesSettled = true;
    cursorsKnown = false;
  }
  NoteCursors(block);
  const double nominal = kNominalBlocks * blockSamples;
  // Until the cursors' lines are known, the lead held is the nominal one
  // as read.
  if (!referenceSet && !seated) reference = nominal;
  if (lineDrop != 0.0) {
    const std::size_t since = std::min(notesSinceStall - 1, observed);
    // Before the lines are known the notes wander with them by most of a
    // period: the stream is then held where it stood just before the stall.
    const std::size_t before = std::min(observed - since, BlocksIn(kRealignWindowSeconds));
    if (!referenceSet && before > 0) {
      reference = MiddleMean(onTimeLeads, (next + kHistory - since) % kHistory, before) - queueTaken;
    }
    const double queue = kQueueSeconds * sampleRate;
    queueTaken += std::clamp(lineDrop, -queueTaken, queue - queueTaken);
    // The notes since the stall were taken against a line that stood too
    // high by the drop: their leads were that much too short.
    for (std::size_t i = 0; i < since; ++i) {
      onTimeLeads[(next + kHistory - 1 - i) % kHistory] += static_cast<float>(lineDrop);
    }
  }
  const auto late = static_cast<double>(block.lateSamples);
  // What the cursors' periods add to a lead read from them: a play cursor
  // that lags its line makes the lead look longer, a capture cursor that
  // lags makes the block look less late.
  const double periodBias = PlayLag() - CaptureLag();
  // Forward distances from the play cursor, in bytes; equal cursors mean the
  // device holds nothing ahead of play.
  const std::uint32_t gapBytes = (block.write + ringBytes - block.play) % ringBytes;

  const bool wasSeated = seated;
  bool reseat = !seated;
  if (seated) {
    const std::uint32_t aheadBytes = (writePosition + ringBytes - block.play) % ringBytes;
    // A stream that reaches behind the write cursor keeps its place: Wine
    // mixes from the play cursor on, and elsewhere only the start of the
    // late block is lost, with the held level heard instead. Re-seating
    // would move the heard delay every time a block comes late, and the
    // correction would bring it back to the next late block. Only a stream
    // the play cursor has all but overtaken is re-seated.
    const std::uint32_t marginBytes = 2 * (blockSamples / 4);
    const bool overtaken = aheadBytes < marginBytes || aheadBytes > ringBytes / 2;
    const double onTimeLead = aheadBytes / 2.0 + block.pendingSamples + late - periodBias;
    // A play cursor that stalls for a few periods while blocks go on
    // arriving looks far ahead for as long: only a lead that stays far
    // ahead is one the stream has really run away to.
    farAheadBlocks = onTimeLead > HeldLead() + nominal ? farAheadBlocks + 1 : 0;
    reseat = overtaken || farAheadBlocks >= BlocksIn(kFarAheadSeconds);
    if (reseat) ++reseats;
  }
  if (reseat) {
    // The block's first sample goes to the place the session is held at,
    // or to the write cursor when that has passed it already.
    const double target = HeldLead() + (referenceSet ? periodBias : 0.0);
    const double onTimePlace = target - late - block.pendingSamples;
    const double place = std::max(onTimePlace, gapBytes / 2.0);
    // After an underrun, what lies between the two has been played through
    // already: it is left out of this block and the next, where the jump
    // is, instead of being heard that much late until a quiet block. The
    // first block starts the stream whole, at the write cursor; the check
    // of the seat moves it back in a quiet block a second later.
    lateSamplesToDrop = wasSeated ? static_cast<std::uint32_t>(std::lround(place - onTimePlace)) : 0;
    writePosition =
        WrapBytes(static_cast<std::int64_t>(block.play) + 2 * static_cast<std::int64_t>(std::ceil(place)));
    seated = true;
    seatUnchecked = true;
    blocksSinceSeat = 0;
    farAheadBlocks = 0;
    observed = 0;
    next = 0;
  }

  const std::uint32_t placedBytes = (writePosition + ringBytes - block.play) % ringBytes;
  onTimeLeads[next] = static_cast<float>(placedBytes / 2.0 + block.pendingSamples + late - periodBias);
  next = (next + 1) % kHistory;
  observed = std::min(observed + 1, kHistory);

  // Held at the nominal on-time lead as a reading at a random point of the
  // periods would show it, on average: the lead at which the routing is
  // measured. The biases are taken from the second window of readings, when
  // each already had a whole window of lines behind it.
  const std::size_t lineBlocks = BlocksIn(kLineSeconds);
  if (!referenceSet && cursorNotes >= 2 * lineBlocks) {
    reference = nominal - MiddleMean(periodBiases, cursorNext, lineBlocks);
    referenceSet = true;
    // The seat was taken from one reading: it is moved to the held lead
    // with the first quiet block.
    movableUntil = block.seconds + kMoveAfterStallSeconds;
  }

  std::uint32_t skip = 0;
  if (lateSamplesToDrop > 0) {
    // The block is noted at the lead the stream has once the drop is done:
    // the next sample heard is heard at it.
    onTimeLeads[(next + kHistory - 1) % kHistory] -= static_cast<float>(lateSamplesToDrop);
    skip = std::min(lateSamplesToDrop, blockSamples);
    lateSamplesToDrop -= skip;
  }
  ++blocksSinceSeat;
  // Right after a stall only the notes since it count, once the play
  // cursor's drop is measured.
  const std::size_t realignBlocks =
      std::max(std::min(BlocksIn(kRealignWindowSeconds), notesSinceStall), kCatchUpReadings + kDropReadings);
  // Until the lines are known, only a stall's slip is moved back, and a
  // seat that its first second's notes show far off: a seat is taken from
  // one reading, which a period may put off by up to a period.
  const bool seatCheck = seatUnchecked && !referenceSet && blocksSinceSeat >= BlocksIn(kSeatCheckSeconds);
  const bool movable = referenceSet || block.seconds <= movableUntil || seatCheck;
  if (skip == 0 && movable && block.quiet && !dropPending && observed >= realignBlocks &&
      notesSinceStall >= realignBlocks) {
    const double error = AverageOnTimeLead(realignBlocks) - HeldLead();
    double threshold = kSlipSeconds;
    if (block.seconds <= movableUntil) {
      threshold = kRealignSeconds;
    } else if (seatCheck) {
      threshold = kSeatSeconds;
      seatUnchecked = false;
    }
    if (std::fabs(error) > threshold * sampleRate) {
      const auto samples = static_cast<std::uint32_t>(std::lround(std::fabs(error)));
      double moved = 0.0;
      if (error > 0) {
        // Too late: the block's first samples are left out.
        skip = std::min(samples, blockSamples - 1);
        moved = -static_cast<double>(skip);
      } else {
        // Too early: the held level plays on a little longer first.
        const std::uint32_t wait = std::min(samples, blockSamples);
        writePosition = WrapBytes(static_cast<std::int64_t>(writePosition) + 2 * static_cast<std::int64_t>(wait));
        moved = wait;
      }
      // The window's notes now stand where the stream is; older ones, from
      // before whatever moved it off, are dropped.
      observed = realignBlocks;
      ShiftNotes(moved);
      ++realignments;
    }
  }

  const std::size_t span = BlocksIn(kAverageSeconds);
  const double average = AverageOnTimeLead(span);
  heldError = average - HeldLead();
  // Until the reference is known the learned ratio alone is applied. The
  // ratio is learned only from a whole window of notes: the few after a
  // seat are no sign of drift.
  const double blockSeconds = static_cast<double>(blockSamples) / sampleRate;
  const double correction = referenceSet ? Steer(average - HeldLead(), blockSeconds, observed >= span) : drift;
  return Placement{writePosition, reseat && wasSeated, 1.0 + correction, skip};
}

void StreamScheduler::ShiftNotes(double samples) {
  for (std::size_t i = 0; i < observed; ++i) {
    onTimeLeads[(next + kHistory - 1 - i) % kHistory] += static_cast<float>(samples);
  }
}

template <typename Value>
double StreamScheduler::MiddleMean(const std::array<Value, kHistory>& ring, std::size_t end, std::size_t count) {
  // The mean of the middle half: deaf to the odd outlier of a preempted
  // cursor read. Two selections rather than a sort: this runs with every
  // block.
  std::array<Value, kHistory> values{};
  for (std::size_t i = 0; i < count; ++i) values[i] = ring[(end + kHistory - 1 - i) % kHistory];
  const auto from = values.begin() + static_cast<std::ptrdiff_t>(count / 4);
  const auto to = values.begin() + static_cast<std::ptrdiff_t>(count - count / 4);
  const auto last = values.begin() + static_cast<std::ptrdiff_t>(count);
  std::nth_element(values.begin(), from, last);
  std::nth_element(from, to, last);
  double sum = 0.0;
  for (auto value = from; value != to; ++value) sum += *value;
  return sum / static_cast<double>(to - from);
}

double StreamScheduler::AverageOnTimeLead(std::size_t count) const {
  return MiddleMean(onTimeLeads, next, std::min(count, observed));
}

double StreamScheduler::Steer(double error, double blockSeconds, bool learn) {
  // A lead too long is shortened by reading the input a little faster. The
  // learned ratio stops growing while the correction is at its limit.
  const auto rate = static_cast<double>(sampleRate);
  const double unlimited = drift + error / (kSettleSeconds * rate);
  const double correction = std::clamp(unlimited, -kMaxCorrection, kMaxCorrection);
  if (learn && unlimited == correction) {
    // A step of the lead that waits for a quiet block to be moved away is
    // no drift: what one error teaches is bounded.
    const double bounded = std::clamp(error, -kLearnedErrorSeconds * rate, kLearnedErrorSeconds * rate);
    drift = std::clamp(drift + bounded * blockSeconds / (kFollowSeconds * kFollowSeconds * rate), -kMaxCorrection,
                       kMaxCorrection);
  }
  return correction;
}

void StreamScheduler::Advance(std::uint32_t outputSamples) {
  writePosition = WrapBytes(static_cast<std::int64_t>(writePosition) + 2 * static_cast<std::int64_t>(outputSamples));
}

std::uint32_t StreamScheduler::HeardDelayMs() const {
  if (observed == 0) return 0;
  const double lead = kNominalBlocks * blockSamples + heldError;
  return static_cast<std::uint32_t>(std::max(0.0, lead + blockSamples) * 1000.0 / sampleRate);
}
