#pragma once

#include <windows.h>

#include <dsound.h>

// How the engine obtains its two DirectSound devices. By default these are
// the platform's DirectSoundCreate and DirectSoundCaptureCreate; tests install
// creation functions that hand out scripted devices. Nothing else of the
// engine is replaceable.
struct DeviceFactory {
  HRESULT(WINAPI* createPlayback)(LPCGUID device, LPDIRECTSOUND* created, LPUNKNOWN outer);
  HRESULT(WINAPI* createCapture)(LPCGUID device, LPDIRECTSOUNDCAPTURE* created, LPUNKNOWN outer);
};

// The platform's creation functions.
DeviceFactory DefaultDeviceFactory() noexcept;
// Replaces the creation functions for devices created from now on; a null
// member keeps the platform's function.
void SetDeviceFactory(const DeviceFactory& factory) noexcept;
void ResetDeviceFactory() noexcept;

// Create the default playback or capture device, without aggregation,
// through the installed functions.
HRESULT CreatePlaybackDevice(LPDIRECTSOUND* created) noexcept;
HRESULT CreateCaptureDevice(LPDIRECTSOUNDCAPTURE* created) noexcept;
