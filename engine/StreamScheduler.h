#pragma once

#include <array>
#include <cstdint>

// Where the captured stream goes in the playback ring, and how fast it is
// fed, so that every sample is heard one steady delay after it was
// captured, for the whole session.
//
// A block's place is fixed by its capture time, not by its arrival: the
// first block goes three block lengths ahead of the play cursor, less the
// time it waited after its capture ended, and every later block streams on
// right behind the one before. Jitter in the arrival of blocks therefore
// leaves the heard delay alone. The stream is re-seated only when the play
// cursor has come within a quarter block of its place or passed it (a real
// underrun), or when it has stayed a whole nominal lead beyond the lead it
// is held at for a second. What a re-seat finds already played through (a
// place behind the write cursor) is left out, so the heard delay holds
// across the underrun.
//
// The sound follows the play cursor, mostly: when the mixer stalls, the
// cursor stands still for the stall and never catches up, while the sound
// slips by the stall less what the mixer's queue still held (about a
// period). The scheduler therefore holds the stream's lead over the play
// cursor, not its place, and after a drop of the cursor holds it that
// much longer as the queue took, up to a period in all. Read at the moments
// blocks arrive, though, the cursors are off by where each device is in its
// own period (Wine moves both in 10 ms steps): a reading lags the cursor's
// steady line by up to a period, and that lag drifts and jumps as the two
// devices' periods slide past each other. Each cursor's line is therefore
// taken from the highest of its readings against a steady clock over the
// last seconds, and every block's on-time lead (its lead plus its
// lateness) is noted against the two lines, free of the periods. A stall
// (a block that comes late by more than a Wine period, or a play cursor
// that stood still) is measured as soon as a dozen readings follow it: the
// drop of their typical reading against that of the dozen before is
// applied to the older readings, so the line shows it at once.
//
// The session is held at that lead. When, in the seconds after a measured
// drop, the notes since the stall stand more than a few milliseconds off
// it (at other times, when the last second's stand more than a Wine period
// off), the stream is moved back in a quiet block, where nothing is heard
// of the move: leading samples of the block are left out, or the held level
// is played a little longer. Until the lines are known (the first ten
// seconds), only a stall's slip is moved back, to where the stream stood
// just before the stall, and a seat that is half a period off: the seat is
// taken from one reading, and a second of readings after the start's
// bursts (whose readings are left out of the lines) shows how far off it
// was. Smaller errors, and the clocks' difference, are taken up by the
// resampling step handed out: it steers the last ten seconds' notes to the
// held lead, never more than kMaxCorrection away from 1, so the correction
// cannot be heard.
//
// Positions are byte offsets into a ring of 16-bit samples; leads are in
// samples. A value type with fixed storage: no allocation, no lock.
class StreamScheduler {
 public:
  static constexpr double kMaxCorrection = 0.002;

  StreamScheduler(std::uint32_t ringBytes, std::uint32_t sampleRate);

  // One captured block as it is handed over.
  struct Block {
    std::uint32_t play;     // the device's play cursor, read as the block arrived
    std::uint32_t write;    // its write cursor, read just before placing
    std::uint32_t samples;  // the block's length
    std::uint32_t lateSamples;  // captured past the block's end when it was handed over
    double pendingSamples;  // what the resampler still holds of earlier blocks
    double seconds;         // when the cursors were read, on a steady clock
    bool quiet;             // nothing in the block is heard: it may be shortened or stretched
  };

  struct Placement {
    std::uint32_t writePosition;  // ring offset of the first output sample of this block
    bool reseated;                // the running stream jumped here: fade in from what was held
    double step;                  // input samples per output sample for this block
    std::uint32_t skipSamples;    // leading samples of this block to leave out: fade in from what was held
  };

  // Decides where this block's output goes.
  Placement Place(const Block& block);

  // After the block's output has been written at the placement: the stream
  // continues `outputSamples` further on.
  void Advance(std::uint32_t outputSamples);

  // Delay the stream is held at, beyond the routing: the nominal on-time
  // lead, off by what the last ten seconds' notes are off it, plus the block
  // being captured, in milliseconds (truncated); 0 before the first block.
  std::uint32_t HeardDelayMs() const;

