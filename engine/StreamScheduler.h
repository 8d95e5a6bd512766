#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/CursorLine.h"
#include "engine/LeadController.h"
#include "engine/RingHistory.h"
#include "engine/SchedulerTuning.h"
#include "engine/StallDetector.h"

// Where the captured stream goes in the playback ring, and how fast it is
// fed, so that every sample is heard one steady delay after its capture and
// none is written where the device has committed already.
//
// A block's place is fixed by its capture time, not by its arrival: its
// on-time lead (its lead over the play cursor's line plus how long it
// waited after its capture ended) is held, so jitter in the arrival of
// blocks leaves the heard delay alone. The lead held is the nominal three
// blocks, or, where the device commits further ahead, what lets nearly every
// block land past the write cursor's line by the margin: the write cursor's
// lead, the margin and the blocks' lateness. A block that lands behind the
// write cursor all the same loses what lies there; the rest is heard at its
// time. Errors of the lead are taken up by the resampling step, within
// ±maxCorrection, or moved away in a quiet block, where nothing is heard of
// the move.
//
// Positions are byte offsets into a ring of 16-bit samples; leads are in
// samples. A value type with fixed storage: no allocation, no lock.
class StreamScheduler {
 public:
  static constexpr double kMaxCorrection = kSchedulerTuning.maxCorrection;

  StreamScheduler(std::uint32_t ringBytes, std::uint32_t sampleRate);

  // One captured block as it is handed over.
  struct Block {
    std::uint32_t play;         // the device's play cursor, read as the block arrived
    std::uint32_t write;        // its write cursor, read just before placing
    std::uint32_t samples;      // the block's length
    std::uint32_t lateSamples;  // captured past the block's end when it was handed over
    double pendingSamples;      // what the resampler still holds of earlier blocks
    double seconds;             // when the cursors were read, on a steady clock
    bool quiet;                 // nothing in the block is heard: it may be shortened or stretched
  };

  struct Placement {
    std::uint32_t writePosition;  // ring offset of the first output sample of this block
    bool reseated;                // the running stream jumped here: fade in from what was held
    double step;                  // input samples per output sample for this block
    std::uint32_t skipSamples;    // leading samples of this block to leave out: fade in from what was held
  };

  // What the scheduler is doing.
  enum class Phase {
    Unseated,    // no block yet
    Starting,    // the devices' first bursts: the stream stays where the first block put it
    Learning,    // the cursors' lines form: moved only to stay past the write cursor or after a stall
    Holding,     // the lead is held by the correction; a slip beyond a period is moved back
    Recovering,  // after a stall, a change of the lead held or once the lines are known: errors beyond the margin are moved
  };

  // Decides where this block's output goes.
  Placement Place(const Block& block);

  // After the block's output has been written at the placement: the stream
  // continues `outputSamples` further on.
  void Advance(std::uint32_t outputSamples);

  // The heard delay beyond the routing: the last second's on-time leads
  // plus the block being captured, to the nearest millisecond; 0 before
  // the first block only.
  std::uint32_t HeardDelayMs() const;

  // The device committed the start of a block's output after the cursors
  // were read and before it was written: that start is lost, the rest was
  // heard at its time. Counted as an underrun.
  void NoteCommittedOnWrite() { ++underruns; }

  // Underruns: times the stream jumped, dropping what the device had
  // already committed or played, or was seated afresh, or lost the start of
  // a block that the device committed meanwhile.
  std::uint32_t Reseats() const { return underruns; }
  // Times the stream was moved to the lead held in a quiet block.
  std::uint32_t Realignments() const { return moves; }
  // Stalls of the output or the thread that the cursors showed.
  std::uint32_t Stalls() const { return stalls.Stalls(); }
  // Times, in Holding, that the capture line rose by more than a reading
  // wanders at one block: the capture device showed more samples than its
  // pace allows. Counted only; the stream is not moved for it.
  std::uint32_t CaptureSteps() const { return captureSteps; }
  // Times the play and write lines went onto their hulls: the readings'
  // place in the play periods drifts (two clocks).
  std::uint32_t Holds() const { return holds; }
  Phase CurrentPhase() const { return phase; }

