#pragma once

#include <array>
#include <cstdint>

#include "engine/PitchShifter.h"
#include "common/ShiftMethod.h"

// Frequency factor of a shift in steps: 1 + 0.05 n above zero (up to 1.5),
// 1 + 0.025 n at or below zero (down to 0.75).
float PitchFactorFor(std::int32_t frequencyShift);

// The player's frequency-shift stage: rewrites each captured block in place
// before it is played, by the phase vocoder or by resampling the block on its
// own. Owned by the player; the factor is fixed for the player's life and
// the float scratch is part of the stage, so shifting a block allocates
// nothing. The phase vocoder's stream outlives the stage: by default it is
// the process's one stream, which every player feeds in turn.
class ShiftStage {
 public:
  // The longest block shifted in one piece, in samples: a capture segment
  // at the longest delay (a quarter of 220 ms at 22050 Hz, 1213 samples)
  // fits with room to spare.
  static constexpr std::uint32_t kMaxBlockSamples = 2048;

  explicit ShiftStage(std::int32_t frequencyShift, PitchShifter& vocoder = PitchShifter::Shared());

  float GetPitchFactor() const noexcept { return pitchFactor; }

  // The caller passes the manager's current shift and method, read per block.
  // Shift 0 leaves the block untouched. A block longer than
  // kMaxBlockSamples is shifted in consecutive parts of that length, each
  // resampled as a block of its own.
  void ShiftBlock(void* block, std::uint32_t bytes, std::int32_t frequencyShift,
                  ShiftMethod method) noexcept;

 private:
  // count is at most kMaxBlockSamples.
  void ShiftByPhaseVocoder(std::int16_t* samples, std::uint32_t count) noexcept;
  void ShiftByResampling(std::int16_t* samples, std::uint32_t count) noexcept;
  // Converts the samples into the scratch.
  float* LoadScratch(const std::int16_t* samples, std::uint32_t count) noexcept;

  float pitchFactor;
  PitchShifter& vocoder;
  std::array<float, kMaxBlockSamples> scratch{};
};
