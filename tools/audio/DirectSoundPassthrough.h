#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include <atomic>
#include <thread>

#include "engine/ComPtr.h"

// Calibration path through the same devices as the engine: copies the
// default capture device to the default playback device as soon as
// DirectSound hands over captured data. Every chunk is appended to the
// playback ring right after the previous one, starting at the write cursor,
// so the heard lag stays constant: the routing's own latency, plus the lead
// of the first write over the play cursor and the length of the first chunk
// (its first sample waited that long). Both are recorded, so
// routing latency = heard lag - OwnDelayMs().
class CDirectSoundPassthrough {
 public:
  // Opens both default devices; throws std::runtime_error on failure.
  CDirectSoundPassthrough();
  CDirectSoundPassthrough(const CDirectSoundPassthrough&) = delete;
  CDirectSoundPassthrough& operator=(const CDirectSoundPassthrough&) = delete;
  ~CDirectSoundPassthrough();

  void Start();
  void Stop();

  // Valid once data has flowed (Started()).
  bool Started() const noexcept { return firstChunkBytes.load() != 0; }
  double FirstLeadMs() const noexcept { return BytesToMs(firstLeadBytes.load()); }
  double FirstChunkMs() const noexcept { return BytesToMs(firstChunkBytes.load()); }
  double OwnDelayMs() const noexcept { return FirstLeadMs() + FirstChunkMs(); }

 private:
  static double BytesToMs(DWORD bytes) noexcept { return bytes * 1000.0 / kBytesPerSecond; }
  void Run() noexcept;
  void Forward(DWORD from, DWORD bytes);

  static constexpr DWORD kBytesPerSecond = 44100;  // 22050 Hz, 16-bit mono
  static constexpr DWORD kCaptureBytes = kBytesPerSecond;
  static constexpr DWORD kPlaybackBytes = 4 * kBytesPerSecond;

  ComPtr<IDirectSoundCapture> captureDevice;
  ComPtr<IDirectSoundCaptureBuffer> captureBuffer;
  ComPtr<IDirectSound> playbackDevice;
  ComPtr<IDirectSoundBuffer> playbackBuffer;
  std::thread worker;
  std::atomic<bool> stopping{false};
  std::atomic<DWORD> firstLeadBytes{0};
  std::atomic<DWORD> firstChunkBytes{0};
  DWORD readPosition = 0;
  DWORD writePosition = 0;
};
