#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/ComPtr.h"
#include "host/ComponentSession.h"

// Plays a probe on the default output through DirectSound while recording
// the default input, the way a feedback program streams: every chunk the
// input hands over is recorded, and as many samples of the probe's stream
// (silence, the probe, silence) are written right after the previous ones,
// starting a little beyond the output's write cursor. Stream sample j leaves
// when input sample j would in a pass-through, and the recording holds the
// probe's first sample at its stream index plus the round trip: the host's
// own buffering (the stream's lead over the play cursor and the input's
// chunk period, measured as the calibration pass-through measures them)
// and the devices' latency.
class ProbeRecorder {
 public:
  // A take the devices did not carry through: the input delivered nothing
  // for a second, or the output stalled past the stream. Taking it again
  // usually works.
  class Lost : public HostError {
   public:
    using HostError::HostError;
  };

  struct Take {
    std::vector<std::int16_t> recording;
    // Where the recording would hold the probe's first sample if the
    // devices took no time: its stream index plus the host's buffering.
    std::size_t expectedAt = 0;
  };

  // Opens both default devices at the probe's rate (16-bit mono); throws
  // HostError when either cannot be opened.
  ProbeRecorder();

  // Streams `probe` after a short silence and records until `tailMs` after
  // its end. `progress` gets the share done, 0..1. Throws HostError when a
  // device fails, and Lost when the input delivers nothing for a second or
  // the output overtook the stream (a stall).
  Take Record(const std::vector<std::int16_t>& probe, double tailMs, const std::function<void(double)>& progress);

 private:
  ComPtr<IDirectSoundCapture> captureDevice;
  ComPtr<IDirectSoundCaptureBuffer> captureBuffer;
  ComPtr<IDirectSound> playbackDevice;
};
