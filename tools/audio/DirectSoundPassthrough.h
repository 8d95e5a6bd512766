#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <thread>

#include "common/ComPtr.h"
#include "common/UniqueHandle.h"

// Calibration path through the same devices as the engine, the way the
// engine uses them: the same format, looping buffers, and a capture buffer
// of 16 segments of 10 ms whose position notifications wake the copying
// thread. Every chunk is appended to the playback ring right after the
// previous one, starting at the write cursor, so the heard lag stays
// constant: the routing's own latency (capture, including the platform's
// capture period, and playback) plus the lead of the first write over the
// play cursor, which is recorded: routing latency = heard lag - LeadMs().
// A chunk's first sample waited one capture period before DirectSound handed
// the chunk over; a program that places samples by their capture time (as the
// engine does) does not wait it, so its heard lag lies one CapturePeriodMs()
// below that routing.
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
  // Mean distance of each write ahead of the play cursor, in milliseconds.
  double LeadMs() const noexcept {
    const DWORD count = chunks.load();
    return count == 0 ? 0.0 : leadByteSum.load() * 1000.0 / kBytesPerSecond / count;
  }
  // Mean size of the chunks DirectSound handed over, in milliseconds.
  double CapturePeriodMs() const noexcept {
    const DWORD count = chunks.load();
    return count == 0 ? 0.0 : chunkBytes.load() * 1000.0 / kBytesPerSecond / count;
  }

 private:
  void Run() noexcept;
  void Forward(DWORD from, DWORD bytes);

  static constexpr DWORD kBytesPerSecond = 44100;  // 22050 Hz, 16-bit mono
  static constexpr DWORD kSegments = 16;
  static constexpr DWORD kSegmentBytes = 440;  // 10 ms in whole samples
  static constexpr DWORD kCaptureBytes = kSegments * kSegmentBytes;
  static constexpr DWORD kPlaybackBytes = 4 * kBytesPerSecond;

  ComPtr<IDirectSoundCapture> captureDevice;
  ComPtr<IDirectSoundCaptureBuffer> captureBuffer;
  ComPtr<IDirectSound> playbackDevice;
  ComPtr<IDirectSoundBuffer> playbackBuffer;
  std::array<UniqueHandle, kSegments> segmentEvents;
  UniqueHandle stopEvent;
  std::thread worker;
  std::atomic<bool> started{false};
  std::atomic<std::uint64_t> leadByteSum{0};
  std::atomic<DWORD> chunks{0};
  std::atomic<DWORD> chunkBytes{0};
  DWORD readPosition = 0;
  DWORD writePosition = 0;
};
