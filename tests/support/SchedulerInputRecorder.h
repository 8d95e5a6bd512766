#pragma once

// Records, from outside the engine, what its stream scheduler is given for
// each captured block. While a SchedulerInputRecorder lives, the engine's
// capture and playback devices come from the platform through the device
// seam (or from those given), wrapped: the capture buffer's wrapper sees the listener read the
// capture cursor, lock the block and unlock it once the player is done
// with it (the samples as the player judged them, after the shift); the
// playback buffer's wrapper sees the player read the play cursor and then
// the write cursor (the steady clock is read with it, as the player does)
// and lock the ring where the scheduler placed the block. Nothing of the
// engine changes; the wrappers only pass calls on and note them, into
// storage reserved beforehand.
//
// What the engine's resampler holds (a scheduler input too) is not shown
// by any device call: a replay of the recorded inputs computes it, and the
// placements noted here show whether that replay followed the engine.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/DeviceFactory.h"
#include "engine/StreamScheduler.h"

class SchedulerInputRecorder {
 public:
  // Optionally starves the listener: before its cursor read, every
  // `starveEverySeconds` it sleeps `starveSeconds` (0: never).
  struct Starving {
    double everySeconds = 0.0;
    double seconds = 0.0;
  };

  // One block as the devices saw it.
  struct Observed {
    StreamScheduler::Block block;  // pendingSamples left 0
    std::uint32_t placedAt;        // where the player wrote the block's output, a byte offset
    std::uint32_t produced;        // output samples written there
  };

  // Room for `capacity` blocks; more are not noted. The devices wrapped
  // come from `beneath`.
  SchedulerInputRecorder(std::size_t capacity, Starving starving, DeviceFactory beneath = DefaultDeviceFactory());
  SchedulerInputRecorder(const SchedulerInputRecorder&) = delete;
  SchedulerInputRecorder& operator=(const SchedulerInputRecorder&) = delete;
  // The platform's devices again, for devices created from now on.
  ~SchedulerInputRecorder();

  // The blocks noted since construction or the last Take; call while no
  // block is handed over (the engine stopped).
  std::vector<Observed> Take();
};
