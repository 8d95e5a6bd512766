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
// leaves the heard delay alone. The stream is re-seated only when its place
// has fallen behind the device's write cursor (a real underrun), or has
// stayed a whole nominal lead beyond the lead it is held at for a second,
// and then to the place it is held at or the write cursor, whichever is
// later.
//
// Capture and playback clocks run apart by some parts per million. With
// every block the scheduler notes the block's on-time lead (the lead it has
// plus its lateness) and averages the notes of the last ten seconds: Wine's
// cursors wander by up to 10 ms over seconds, which a shorter average would
// take for drift. Wine also re-estimates its play cursor now and then, a
// step of 10 to 20 ms at once while the sound goes on where it was: such a
// step moves the notes and the reference with it rather than the stream.
// The average the stream had over its first ten seconds is its reference,
// and the resampling step handed out steers the average back to it, never
// more than kMaxCorrection away from 1, so the correction cannot be heard.
//
// Positions are byte offsets into a ring of 16-bit samples; leads are in
// samples. A value type with fixed storage: no allocation, no lock.
class StreamScheduler {
 public:
  static constexpr double kMaxCorrection = 0.002;

  StreamScheduler(std::uint32_t ringBytes, std::uint32_t sampleRate);

  struct Placement {
    std::uint32_t writePosition;  // ring offset of the first output sample of this block
    bool reseated;                // the running stream jumped here: fade in from what was held
    double step;                  // input samples per output sample for this block
  };

  // Decides where this block's output goes. play and write are the device's
  // cursors, blockSamples the captured block's length, lateSamples how much
  // more the capture device had captured when the block was handed over,
  // pendingSamples what the resampler still holds of earlier blocks.
  Placement Place(std::uint32_t play, std::uint32_t write, std::uint32_t blockSamples, std::uint32_t lateSamples,
                  double pendingSamples);

  // After the block's output has been written at the placement: the stream
  // continues `outputSamples` further on.
  void Advance(std::uint32_t outputSamples);

  // Delay the stream is held at, beyond the routing: the averaged on-time
  // lead plus the block being captured, in milliseconds (truncated); 0
  // before the first block.
  std::uint32_t HeardDelayMs() const;

  // Times the stream was re-seated after the first placement.
  std::uint32_t Reseats() const { return reseats; }

 private:
  // Ten seconds of notes at the shortest block (10 ms).
  static constexpr std::size_t kHistory = 1024;

  // Blocks in `seconds`, at most the history.
  std::size_t BlocksIn(double seconds) const;
  // Moves the notes and the reference with a step of the play cursor.
  void AbsorbCursorStep();
  // Mean of the middle half of the most recent `count` notes, leaving out
  // the `skip` newest.
  double AverageOnTimeLead(std::size_t count, std::size_t skip = 0) const;
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
  std::size_t farAheadBlocks = 0;  // consecutive blocks a whole nominal lead beyond the reference
  // The on-time lead to hold, once a window has been seen since the seat.
  double reference = 0.0;
  bool referenceSet = false;
  double heldLead = 0.0;  // the last average of the notes, less the cursor's steps
  double cursorShift = 0.0;  // the play cursor's steps absorbed so far, in samples
  // Means of the notes of the last two whole seconds since the seat or the
  // last step, older first.
  std::array<double, 2> segmentMeans{};
  std::size_t segments = 0;
  std::size_t segmentBlocks = 0;
  // A step seen and waiting for seconds at its new level, and the notes'
  // level before it.
  bool stepPending = false;
  double stepBaseline = 0.0;
  std::size_t stepBlocks = 0;
  double drift = 0.0;  // integral part of the correction: the clocks' learned ratio
  // Notes of on-time leads since the seat, newest at next - 1.
  std::array<float, kHistory> onTimeLeads{};
  std::size_t observed = 0;  // notes kept, up to kHistory
  std::size_t next = 0;
};
