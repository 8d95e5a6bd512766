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
// so the heard lag stays constant: the routing's own latency (capture,
// including the platform's capture period, and playback) plus the lead of
// the first write over the play cursor, which is recorded:
// routing latency = heard lag - LeadMs(). A chunk's first sample waited one
// capture period before DirectSound handed the chunk over; a program that
// places samples by their capture time (as the engine does) does not wait
// it, so its heard lag lies one CapturePeriodMs() below that routing.
class CDirectSoundPassthrough {
 public:
  // Opens both default devices; throws std::runtime_error on failure.
  CDirectSoundPassthrough();
  CDirectSoundPassthrough(const CDirectSoundPassthrough&) = delete;
  CDirectSoundPassthrough& operator=(const CDirectSoundPassthrough&) = delete;
  ~CDirectSoundPassthrough();

  void Start();
  void Stop();

  // Whether captured data has been forwarded; LeadMs is valid from then on.
  bool Started() const noexcept { return started.load(); }
  double LeadMs() const noexcept { return leadBytes.load() * 1000.0 / kBytesPerSecond; }
  // Mean size of the chunks DirectSound handed over, in milliseconds.
  double CapturePeriodMs() const noexcept {
    const DWORD count = chunks.load();
    return count == 0 ? 0.0 : chunkBytes.load() * 1000.0 / kBytesPerSecond / count;
  }

 private:
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
  std::atomic<bool> started{false};
  std::atomic<DWORD> leadBytes{0};
  std::atomic<DWORD> chunks{0};
  std::atomic<DWORD> chunkBytes{0};
  DWORD readPosition = 0;
  DWORD writePosition = 0;
};
