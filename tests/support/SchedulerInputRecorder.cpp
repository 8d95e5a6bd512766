#include "support/SchedulerInputRecorder.h"

#include <windows.h>

#include <dsound.h>

#include <algorithm>
#include <cstdlib>

#include "engine/DeviceFactory.h"
#include "engine/DriftResampler.h"
#include "support/ForwardingDevices.h"

namespace {

// The player's own bound for a quiet block: about -40 dBFS.
constexpr int kQuietPeak = 328;

// What the wrappers note; touched by the listener's thread alone while the
// engine runs, read by the recorder's owner once it has stopped.
struct Notes {
  std::vector<SchedulerInputRecorder::Observed> rows;
  std::size_t capacity = 0;
  SchedulerInputRecorder::Starving starving;
  DeviceFactory beneath{};
  double lastStarved = 0.0;
  // The block being handed over.
  SchedulerInputRecorder::Observed current{};
  DWORD captureReadable = 0;
  bool cursorsRead = false;
  int playbackLocks = 0;
  DWORD firstLockOffset = 0;
  DWORD firstLockBytes = 0;
};

Notes notes;

DeviceFactory Beneath() { return notes.beneath; }

// The engine's capture buffer: the listener's cursor read and the block's lock.
class NotingCaptureBuffer final : public ForwardingCaptureBuffer {
 public:
  explicit NotingCaptureBuffer(IDirectSoundCaptureBuffer* platform) : ForwardingCaptureBuffer(platform) {}

  // The listener reads how far capture has gone before it locks a block.
  HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD capture, LPDWORD read) override {
    const bool blockRead = capture == nullptr && read != nullptr;
    if (blockRead && notes.starving.everySeconds > 0) {
      const double now = DeviceClockSeconds();
      if (now - notes.lastStarved >= notes.starving.everySeconds) {
        Sleep(static_cast<DWORD>(notes.starving.seconds * 1000.0));
        notes.lastStarved = now;
      }
    }
    const HRESULT hr = inner->GetCurrentPosition(capture, read);
    if (blockRead && SUCCEEDED(hr)) notes.captureReadable = *read;
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Lock(DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes, LPVOID* second,
                                 LPDWORD secondBytes, DWORD flags) override {
    const HRESULT hr = inner->Lock(offset, bytes, first, firstBytes, second, secondBytes, flags);
    if (SUCCEEDED(hr) && firstBytes != nullptr && ringBytes > 0) {
      // As the listener works it out: captured past the block's end.
      const DWORD end = (offset + bytes) % ringBytes;
      const DWORD late = notes.captureReadable < ringBytes ? (notes.captureReadable + ringBytes - end) % ringBytes : 0;
      notes.current = {};
      notes.current.block.samples = std::min<DWORD>(*firstBytes / 2, DriftResampler::kMaxBlockSamples);
      notes.current.block.lateSamples = late / 2;
      notes.cursorsRead = false;
      notes.playbackLocks = 0;
    }
    return hr;
  }

  // The player is done with the block: its samples are as it judged them.
  HRESULT STDMETHODCALLTYPE Unlock(LPVOID first, DWORD firstBytes, LPVOID second, DWORD secondBytes) override {
    if (notes.cursorsRead && first != nullptr && notes.rows.size() < notes.capacity) {
      SchedulerInputRecorder::Observed& o = notes.current;
      const auto* samples = static_cast<const std::int16_t*>(first);
      o.block.quiet = std::all_of(samples, samples + std::min<DWORD>(o.block.samples, firstBytes / 2),
                                  [](std::int16_t s) { return std::abs(s) <= kQuietPeak; });
      // The output's lock comes first; without output only the held
      // level's lock follows the block's place.
      o.placedAt = notes.firstLockOffset;
      o.produced = notes.playbackLocks >= 2 ? notes.firstLockBytes / 2 : 0;
      notes.rows.push_back(o);
    }
    notes.cursorsRead = false;
    return inner->Unlock(first, firstBytes, second, secondBytes);
  }

};

// The engine's playback ring: the two cursor reads and the locks behind them.
class NotingPlaybackBuffer final : public ForwardingSoundBuffer {
 public:
  explicit NotingPlaybackBuffer(IDirectSoundBuffer* platform) : ForwardingSoundBuffer(platform) {}

  // The player reads the play cursor alone, then the write cursor alone,
  // and the device clock right after.
  HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD play, LPDWORD write) override {
    const HRESULT hr = inner->GetCurrentPosition(play, write);
    if (FAILED(hr)) return hr;
    if (play != nullptr && write == nullptr) notes.current.block.play = *play;
    if (play == nullptr && write != nullptr) {
      notes.current.block.write = *write;
      notes.current.block.seconds = DeviceClockSeconds();
      notes.cursorsRead = true;
      notes.playbackLocks = 0;
    }
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Lock(DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes, LPVOID* second,
                                 LPDWORD secondBytes, DWORD flags) override {
    if (notes.cursorsRead && notes.playbackLocks++ == 0) {
      notes.firstLockOffset = offset;
      notes.firstLockBytes = bytes;
    }
    return inner->Lock(offset, bytes, first, firstBytes, second, secondBytes, flags);
  }
};

}  // namespace

SchedulerInputRecorder::SchedulerInputRecorder(std::size_t capacity, Starving starving, DeviceFactory beneath) {
  notes.rows.clear();
  notes.rows.reserve(capacity);
  notes.capacity = capacity;
  notes.starving = starving;
  notes.beneath = beneath;
  notes.lastStarved = DeviceClockSeconds();
  SetDeviceFactory(
      {CreateWrappingPlayback<NotingPlaybackBuffer, Beneath>, CreateWrappingCapture<NotingCaptureBuffer, Beneath>, nullptr});
}

SchedulerInputRecorder::~SchedulerInputRecorder() { ResetDeviceFactory(); }

std::vector<SchedulerInputRecorder::Observed> SchedulerInputRecorder::Take() {
  std::vector<Observed> taken;
  taken.swap(notes.rows);
  notes.rows.reserve(notes.capacity);
  return taken;
}
