#pragma once

// Wrappers of the platform's DirectSound objects at the device seam, for
// test support that watches or changes what the engine's devices do. Each
// base passes every call on to the platform's object it owns; a wrapper
// derives from it and overrides only the calls it changes. The devices hand
// out their buffers wrapped in a given buffer wrapper, and the creation
// functions below install them through the engine's DeviceFactory.

#include <windows.h>

#include <dsound.h>

#include <atomic>

#include "common/ComPtr.h"
#include "engine/DeviceFactory.h"

// Reference counting and QueryInterface of a wrapper of the platform's
// `Interface`: the wrapper answers for IUnknown and `Interface`, the
// platform's object for everything else. Deletes itself with the last
// reference.
template <typename Interface>
class Forwarding : public Interface {
 public:
  Forwarding(const Forwarding&) = delete;
  Forwarding& operator=(const Forwarding&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid)) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(riid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references;
    if (left == 0) delete this;
    return left;
  }

 protected:
  // Takes over the caller's reference to `platform`.
  Forwarding(Interface* platform, REFIID iid) : inner(ComPtr<Interface>::Attach(platform)), iid(iid) {}
  virtual ~Forwarding() = default;

  ComPtr<Interface> inner;

 private:
  const IID& iid;
  std::atomic<ULONG> references{1};
};

// A buffer of the platform that passes on the calls playback and capture
// buffers share (`Caps` is the interface's caps record), and knows its ring's
// size.
template <typename Interface, typename Caps>
class ForwardingBuffer : public Forwarding<Interface> {
 public:
  HRESULT STDMETHODCALLTYPE GetCaps(Caps* caps) override { return this->inner->GetCaps(caps); }
  // `cursor` is where the device plays or captures, `safe` how far the ring
  // may be written or read.
  HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD cursor, LPDWORD safe) override {
    return this->inner->GetCurrentPosition(cursor, safe);
  }
  HRESULT STDMETHODCALLTYPE GetFormat(LPWAVEFORMATEX format, DWORD allocated, LPDWORD written) override {
    return this->inner->GetFormat(format, allocated, written);
  }
  HRESULT STDMETHODCALLTYPE GetStatus(LPDWORD status) override { return this->inner->GetStatus(status); }
  HRESULT STDMETHODCALLTYPE Lock(DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes, LPVOID* second,
                                 LPDWORD secondBytes, DWORD flags) override {
    return this->inner->Lock(offset, bytes, first, firstBytes, second, secondBytes, flags);
  }
  HRESULT STDMETHODCALLTYPE Stop() override { return this->inner->Stop(); }
  HRESULT STDMETHODCALLTYPE Unlock(LPVOID first, DWORD firstBytes, LPVOID second, DWORD secondBytes) override {
    return this->inner->Unlock(first, firstBytes, second, secondBytes);
  }

 protected:
  // Takes over the caller's reference to `platform`.
  ForwardingBuffer(Interface* platform, REFIID iid)
      : Forwarding<Interface>(platform, iid), ringBytes(BufferBytes(platform)) {}

  const DWORD ringBytes;  // the buffer's size, 0 when its caps are not known

 private:
  static DWORD BufferBytes(Interface* buffer) {
    Caps caps{};
    caps.dwSize = sizeof caps;
    return SUCCEEDED(buffer->GetCaps(&caps)) ? caps.dwBufferBytes : 0;
  }
};

// A playback buffer that passes every call on.
class ForwardingSoundBuffer : public ForwardingBuffer<IDirectSoundBuffer, DSBCAPS> {
 public:
  explicit ForwardingSoundBuffer(IDirectSoundBuffer* platform);

  HRESULT STDMETHODCALLTYPE GetVolume(LPLONG volume) override;
  HRESULT STDMETHODCALLTYPE GetPan(LPLONG pan) override;
  HRESULT STDMETHODCALLTYPE GetFrequency(LPDWORD frequency) override;
  HRESULT STDMETHODCALLTYPE Initialize(LPDIRECTSOUND device, LPCDSBUFFERDESC desc) override;
  HRESULT STDMETHODCALLTYPE Play(DWORD reserved, DWORD priority, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE SetCurrentPosition(DWORD position) override;
  HRESULT STDMETHODCALLTYPE SetFormat(LPCWAVEFORMATEX format) override;
  HRESULT STDMETHODCALLTYPE SetVolume(LONG volume) override;
  HRESULT STDMETHODCALLTYPE SetPan(LONG pan) override;
  HRESULT STDMETHODCALLTYPE SetFrequency(DWORD frequency) override;
  HRESULT STDMETHODCALLTYPE Restore() override;
};

// A capture buffer that passes every call on.
class ForwardingCaptureBuffer : public ForwardingBuffer<IDirectSoundCaptureBuffer, DSCBCAPS> {
 public:
  explicit ForwardingCaptureBuffer(IDirectSoundCaptureBuffer* platform);

