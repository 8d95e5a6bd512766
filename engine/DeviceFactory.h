#pragma once

#include <windows.h>

#include <dsound.h>

// How the engine obtains its two DirectSound devices, and the clock their
// cursors move by. By default these are the platform's DirectSoundCreate and
// DirectSoundCaptureCreate and the performance counter; tests install
// creation functions that hand out scripted devices, and a device that plays
// by a simulated clock comes with that clock. Nothing else of the engine is
// replaceable.
struct DeviceFactory {
  HRESULT(WINAPI* createPlayback)(LPCGUID device, LPDIRECTSOUND* created, LPUNKNOWN outer);
  HRESULT(WINAPI* createCapture)(LPCGUID device, LPDIRECTSOUNDCAPTURE* created, LPUNKNOWN outer);
  // Seconds since an arbitrary origin; never goes back.
  double (*clockSeconds)() noexcept;
};

// The platform's creation functions.
DeviceFactory DefaultDeviceFactory() noexcept;
// Replaces the creation functions for devices created from now on, and the
// clock; a null member keeps the platform's function.
void SetDeviceFactory(const DeviceFactory& factory) noexcept;
void ResetDeviceFactory() noexcept;

// Create the default playback or capture device, without aggregation,
// through the installed functions.
HRESULT CreatePlaybackDevice(LPDIRECTSOUND* created) noexcept;
HRESULT CreateCaptureDevice(LPDIRECTSOUNDCAPTURE* created) noexcept;

// Now, on the installed clock.
double DeviceClockSeconds() noexcept;
