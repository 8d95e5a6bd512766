#include "engine/StreamScheduler.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr const SchedulerTuning& kTuning = kSchedulerTuning;

}  // namespace

StreamScheduler::StreamScheduler(std::uint32_t ring, std::uint32_t rate)
    : ringBytes(ring),
      sampleRate(rate),
      play(ring, rate, kTuning.slopeFitSeconds, kTuning.leastSlopeSeconds, kTuning.leadingShare, kTuning.holdSeconds),
      write(ring, rate, kTuning.slopeFitSeconds, kTuning.leastSlopeSeconds, kTuning.leadingShare, kTuning.holdSeconds),
      capture(ring, rate, kTuning.slopeFitSeconds, kTuning.leastSlopeSeconds, kTuning.captureLeadingShare),
      stalls({kTuning.stallSeconds, kTuning.stoodStillSeconds, kTuning.catchUpReadings, kTuning.dropReadings,
              kTuning.leastDropSeconds},
             rate),
      controller({kTuning.settleSeconds, kTuning.followSeconds, kTuning.maxCorrection, kTuning.learnedErrorSeconds},
                 rate) {}

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

std::size_t StreamScheduler::LineReadings() const {
  return std::min(std::max(BlocksIn(kTuning.lineSeconds), kTuning.lineReadings), kHistory);
}

void StreamScheduler::RestartLines() {
  play.Restart();
  write.Restart();
  capture.Restart();
  captureCount = 0.0;
  stalls.Restart();
  lateness.Clear();
  slipToMove = 0.0;
}

double StreamScheduler::NoteCursors(const Block& block, bool& restarted) {
  const double gap = block.seconds - lastSeconds;
  restarted = play.Started() && (gap < 0.0 || gap > kTuning.cursorGapSeconds);
  if (restarted) RestartLines();
  const std::size_t window = LineReadings();
  const double lineBefore = play.Line();
  play.NoteRing(block.play, block.seconds, window);
  write.NoteCount(play.Count() + WriteLead(block), block.seconds, window);
  captureCount += block.samples;
  const double captureCarried = capture.Line() + capture.Slope() * gap;
  const bool captureSeen = !restarted && capture.Readings() > 1;
  capture.NoteCount(captureCount + block.lateSamples, block.seconds, window);
  // Before Holding the slope comes into use and moves the line by itself.
  if (captureSeen && phase == Phase::Holding &&
      capture.Line() - captureCarried > kTuning.leastDropSeconds * sampleRate) {
    ++captureSteps;
  }
  HoldPlayLines(block.seconds);
  lastSeconds = block.seconds;
  const double blockSeconds = static_cast<double>(blockSamples) / sampleRate;
  const double drop = stalls.Note(play, lineBefore, gap, blockSeconds);
  if (drop != 0.0 && stalls.LostPeriod()) {
    // The readings only fell behind, and stayed there: the output lost a
    // period and keeps its pace a period later, so the lines carry on
    // from the readings before, lowered. (Where the readings' place
    // drifts and the lines are not held yet, this was the place wrapping
    // round the period.)
    play.Shift(drop, stalls.ReadingsSinceStall(), window);
    write.Shift(drop, stalls.ReadingsSinceStall(), window);
  } else if (drop != 0.0) {
    // The lines start from the readings the drop was measured on: those of
    // the mixer's catch-up before them show nothing of its pace.
    play.Lower(drop, kTuning.dropReadings, stalls.ReadingsSinceStall(), window);
    write.Lower(drop, kTuning.dropReadings, stalls.ReadingsSinceStall(), window);
  }
  // A hull across a drop would slope as if the clocks drifted apart.
  if (drop != 0.0) {
    play.RestartHeld();
    write.RestartHeld();
  }
  return drop;
}

void StreamScheduler::HoldPlayLines(double seconds) {
  // The listener wakes on the capture device's clock: the play readings'
  // place in the play cursor's period drifts at the clocks' difference and
  // sweeps the period in `sweep` seconds.
  const double drift = std::fabs(play.HeldSlope() - capture.Slope()) / sampleRate;
  const double sweep = drift > 0.0 ? kTuning.periodSeconds / drift : INFINITY;
  // The line over the newest readings comes up to the hull once a sweep,
  // where the readings fall right after a step of the cursor. Where it has
  // not for longer, the output fell behind the hull for good (a mixer that
  // lost a period), and the hull starts afresh.
  if (play.BelowHeld() < kTuning.heldReachSeconds * sampleRate) {
    heldReached = seconds;
  } else if (seconds - heldReached > kTuning.sweepsHeld * sweep) {
    play.RestartHeld();
    write.RestartHeld();
    heldReached = seconds;
  }
  const bool hold = play.HeldSpan() >= kTuning.sweepsHeld * sweep;
  if (hold && !play.Held()) ++holds;
  play.Hold(hold);
  write.Hold(hold);
}

double StreamScheduler::WriteLead(const Block& block) const {
  return ((block.write + ringBytes - block.play) % ringBytes) / 2.0;
}