  HRESULT STDMETHODCALLTYPE Initialize(LPDIRECTSOUNDCAPTURE device, LPCDSCBUFFERDESC desc) override;
  HRESULT STDMETHODCALLTYPE Start(DWORD flags) override;
};

// The platform's playback device, handing out its secondary buffers
// wrapped in `Buffer` (constructed from the platform's buffer); the primary
// buffer stays the platform's.
template <typename Buffer>
class WrappingSound final : public Forwarding<IDirectSound> {
 public:
  explicit WrappingSound(IDirectSound* platform) : Forwarding(platform, IID_IDirectSound) {}

  HRESULT STDMETHODCALLTYPE CreateSoundBuffer(LPCDSBUFFERDESC desc, LPLPDIRECTSOUNDBUFFER buffer,
                                              IUnknown* outer) override {
    const HRESULT hr = inner->CreateSoundBuffer(desc, buffer, outer);
    if (SUCCEEDED(hr) && buffer != nullptr && *buffer != nullptr && desc != nullptr &&
        (desc->dwFlags & DSBCAPS_PRIMARYBUFFER) == 0) {
      *buffer = new Buffer(*buffer);
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetCaps(LPDSCAPS caps) override { return inner->GetCaps(caps); }
  HRESULT STDMETHODCALLTYPE DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER original, LPLPDIRECTSOUNDBUFFER duplicate) override {
    return inner->DuplicateSoundBuffer(original, duplicate);
  }
  HRESULT STDMETHODCALLTYPE SetCooperativeLevel(HWND window, DWORD level) override {
    return inner->SetCooperativeLevel(window, level);
  }
  HRESULT STDMETHODCALLTYPE Compact() override { return inner->Compact(); }
  HRESULT STDMETHODCALLTYPE GetSpeakerConfig(LPDWORD config) override { return inner->GetSpeakerConfig(config); }
  HRESULT STDMETHODCALLTYPE SetSpeakerConfig(DWORD config) override { return inner->SetSpeakerConfig(config); }
  HRESULT STDMETHODCALLTYPE Initialize(LPCGUID device) override { return inner->Initialize(device); }
};

// The platform's capture device, handing out its buffers wrapped in `Buffer`.
template <typename Buffer>
class WrappingCapture final : public Forwarding<IDirectSoundCapture> {
 public:
  explicit WrappingCapture(IDirectSoundCapture* platform) : Forwarding(platform, IID_IDirectSoundCapture) {}

  HRESULT STDMETHODCALLTYPE CreateCaptureBuffer(LPCDSCBUFFERDESC desc, LPDIRECTSOUNDCAPTUREBUFFER* buffer,
                                                LPUNKNOWN outer) override {
    const HRESULT hr = inner->CreateCaptureBuffer(desc, buffer, outer);
    if (SUCCEEDED(hr) && buffer != nullptr && *buffer != nullptr) *buffer = new Buffer(*buffer);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetCaps(LPDSCCAPS caps) override { return inner->GetCaps(caps); }
  HRESULT STDMETHODCALLTYPE Initialize(LPCGUID device) override { return inner->Initialize(device); }
};

// Creation functions for DeviceFactory: the device `Beneath` creates (by
// default the platform's), wrapped.
template <typename Buffer, DeviceFactory (*Beneath)() = DefaultDeviceFactory>
HRESULT WINAPI CreateWrappingPlayback(LPCGUID device, LPDIRECTSOUND* created, LPUNKNOWN outer) {
  const HRESULT hr = Beneath().createPlayback(device, created, outer);
  if (SUCCEEDED(hr) && created != nullptr && *created != nullptr) *created = new WrappingSound<Buffer>(*created);
  return hr;
}

template <typename Buffer, DeviceFactory (*Beneath)() = DefaultDeviceFactory>
HRESULT WINAPI CreateWrappingCapture(LPCGUID device, LPDIRECTSOUNDCAPTURE* created, LPUNKNOWN outer) {
  const HRESULT hr = Beneath().createCapture(device, created, outer);
  if (SUCCEEDED(hr) && created != nullptr && *created != nullptr) *created = new WrappingCapture<Buffer>(*created);
  return hr;
}
