#pragma once

#include <cstdint>
#include <memory>

#include "engine/PitchShifter.h"
#include "common/ShiftMethod.h"

// Frequency factor of a shift in steps: 1 + 0.05 n above zero (up to 1.5),
// 1 + 0.025 n at or below zero (down to 0.75).
float PitchFactorFor(std::int32_t frequencyShift);

// The player's frequency-shift stage: rewrites each captured block in place
// before it is played, by the phase vocoder or by resampling the block on its
// own. Owned by the player; the factor is fixed for the player's life, the
// float scratch is allocated on the first shifted block and reused
// afterwards. The phase vocoder's stream outlives the stage: by default it is
// the process's one stream, which every player feeds in turn.
class ShiftStage {
 public:
  explicit ShiftStage(std::int32_t frequencyShift, PitchShifter& vocoder = PitchShifter::Shared());

  float GetPitchFactor() const noexcept { return pitchFactor; }

  // The caller passes the manager's current shift and method, read per block.
  // Shift 0 leaves the block untouched. May throw std::bad_alloc on the block
  // that allocates the scratch.
  void ShiftBlock(void* block, std::uint32_t bytes, std::int32_t frequencyShift,
                  ShiftMethod method);

 private:
  void ShiftByPhaseVocoder(std::int16_t* samples, std::uint32_t count);
  void ShiftByResampling(std::int16_t* samples, std::uint32_t count);
  // Converts the block into the scratch, allocating it first when needed.
  float* LoadScratch(const std::int16_t* samples, std::uint32_t count);

  float pitchFactor;
  PitchShifter& vocoder;
  bool scratchReady = false;
  std::uint32_t scratchCapacity = 0;
  std::unique_ptr<float[]> scratch;
};