double StreamScheduler::OnTimeLead(std::uint32_t position, const Block& block) const {
  // A play reading that lags its line makes the lead look longer; a capture
  // reading that lags makes the block look less late.
  const std::uint32_t aheadBytes = (position + ringBytes - block.play) % ringBytes;
  return aheadBytes / 2.0 - play.Lag() + block.pendingSamples + block.lateSamples + capture.Lag();
}

double StreamScheduler::HeldLead() const {
  return std::max(kTuning.nominalBlocks * blockSamples, heldNeed);
}

bool StreamScheduler::NoteNeed(const Block& block) {
  const double rate = sampleRate;
  const double pastWriteCursor = write.Line() - play.Line() + kTuning.writeMarginSeconds * rate;
  allowedNeed = heldNeed;
  lateness.Push(static_cast<float>(block.pendingSamples + block.lateSamples + capture.Lag()));
  // A mixer that ran a period early shows this block's cursors ahead of
  // their lines: the block needs that much more, by no fault of its own.
  // Cursors that are still ahead at the block after a cut have moved on
  // for good, and the stream goes on past them.
  const double pastWriteReading = WriteLead(block) - play.Lag() + kTuning.writeMarginSeconds * rate;
  blockNeed = (cutLastBlock ? pastWriteCursor : std::max(pastWriteCursor, pastWriteReading)) + lateness.Newest();
  const std::size_t count = std::min(BlocksIn(kTuning.lineSeconds), lateness.Size());
  const auto leftOut = static_cast<std::size_t>(std::ceil(kTuning.lateShareLeftOut * static_cast<double>(count)));
  const double need = pastWriteCursor + lateness.Highest(count, leftOut);
  const double before = HeldLead();
  if (need > heldNeed || need < heldNeed - kTuning.moveSeconds * rate) heldNeed = need;
  return HeldLead() < before - kTuning.moveSeconds * rate;
}

void StreamScheduler::Seat(const Block& block, bool dropBehind) {
  const double onTimePlace =
      HeldLead() - block.lateSamples - capture.Lag() - block.pendingSamples + play.Lag();
  const double place = std::max(onTimePlace, WriteLead(block));
  lateSamplesToDrop = dropBehind ? static_cast<std::uint32_t>(std::lround(place - onTimePlace)) : 0;
  writePosition = WrapBytes(static_cast<std::int64_t>(block.play) + 2 * static_cast<std::int64_t>(std::ceil(place)));
  notes.Clear();
  farAheadBlocks = 0;
  cutLastBlock = false;
}

double StreamScheduler::Move(double error, std::uint32_t& skip) {
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
  if (moved == 0.0) return 0.0;
  notes.Add(static_cast<float>(moved), 0, notes.Size());
  ++moves;
  return moved;
}

void StreamScheduler::Recover(double seconds) {
  phase = Phase::Recovering;
  recoverUntil = seconds + kTuning.recoverSeconds;
}

void StreamScheduler::TakeDrop(double drop, double seconds) {
  // The notes since the stall were taken against a line that stood too
  // high by the drop: their leads were that much too short.
  notes.Add(static_cast<float>(drop), 0, std::min(stalls.ReadingsSinceStall() - 1, notes.Size()));
  // The play cursor shows what is heard: the sound slipped by the whole
  // drop. Before the lines are known the stream is moved back by it.
  if (phase == Phase::Holding || phase == Phase::Recovering) {
    Recover(seconds);
  } else {
    slipToMove += drop;
  }
}

bool StreamScheduler::KeepPastWriteCursor(const Block& block, bool restarted) {
  if (phase == Phase::Unseated) {
    // One block's lateness shows nothing of where in their periods the next
    // ones will find the cursors.
    heldNeed += kTuning.seatAllowanceSeconds * sampleRate;
    Seat(block, false);
    phase = Phase::Starting;
    return false;
  }
  // A play cursor that stalls for a few periods while blocks go on
  // arriving looks far behind for as long: only a lead that stays far
  // ahead is one the stream has really run away to.
  const double nominal = kTuning.nominalBlocks * blockSamples;
  farAheadBlocks = OnTimeLead(writePosition, block) > HeldLead() + nominal ? farAheadBlocks + 1 : 0;
  if (restarted || farAheadBlocks >= BlocksIn(kTuning.farAheadSeconds)) {
    Seat(block, true);
    if (restarted) phase = Phase::Learning;
    ++underruns;
    return true;
  }
  auto aheadOfWrite = static_cast<std::int64_t>((writePosition + ringBytes - block.write) % ringBytes);
  if (aheadOfWrite >= static_cast<std::int64_t>(ringBytes / 2)) aheadOfWrite -= ringBytes;
  const bool cutBefore = cutLastBlock;
  cutLastBlock = aheadOfWrite < 0;
  if (!cutLastBlock) return false;
  // The device has committed or played the stream's next place. A block
  // that needs more than allowed for by more than the margin (a starved
  // thread's burst, or a mixer that ran a period early) loses what lies
  // there, and the rest is heard at its time. A stream whose lead falls
  // short of the allowance, or that is cut again at the next block (its
  // blocks come a little later block by block, as where a capture cursor
  // falls behind its pace for seconds), goes on past the write cursor's
  // line by the margin (past the reading where that leads the line), later
  // from then on: cut again, it would break up at every block until the
  // blocks come on time again, and a stream that went on from the reading
  // would lie where the cursor's next step commits it.
  const auto behind = static_cast<std::uint32_t>(-aheadOfWrite / 2);
  const auto margin = static_cast<std::uint32_t>(std::ceil(kTuning.writeMarginSeconds * sampleRate));
  if (blockNeed > allowedNeed + margin && !cutBefore) {
    writePosition = block.write & ~std::uint32_t{1};
    lateSamplesToDrop += behind;
  } else {
    const auto jump = behind + margin + static_cast<std::uint32_t>(std::ceil(std::max(0.0, write.Lag())));
    writePosition = WrapBytes(static_cast<std::int64_t>(writePosition) + 2 * static_cast<std::int64_t>(jump));
    notes.Add(static_cast<float>(jump), 0, notes.Size());
  }
  ++underruns;
  return true;
}

