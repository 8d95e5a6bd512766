#include "support/CommittedSpanPlayback.h"

#include <windows.h>

#include <dsound.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "common/ComPtr.h"
#include "engine/DeviceFactory.h"
#include "engine/PcmFormat.h"

namespace {

std::atomic<DWORD> gapBytes{0};
std::atomic<std::uint64_t> restoredBytes{0};

// Reference counting shared by the two wrappers.
class Counted {
 protected:
  virtual ~Counted() = default;
  ULONG AddReference() { return ++references; }
  ULONG ReleaseReference() {
    const ULONG left = --references;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> references{1};
};

// A secondary buffer of the platform with Windows' committed span.
class CommittingBuffer final : public IDirectSoundBuffer, private Counted {
 public:
  explicit CommittingBuffer(IDirectSoundBuffer* platform) : inner(ComPtr<IDirectSoundBuffer>::Attach(platform)) {
    DSBCAPS caps{};
    caps.dwSize = sizeof caps;
    inner->GetCaps(&caps);
    ringBytes = caps.dwBufferBytes;
    // A lock never spans more than the ring.
    before[0].resize(ringBytes);
    before[1].resize(ringBytes);
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDirectSoundBuffer)) {
      *object = static_cast<IDirectSoundBuffer*>(this);
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(riid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(); }

  HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD play, LPDWORD write) override {
    DWORD playCursor = 0;
    DWORD writeCursor = 0;
    const HRESULT hr = inner->GetCurrentPosition(&playCursor, &writeCursor);
    if (SUCCEEDED(hr) && ringBytes > 0) {
      const DWORD gap = gapBytes.load();
      if ((writeCursor + ringBytes - playCursor) % ringBytes < gap) writeCursor = (playCursor + gap) % ringBytes;
    }
    if (play != nullptr) *play = playCursor;
    if (write != nullptr) *write = writeCursor;
    return hr;
  }

