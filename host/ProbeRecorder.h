#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/ComPtr.h"

// Plays a probe once on the default output through DirectSound while
// recording the default input, and says where the recording would hold the
// probe's first sample if the devices took no time: both cursors are read
// together every few milliseconds while the probe plays, and their mean
// distance carries a sample of the output buffer over to the recording's
// clock. What the host's own buffers add is thereby taken out; what remains
// of the probe's lag is the devices' latency (and the loopback's).
class ProbeRecorder {
 public:
  struct Take {
    std::vector<std::int16_t> recording;
    std::size_t expectedAt = 0;
  };

  // Opens both default devices at the probe's rate (16-bit mono); throws
  // HostError when either cannot be opened.
  ProbeRecorder();

  // Plays `probe` after a short silence and records until `tailMs` after
  // its end. `progress` gets the share done, 0..1. Throws HostError when a
  // device fails or the input delivers nothing for a second.
  Take Record(const std::vector<std::int16_t>& probe, double tailMs, const std::function<void(double)>& progress);

 private:
  ComPtr<IDirectSoundCapture> captureDevice;
  ComPtr<IDirectSoundCaptureBuffer> captureBuffer;
  ComPtr<IDirectSound> playbackDevice;
};
