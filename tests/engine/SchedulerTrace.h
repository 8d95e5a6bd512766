#pragma once

// A recorded stream of the stream scheduler's inputs, one line per captured
// block, and its replay through the scheduler and the resampler.
//
// File format: lines starting with '#' describe the recording; then one
// line "ring_bytes <bytes> sample_rate <Hz>", one line naming the columns
// (kTraceColumns) and one line per block:
//   seconds   when the cursors were read, on the steady clock, from the first block
//   play      the play cursor, a byte offset into the ring
//   write     the write cursor, a byte offset into the ring
//   samples   the block's length
//   late      samples captured past the block's end when it was handed over
//   pending   samples the engine's resampler still held of earlier blocks
//   quiet     1 when nothing in the block would be heard

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "engine/StreamScheduler.h"

inline constexpr const char* kTraceColumns = "seconds play write samples late pending quiet";

struct SchedulerTrace {
  std::string description;  // the '#' lines, without their '#'
  std::uint32_t ringBytes = 0;
  std::uint32_t sampleRate = 0;
  std::vector<StreamScheduler::Block> blocks;
};

// Throws std::runtime_error naming the line that does not parse.
SchedulerTrace ReadSchedulerTrace(std::istream& in);
SchedulerTrace ReadSchedulerTrace(const std::string& path);
void WriteSchedulerTrace(std::ostream& out, const SchedulerTrace& trace);

// What the scheduler made of one block of a replay.
struct ReplayedBlock {
  StreamScheduler::Block input;  // the trace's block, with the replay's own resampler's pending samples
  StreamScheduler::Placement placement;
  std::uint32_t produced;  // output samples
  std::uint32_t heardDelayMs;
  std::uint32_t counted;  // underruns and quiet-block moves counted so far
  std::uint32_t stalls;   // stalls counted so far
  std::uint32_t captureSteps;  // steps ahead of the capture device counted so far
  std::uint32_t holds;         // times the play line was held on its hull so far
};

// Replays the trace's blocks, in order, through a fresh scheduler and
// resampler as the player drives them: the recorded cursors and clock go in
// as they are (the device's cursors do not depend on where the stream was
// written), the pending samples come from the replay's resampler, which
// takes the steps the scheduler hands out. Deterministic.
std::vector<ReplayedBlock> ReplaySchedulerTrace(const SchedulerTrace& trace);
