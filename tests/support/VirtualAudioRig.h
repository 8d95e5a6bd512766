#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/ComPtr.h"
#include "tools/audio/WavFile.h"

// Plays a signal into the PulseAudio fixture's virtual microphone and records
// the fixture's stereo mix (left: what the microphone carries, right: what
// reaches the speaker) through DirectSound devices of its own, beside the
// default devices the engine opens. Both channels come from one sample clock,
// so the lag between them is the input-to-output delay.
class CVirtualAudioRig {
 public:
  static constexpr std::uint32_t kSampleRate = 22050;

  // Finds the fixture's devices by name; throws std::runtime_error when the
  // fixture is not running.
  CVirtualAudioRig();
  CVirtualAudioRig(const CVirtualAudioRig&) = delete;
  CVirtualAudioRig& operator=(const CVirtualAudioRig&) = delete;

  // Starts recording `recordSeconds` of the mix, then plays `signal`
  // (mono, kSampleRate) into the microphone. Returns at once.
  void Begin(const std::vector<std::int16_t>& signal, double recordSeconds);
  // Waits for the recording to fill, stops the playback and returns the mix.
  audio::WavData End();

 private:
  // Opens the mix's capture device and starts recording; false when no data
  // arrives within a second.
  bool StartRecording(const WAVEFORMATEX& format);

  GUID micGuid{};
  GUID mixGuid{};
  ComPtr<IDirectSound> micDevice;
  ComPtr<IDirectSoundBuffer> micBuffer;
  ComPtr<IDirectSoundCapture> mixDevice;
  ComPtr<IDirectSoundCaptureBuffer> mixBuffer;
  DWORD recordBytes = 0;
  double recordSeconds = 0;
};

// Writes a recording to $RYN_AUDIO_OUT/<name>.wav (a Linux folder) when that
// variable is set, so a failed run can be listened to.
void KeepRecording(const std::string& name, const audio::WavData& wav);

// Writes a soak session's record to $RYN_SOAK_OUT/<name> (a Linux folder)
// when that is set; the soak's report is drawn from these.
void KeepSoakRecord(const std::string& name, const std::string& text);