 private:
  // Five seconds of blocks at the shortest block (10 ms).
  static constexpr std::size_t kHistory = CursorLine::kCapacity;

  std::size_t BlocksIn(double seconds) const;
  // Readings the cursors' lines are taken over.
  std::size_t LineReadings() const;
  void RestartLines();
  // Holds the play and write lines on their hulls where the readings' place
  // in the play cursor's period has swept it often enough.
  void HoldPlayLines(double seconds);
  // Notes the cursors against the steady clock; returns the play cursor's
  // drop measured with this block, in samples, or 0. Starts the lines
  // afresh after a gap the ring cannot tell apart, and says so in `restarted`.
  double NoteCursors(const Block& block, bool& restarted);
  // The write cursor's lead over the play cursor in this block's readings,
  // in samples.
  double WriteLead(const Block& block) const;
  // The on-time lead the stream would have at `position`.
  double OnTimeLead(std::uint32_t position, const Block& block) const;
  // The on-time lead held.
  double HeldLead() const;
  // Notes what this block needs to land past the write cursor; true when
  // the lead held went down by more than the margin.
  bool NoteNeed(const Block& block);
  // Enters Recovering from `seconds` on.
  void Recover(double seconds);
  // Takes a measured drop of the play cursor, in samples.
  void TakeDrop(double drop, double seconds);
  // Puts the block's first sample where it has the lead held, or past the
  // write cursor when that is further; `dropBehind` drops what the jump
  // leaves behind its time.
  void Seat(const Block& block, bool dropBehind);
  // Seats the first block, and the stream afresh after a gap the ring cannot
  // tell apart or when it ran away; keeps it past the write cursor. True
  // when the stream jumped.
  bool KeepPastWriteCursor(const Block& block, bool restarted);
  // In a quiet block: moves the stream to the lead held when the phase
  // calls for it, setting the samples of the block to leave out.
  void MoveInQuietBlock(std::uint32_t& skip);
  // Moves the stream, a block at most, towards a lead `error` samples
  // shorter; sets the samples to leave out of this block and returns the
  // samples the stream moved later (negative: earlier).
  double Move(double error, std::uint32_t& skip);
  std::uint32_t WrapBytes(std::int64_t offset) const;

  std::uint32_t ringBytes;
  std::uint32_t sampleRate;
  Phase phase = Phase::Unseated;
  double recoverUntil = 0.0;  // the end of Recovering, on the steady clock
  std::uint32_t writePosition = 0;
  std::uint32_t blockSamples = 1;
  std::uint32_t underruns = 0;
  std::uint32_t moves = 0;
  std::uint32_t captureSteps = 0;
  std::uint32_t holds = 0;
  // Samples of the stream that a jump put behind their time, still to be
  // left out of the blocks that follow it.
  std::uint32_t lateSamplesToDrop = 0;
  std::size_t farAheadBlocks = 0;  // consecutive blocks a nominal lead beyond the lead held
  bool cutLastBlock = false;       // the previous block found the stream behind the write cursor

  CursorLine play;
  CursorLine write;    // the write cursor, unwrapped as the play cursor plus its lead
  CursorLine capture;  // samples captured up to the end of each block, plus its lateness
  double captureCount = 0.0;
  double lastSeconds = 0.0;
  double heldReached = 0.0;  // seconds at which the play line last came up to its hull
  StallDetector stalls;
  // In Learning: the sound's slip at a stall, to be moved back.
  double slipToMove = 0.0;

  // Per block: what the resampler held and how long the block waited, in
  // samples; the lead held allows for all but the latest twentieth.
  RingHistory<float, kHistory> lateness;
  double blockNeed = 0.0;  // the on-time lead this block needs to land past the write cursor (line or reading) by the margin
  double heldNeed = 0.0;   // what nearly every block needs: follows rises at once, falls beyond the margin
  double allowedNeed = 0.0;  // the held need before this block: a block that needs more came late
  // Per block since the seat: the on-time lead it was placed at.
  RingHistory<float, kHistory> notes;
  double reportedLead = 0.0;  // the last second's notes
  LeadController controller;
};
