#include "engine/DeviceFactory.h"

#include <atomic>

namespace {

using PlaybackCreator = decltype(DeviceFactory::createPlayback);
using CaptureCreator = decltype(DeviceFactory::createCapture);

std::atomic<PlaybackCreator> playbackCreator{&DirectSoundCreate};
std::atomic<CaptureCreator> captureCreator{&DirectSoundCaptureCreate};

}  // namespace

DeviceFactory DefaultDeviceFactory() noexcept { return DeviceFactory{&DirectSoundCreate, &DirectSoundCaptureCreate}; }

void SetDeviceFactory(const DeviceFactory& factory) noexcept {
  playbackCreator.store(factory.createPlayback != nullptr ? factory.createPlayback : &DirectSoundCreate);
  captureCreator.store(factory.createCapture != nullptr ? factory.createCapture : &DirectSoundCaptureCreate);
}

void ResetDeviceFactory() noexcept { SetDeviceFactory(DefaultDeviceFactory()); }

HRESULT CreatePlaybackDevice(LPDIRECTSOUND* created) noexcept { return playbackCreator.load()(nullptr, created, nullptr); }

HRESULT CreateCaptureDevice(LPDIRECTSOUNDCAPTURE* created) noexcept { return captureCreator.load()(nullptr, created, nullptr); }