  // Times the stream was re-seated after the first placement.
  std::uint32_t Reseats() const { return reseats; }
  // Times the stream was moved back to the held lead in a quiet block.
  std::uint32_t Realignments() const { return realignments; }
  // Times the play cursor was seen to stall: a block came late, or the
  // cursor stood still against the clock.
  std::uint32_t Stalls() const { return stalls; }

 private:
  // Ten seconds of notes at the shortest block (10 ms).
  static constexpr std::size_t kHistory = 1024;

  // Blocks in `seconds`, at most the history.
  std::size_t BlocksIn(double seconds) const;
  // Notes the cursors against the steady clock and finds their lines;
  // starts afresh after a gap the ring cannot tell apart, and opens the
  // stretch in which the stream may be moved after a stall.
  void NoteCursors(const Block& block);
  // How far this block's cursor readings lag the cursors' lines, in samples.
  double PlayLag() const;
  // The on-time lead held over the cursors' lines.
  double HeldLead() const;
  // Middle mean of kDropReadings play offsets, the newest `skipped` left out.
  double TypicalPlayOffset(std::size_t skipped) const;
  double CaptureLag() const;
  // Mean of the middle half of the `count` values of `ring` before `end`.
  template <typename Value>
  static double MiddleMean(const std::array<Value, kHistory>& ring, std::size_t end, std::size_t count);
  // Mean of the middle half of the most recent `count` notes.
  double AverageOnTimeLead(std::size_t count) const;
  // Moves every note by `samples`, after the stream itself moved.
  void ShiftNotes(double samples);
  // The correction for a lead `error` samples too long; learns the ratio
  // when `learn`.
  double Steer(double error, double blockSeconds, bool learn);
  std::uint32_t WrapBytes(std::int64_t offset) const;

  std::uint32_t ringBytes;
  std::uint32_t sampleRate;
  bool seated = false;
  std::uint32_t writePosition = 0;
  std::uint32_t blockSamples = 0;
  std::uint32_t reseats = 0;
  std::uint32_t realignments = 0;
  std::uint32_t stalls = 0;
  // Samples of the stream that a re-seat at the write cursor put behind
  // their time, still to be left out of the blocks that follow it.
  std::uint32_t lateSamplesToDrop = 0;
  std::size_t farAheadBlocks = 0;  // consecutive blocks a whole nominal lead beyond the held lead
  // Whether the cursors' lines were noted afresh after the session's start.
  bool linesSettled = false;
  // Whether the last seat's first second of notes is still to be checked.
  bool seatUnchecked = false;
  std::size_t blocksSinceSeat = 0;
  // The on-time lead to hold, against the cursors' lines, once a window of
  // cursor readings has been seen.
  double reference = 0.0;
  bool referenceSet = false;
  double heldError = 0.0;  // the last ten seconds' notes against the reference

  // The cursors, unwrapped, against the steady clock: a reading minus the
  // samples the clock has counted since the first, newest at cursorNext - 1.
  bool cursorsKnown = false;
  std::uint32_t lastPlay = 0;
  double lastSeconds = 0.0;
  double firstSeconds = 0.0;
  double playCount = 0.0;
  double captureCount = 0.0;  // samples captured up to the end of the last block
  std::array<double, kHistory> playOffsets{};
  std::array<double, kHistory> captureOffsets{};
  std::array<float, kHistory> periodBiases{};  // play lag less capture lag of each block
  std::size_t cursorNotes = 0;
  std::size_t cursorNext = 0;
  std::size_t notesSinceStall = 0;
  bool dropPending = false;  // the play cursor's drop at the last stall is not measured yet
  double lineDrop = 0.0;     // the drop measured with this block, in samples
  double queueTaken = 0.0;   // what stalls took of the mixer's queue: held on top of the reference
  double movableUntil = 0.0;  // the stream may be moved back until then, after a stall
  double playLine = 0.0;     // the highest play offset of the window
  double captureLine = 0.0;  // the highest capture offset of the window

  double drift = 0.0;  // integral part of the correction: the clocks' learned ratio
  // Notes of on-time leads since the seat, newest at next - 1.
  std::array<float, kHistory> onTimeLeads{};
  std::size_t observed = 0;  // notes kept, up to kHistory
  std::size_t next = 0;
};
