#include "engine/DeviceFactory.h"

#include <atomic>

namespace {

using PlaybackCreator = decltype(DeviceFactory::createPlayback);
using CaptureCreator = decltype(DeviceFactory::createCapture);
using Clock = decltype(DeviceFactory::clockSeconds);

double CounterSeconds() noexcept {
  LARGE_INTEGER now{};
  LARGE_INTEGER frequency{};
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart > 0 ? static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart) : 0.0;
}

std::atomic<PlaybackCreator> playbackCreator{&DirectSoundCreate};
std::atomic<CaptureCreator> captureCreator{&DirectSoundCaptureCreate};
std::atomic<Clock> clock{&CounterSeconds};

}  // namespace

DeviceFactory DefaultDeviceFactory() noexcept {
  return DeviceFactory{&DirectSoundCreate, &DirectSoundCaptureCreate, &CounterSeconds};
}

void SetDeviceFactory(const DeviceFactory& factory) noexcept {
  playbackCreator.store(factory.createPlayback != nullptr ? factory.createPlayback : &DirectSoundCreate);
  captureCreator.store(factory.createCapture != nullptr ? factory.createCapture : &DirectSoundCaptureCreate);
  clock.store(factory.clockSeconds != nullptr ? factory.clockSeconds : &CounterSeconds);
}

void ResetDeviceFactory() noexcept { SetDeviceFactory(DefaultDeviceFactory()); }

HRESULT CreatePlaybackDevice(LPDIRECTSOUND* created) noexcept { return playbackCreator.load()(nullptr, created, nullptr); }

HRESULT CreateCaptureDevice(LPDIRECTSOUNDCAPTURE* created) noexcept { return captureCreator.load()(nullptr, created, nullptr); }

double DeviceClockSeconds() noexcept { return clock.load()(); }
