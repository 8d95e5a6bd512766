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
#include "engine/CursorLine.h"
#include "engine/PcmFormat.h"

// Calibration path through the same devices as the engine, the way the
// engine uses them: the same format, looping buffers, and a capture buffer
// of 16 segments of 10 ms whose position notifications wake the copying
// thread. Every chunk is appended to the playback ring right after the
// previous one, starting at the write cursor, so the heard lag stays
// constant: the routing's own latency (capture, including the platform's
// capture period, and playback) plus the lead of the stream over the play
// cursor, which is recorded: routing latency = heard lag - LeadMs().
// A chunk's first sample waited one capture period before DirectSound handed
// the chunk over; a program that places samples by their capture time (as the
// engine does) does not wait it, so its heard lag lies one CapturePeriodMs()
// below that routing.
//
// Wine moves the play cursor in 10 ms periods, and the thread, woken by the
// capture, reads it at one point of the mixer's period for a whole run: a
// lead read at the writes is off by where that point is, different at every
// start. The lead is therefore taken against play cursor readings spread
// over the period (between the notifications), as a reading at a random
// point would show it on average, the convention the engine holds its delay
// in. When Wine's mixer stalls, the play cursor stands still and the sound
// comes out later from then on: the lead is measured up to that first slip,
// and goes with the lag heard before it.
class CDirectSoundPassthrough {
 public:
  // Opens both default devices; throws std::runtime_error on failure.
  CDirectSoundPassthrough();
  CDirectSoundPassthrough(const CDirectSoundPassthrough&) = delete;
  CDirectSoundPassthrough& operator=(const CDirectSoundPassthrough&) = delete;
  ~CDirectSoundPassthrough();

  void Start();
  void Stop();

  // Whether captured data has been forwarded.
  bool Started() const noexcept { return started.load(); }
  // After Stop(): the stream's mean lead over the play cursor until the
  // output first slipped, in milliseconds.
  double LeadMs() const noexcept;
  // After Stop(): seconds from the first write to the output's first slip,
  // or to the last write when it never slipped.
  double SteadySeconds() const noexcept { return steadySeconds; }
  // After Stop(): whether the output slipped during the run.
  bool Slipped() const noexcept { return slipped; }
  // Mean size of the chunks DirectSound handed over, in milliseconds.
  double CapturePeriodMs() const noexcept {
    const DWORD count = chunks.load();
    return count == 0 ? 0.0 : chunkBytes.load() * 1000.0 / kBytesPerSecond / count;
  }

 private:
  void Run() noexcept;
  void Forward(DWORD from, DWORD bytes);
  // Notes the play cursor against the performance counter; from the first
  // reading that shows the mixer stood still, nothing more is noted.
  void NotePlayCursor(DWORD play, bool atWrite);
  double SecondsSinceStart() const noexcept;

  static constexpr DWORD kSampleRate = PcmFormat::kSamplesPerSecond;  // the engine's format
  static constexpr DWORD kBytesPerSecond = PcmFormat::kBytesPerSecond;
  static constexpr DWORD kSegments = 16;
  static constexpr DWORD kSegmentBytes = 440;  // 10 ms in whole samples
  static constexpr DWORD kCaptureBytes = kSegments * kSegmentBytes;
  static constexpr DWORD kPlaybackBytes = 4 * kBytesPerSecond;
  // A reading this far below the play cursor's steady line: the mixer
  // stood still.
  static constexpr double kSlipSeconds = 0.015;
  // Wine's mixer may stand still while it starts: a slip within this long
  // of the first write restarts the measurement instead.
  static constexpr double kSettleSeconds = 1.0;

  ComPtr<IDirectSoundCapture> captureDevice;
  ComPtr<IDirectSoundCaptureBuffer> captureBuffer;
  ComPtr<IDirectSound> playbackDevice;
  ComPtr<IDirectSoundBuffer> playbackBuffer;
  std::array<UniqueHandle, kSegments> segmentEvents;
  UniqueHandle stopEvent;
  std::thread worker;
  std::atomic<bool> started{false};
  std::atomic<DWORD> chunks{0};
  std::atomic<DWORD> chunkBytes{0};
  DWORD readPosition = 0;
  DWORD writePosition = 0;

  // The stream and the play cursor against the performance counter since
  // the first write, in samples: position (unwrapped from the play cursor's
  // first reading) less the samples the counter's time is worth. The play
  // cursor's line is the engine's, over every reading of the run.
  LARGE_INTEGER firstCount{};
  LARGE_INTEGER countsPerSecond{};
  std::uint64_t written = 0;  // stream's next write, in bytes
  CursorLine playLine;
  bool slipped = false;
  double streamOffsetSum = 0.0;  // at the writes
  std::uint32_t streamOffsets = 0;
  double playOffsetSum = 0.0;    // between the writes
  std::uint32_t playOffsets = 0;
  double steadySeconds = 0.0;
};