void StreamScheduler::MoveInQuietBlock(std::uint32_t& skip) {
  // Right after a stall only the notes since it count, once the drop is
  // measured.
  const std::size_t sinceStall = stalls.ReadingsSinceStall();
  const std::size_t moveBlocks =
      std::max(std::min(BlocksIn(kTuning.noteSeconds), sinceStall), kTuning.catchUpReadings + kTuning.dropReadings);
  if (skip > 0 || phase == Phase::Starting || stalls.DropPending() || notes.Size() < moveBlocks ||
      sinceStall < moveBlocks) {
    return;
  }
  const double rate = sampleRate;
  const double average = notes.MiddleMean(moveBlocks);
  // Nearer than the write cursor's lead allows: moved whatever the phase.
  const bool tooNear = average < heldNeed - kTuning.writeMarginSeconds * rate / 2;
  if (phase == Phase::Learning) {
    if (slipToMove != 0.0) {
      slipToMove += Move(slipToMove, skip);
    } else if (tooNear) {
      Move(average - heldNeed, skip);
    }
    return;
  }
  const double error = average - HeldLead();
  const double threshold = (phase == Phase::Recovering ? kTuning.moveSeconds : kTuning.slipSeconds) * rate;
  if (tooNear || std::fabs(error) > threshold) Move(error, skip);
}

StreamScheduler::Placement StreamScheduler::Place(const Block& block) {
  blockSamples = std::max<std::uint32_t>(block.samples, 1);
  if (phase == Phase::Starting && notes.Size() >= BlocksIn(kTuning.startSeconds)) {
    RestartLines();
    phase = Phase::Learning;
  }
  bool restarted = false;
  const double drop = NoteCursors(block, restarted);
  if (NoteNeed(block) && phase == Phase::Holding) Recover(block.seconds);
  if (drop != 0.0) TakeDrop(drop, block.seconds);
  const bool jumped = KeepPastWriteCursor(block, restarted);

  // The block is noted at the lead the stream has once the drop is done:
  // the next sample heard is heard at it.
  notes.Push(static_cast<float>(OnTimeLead(writePosition, block) - lateSamplesToDrop));
  std::uint32_t skip = std::min(lateSamplesToDrop, blockSamples);
  lateSamplesToDrop -= skip;

  if (phase == Phase::Learning && play.Readings() >= BlocksIn(kTuning.lineSeconds)) Recover(block.seconds);
  if (phase == Phase::Recovering && block.seconds > recoverUntil) phase = Phase::Holding;
  if (block.quiet) MoveInQuietBlock(skip);

  const std::size_t noteBlocks = BlocksIn(kTuning.noteSeconds);
  const std::size_t reportBlocks = std::min(noteBlocks, notes.Size());
  const double average = notes.MiddleMean(reportBlocks);
  reportedLead = average;
  const double blockSeconds = static_cast<double>(blockSamples) / sampleRate;
  const bool steering = phase == Phase::Holding || phase == Phase::Recovering;
  const double step = steering ? controller.Step(average - HeldLead(), blockSeconds,
                                                 phase == Phase::Holding && reportBlocks == noteBlocks)
                               : controller.Step();
  return Placement{writePosition, jumped, step, skip};
}

void StreamScheduler::Advance(std::uint32_t outputSamples) {
  writePosition = WrapBytes(static_cast<std::int64_t>(writePosition) + 2 * static_cast<std::int64_t>(outputSamples));
}

std::uint32_t StreamScheduler::HeardDelayMs() const {
  if (notes.Size() == 0) return 0;
  // Nothing is heard before it is written: a lead below 0 is the lines'
  // error around a stall, and the delay is at least the block captured.
  return static_cast<std::uint32_t>(std::lround((std::max(0.0, reportedLead) + blockSamples) * 1000.0 / sampleRate));
}