  // Notes where the committed span stands and what the locked parts hold,
  // so that Unlock can put back what was written into the span.
  HRESULT STDMETHODCALLTYPE Lock(DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes, LPVOID* second,
                                 LPDWORD secondBytes, DWORD flags) override {
    DWORD playCursor = 0;
    DWORD writeCursor = 0;
    GetCurrentPosition(&playCursor, &writeCursor);
    const HRESULT hr = inner->Lock(offset, bytes, first, firstBytes, second, secondBytes, flags);
    if (FAILED(hr) || first == nullptr || firstBytes == nullptr || ringBytes == 0) return hr;
    if ((flags & DSBLOCK_FROMWRITECURSOR) != 0) offset = writeCursor;
    if ((flags & DSBLOCK_ENTIREBUFFER) != 0) offset = 0;
    committedFrom = playCursor;
    committedBytes = (writeCursor + ringBytes - playCursor) % ringBytes;
    parts[0] = {static_cast<std::uint8_t*>(*first), offset, *firstBytes};
    parts[1] = {nullptr, 0, 0};
    if (second != nullptr && *second != nullptr && secondBytes != nullptr) {
      parts[1] = {static_cast<std::uint8_t*>(*second), 0, *secondBytes};
    }
    for (int i = 0; i < 2; ++i) {
      if (parts[i].data != nullptr) std::memcpy(before[i].data(), parts[i].data, parts[i].bytes);
    }
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Unlock(LPVOID first, DWORD firstBytes, LPVOID second, DWORD secondBytes) override {
    for (int i = 0; i < 2; ++i) {
      const Part& part = parts[i];
      if (part.data == nullptr || (part.data != first && part.data != second)) continue;
      for (DWORD at = 0; at < part.bytes; ++at) {
        if ((part.offset + at + ringBytes - committedFrom) % ringBytes < committedBytes) {
          part.data[at] = before[i][at];
          restoredBytes.fetch_add(1, std::memory_order_relaxed);
        }
      }
    }
    parts[0] = parts[1] = {nullptr, 0, 0};
    return inner->Unlock(first, firstBytes, second, secondBytes);
  }

  HRESULT STDMETHODCALLTYPE GetCaps(LPDSBCAPS caps) override { return inner->GetCaps(caps); }
  HRESULT STDMETHODCALLTYPE GetFormat(LPWAVEFORMATEX format, DWORD allocated, LPDWORD written) override {
    return inner->GetFormat(format, allocated, written);
  }
  HRESULT STDMETHODCALLTYPE GetVolume(LPLONG volume) override { return inner->GetVolume(volume); }
  HRESULT STDMETHODCALLTYPE GetPan(LPLONG pan) override { return inner->GetPan(pan); }
  HRESULT STDMETHODCALLTYPE GetFrequency(LPDWORD frequency) override { return inner->GetFrequency(frequency); }
  HRESULT STDMETHODCALLTYPE GetStatus(LPDWORD status) override { return inner->GetStatus(status); }
  HRESULT STDMETHODCALLTYPE Initialize(LPDIRECTSOUND device, LPCDSBUFFERDESC desc) override {
    return inner->Initialize(device, desc);
  }
  HRESULT STDMETHODCALLTYPE Play(DWORD reserved, DWORD priority, DWORD flags) override {
    return inner->Play(reserved, priority, flags);
  }
  HRESULT STDMETHODCALLTYPE SetCurrentPosition(DWORD position) override { return inner->SetCurrentPosition(position); }
  HRESULT STDMETHODCALLTYPE SetFormat(LPCWAVEFORMATEX format) override { return inner->SetFormat(format); }
  HRESULT STDMETHODCALLTYPE SetVolume(LONG volume) override { return inner->SetVolume(volume); }
  HRESULT STDMETHODCALLTYPE SetPan(LONG pan) override { return inner->SetPan(pan); }
  HRESULT STDMETHODCALLTYPE SetFrequency(DWORD frequency) override { return inner->SetFrequency(frequency); }
  HRESULT STDMETHODCALLTYPE Stop() override { return inner->Stop(); }
  HRESULT STDMETHODCALLTYPE Restore() override { return inner->Restore(); }

 private:
  // One part of a lock: where the caller writes, and where that lies in the ring.
  struct Part {
    std::uint8_t* data;
    DWORD offset;
    DWORD bytes;
  };

  ComPtr<IDirectSoundBuffer> inner;
  DWORD ringBytes = 0;
  DWORD committedFrom = 0;
  DWORD committedBytes = 0;
  Part parts[2] = {{nullptr, 0, 0}, {nullptr, 0, 0}};
  std::vector<std::uint8_t> before[2];
};

// The platform's playback device, handing out committing secondary buffers.
class CommittingDevice final : public IDirectSound, private Counted {
 public:
  explicit CommittingDevice(IDirectSound* platform) : inner(ComPtr<IDirectSound>::Attach(platform)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDirectSound)) {
      *object = static_cast<IDirectSound*>(this);
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(riid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(); }

  HRESULT STDMETHODCALLTYPE CreateSoundBuffer(LPCDSBUFFERDESC desc, LPLPDIRECTSOUNDBUFFER buffer,
                                              IUnknown* outer) override {
    const HRESULT hr = inner->CreateSoundBuffer(desc, buffer, outer);
    if (SUCCEEDED(hr) && buffer != nullptr && *buffer != nullptr && desc != nullptr &&
        (desc->dwFlags & DSBCAPS_PRIMARYBUFFER) == 0) {
      *buffer = new CommittingBuffer(*buffer);
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

 private:
  ComPtr<IDirectSound> inner;
};

HRESULT WINAPI CreateCommittingPlayback(LPCGUID device, LPDIRECTSOUND* created, LPUNKNOWN outer) {
  const HRESULT hr = DefaultDeviceFactory().createPlayback(device, created, outer);
  if (SUCCEEDED(hr) && created != nullptr && *created != nullptr) *created = new CommittingDevice(*created);
  return hr;
}

}  // namespace

CommittedSpanPlayback::CommittedSpanPlayback(double gapMs) {
  gapBytes = static_cast<DWORD>(gapMs * PcmFormat::kBytesPerSecond / 1000.0) & ~1u;
  restoredBytes = 0;
  SetDeviceFactory({CreateCommittingPlayback, nullptr});
}

CommittedSpanPlayback::~CommittedSpanPlayback() { ResetDeviceFactory(); }

std::uint64_t CommittedSpanPlayback::RestoredBytes() const { return restoredBytes.load(); }

void CommittedSpanPlayback::ResetRestoredBytes() { restoredBytes = 0; }
