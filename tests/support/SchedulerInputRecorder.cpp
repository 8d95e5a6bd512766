#include "support/SchedulerInputRecorder.h"

#include <windows.h>

#include <dsound.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "common/ComPtr.h"
#include "engine/DeviceFactory.h"
#include "engine/DriftResampler.h"

namespace {

// The player's own bound for a quiet block: about -40 dBFS.
constexpr int kQuietPeak = 328;

// What the wrappers note; touched by the listener's thread alone while the
// engine runs, read by the recorder's owner once it has stopped.
struct Notes {
  std::vector<SchedulerInputRecorder::Observed> rows;
  std::size_t capacity = 0;
  SchedulerInputRecorder::Starving starving;
  double lastStarved = 0.0;
  LONGLONG countsPerSecond = 1;
  // The block being handed over.
  SchedulerInputRecorder::Observed current{};
  DWORD captureReadable = 0;
  bool cursorsRead = false;
  int playbackLocks = 0;
  DWORD firstLockOffset = 0;
  DWORD firstLockBytes = 0;
};

Notes notes;

double SteadySeconds() {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(notes.countsPerSecond);
}

// Reference counting shared by the wrappers.
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

// The engine's capture buffer: the listener's cursor read and the block's lock.
class NotingCaptureBuffer final : public IDirectSoundCaptureBuffer, private Counted {
 public:
  explicit NotingCaptureBuffer(IDirectSoundCaptureBuffer* platform)
      : inner(ComPtr<IDirectSoundCaptureBuffer>::Attach(platform)) {
    DSCBCAPS caps{};
    caps.dwSize = sizeof caps;
    inner->GetCaps(&caps);
    ringBytes = caps.dwBufferBytes;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDirectSoundCaptureBuffer)) {
      *object = static_cast<IDirectSoundCaptureBuffer*>(this);
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(riid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(); }

  // The listener reads how far capture has gone before it locks a block.
  HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD capture, LPDWORD read) override {
    const bool blockRead = capture == nullptr && read != nullptr;
    if (blockRead && notes.starving.everySeconds > 0) {
      const double now = SteadySeconds();
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

  HRESULT STDMETHODCALLTYPE GetCaps(LPDSCBCAPS caps) override { return inner->GetCaps(caps); }
  HRESULT STDMETHODCALLTYPE GetFormat(LPWAVEFORMATEX format, DWORD allocated, LPDWORD written) override {
    return inner->GetFormat(format, allocated, written);
  }
  HRESULT STDMETHODCALLTYPE GetStatus(LPDWORD status) override { return inner->GetStatus(status); }
  HRESULT STDMETHODCALLTYPE Initialize(LPDIRECTSOUNDCAPTURE device, LPCDSCBUFFERDESC desc) override {
    return inner->Initialize(device, desc);
  }
  HRESULT STDMETHODCALLTYPE Start(DWORD flags) override { return inner->Start(flags); }
  HRESULT STDMETHODCALLTYPE Stop() override { return inner->Stop(); }

 private:
  ComPtr<IDirectSoundCaptureBuffer> inner;
  DWORD ringBytes = 0;
};

class NotingCaptureDevice final : public IDirectSoundCapture, private Counted {
 public:
  explicit NotingCaptureDevice(IDirectSoundCapture* platform) : inner(ComPtr<IDirectSoundCapture>::Attach(platform)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDirectSoundCapture)) {
      *object = static_cast<IDirectSoundCapture*>(this);
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(riid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(); }

  HRESULT STDMETHODCALLTYPE CreateCaptureBuffer(LPCDSCBUFFERDESC desc, LPDIRECTSOUNDCAPTUREBUFFER* buffer,
                                                LPUNKNOWN outer) override {
    const HRESULT hr = inner->CreateCaptureBuffer(desc, buffer, outer);
    if (SUCCEEDED(hr) && buffer != nullptr && *buffer != nullptr) *buffer = new NotingCaptureBuffer(*buffer);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetCaps(LPDSCCAPS caps) override { return inner->GetCaps(caps); }
  HRESULT STDMETHODCALLTYPE Initialize(LPCGUID device) override { return inner->Initialize(device); }

 private:
  ComPtr<IDirectSoundCapture> inner;
};

// The engine's playback ring: the two cursor reads and the locks behind them.
class NotingPlaybackBuffer final : public IDirectSoundBuffer, private Counted {
 public:
  explicit NotingPlaybackBuffer(IDirectSoundBuffer* platform) : inner(ComPtr<IDirectSoundBuffer>::Attach(platform)) {}

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

  // The player reads the play cursor alone, then the write cursor alone,
  // and the steady clock right after.
  HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD play, LPDWORD write) override {
    const HRESULT hr = inner->GetCurrentPosition(play, write);
    if (FAILED(hr)) return hr;
    if (play != nullptr && write == nullptr) notes.current.block.play = *play;
    if (play == nullptr && write != nullptr) {
      notes.current.block.write = *write;
      notes.current.block.seconds = SteadySeconds();
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
  HRESULT STDMETHODCALLTYPE Unlock(LPVOID first, DWORD firstBytes, LPVOID second, DWORD secondBytes) override {
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
  ComPtr<IDirectSoundBuffer> inner;
};

class NotingPlaybackDevice final : public IDirectSound, private Counted {
 public:
  explicit NotingPlaybackDevice(IDirectSound* platform) : inner(ComPtr<IDirectSound>::Attach(platform)) {}

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
      *buffer = new NotingPlaybackBuffer(*buffer);
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

HRESULT WINAPI CreateNotingPlayback(LPCGUID device, LPDIRECTSOUND* created, LPUNKNOWN outer) {
  const HRESULT hr = DefaultDeviceFactory().createPlayback(device, created, outer);
  if (SUCCEEDED(hr) && created != nullptr && *created != nullptr) *created = new NotingPlaybackDevice(*created);
  return hr;
}

HRESULT WINAPI CreateNotingCapture(LPCGUID device, LPDIRECTSOUNDCAPTURE* created, LPUNKNOWN outer) {
  const HRESULT hr = DefaultDeviceFactory().createCapture(device, created, outer);
  if (SUCCEEDED(hr) && created != nullptr && *created != nullptr) *created = new NotingCaptureDevice(*created);
  return hr;
}

}  // namespace

SchedulerInputRecorder::SchedulerInputRecorder(std::size_t capacity, Starving starving) {
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  notes.countsPerSecond = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
  notes.rows.clear();
  notes.rows.reserve(capacity);
  notes.capacity = capacity;
  notes.starving = starving;
  notes.lastStarved = SteadySeconds();
  SetDeviceFactory({CreateNotingPlayback, CreateNotingCapture});
}

SchedulerInputRecorder::~SchedulerInputRecorder() { ResetDeviceFactory(); }

std::vector<SchedulerInputRecorder::Observed> SchedulerInputRecorder::Take() {
  std::vector<Observed> taken;
  taken.swap(notes.rows);
  notes.rows.reserve(notes.capacity);
  return taken;
}
