#include "support/ForwardingDevices.h"

ForwardingSoundBuffer::ForwardingSoundBuffer(IDirectSoundBuffer* platform)
    : ForwardingBuffer(platform, IID_IDirectSoundBuffer) {}

HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::GetVolume(LPLONG volume) { return inner->GetVolume(volume); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::GetPan(LPLONG pan) { return inner->GetPan(pan); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::GetFrequency(LPDWORD frequency) { return inner->GetFrequency(frequency); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::Initialize(LPDIRECTSOUND device, LPCDSBUFFERDESC desc) {
  return inner->Initialize(device, desc);
}
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::Play(DWORD reserved, DWORD priority, DWORD flags) {
  return inner->Play(reserved, priority, flags);
}
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::SetCurrentPosition(DWORD position) { return inner->SetCurrentPosition(position); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::SetFormat(LPCWAVEFORMATEX format) { return inner->SetFormat(format); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::SetVolume(LONG volume) { return inner->SetVolume(volume); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::SetPan(LONG pan) { return inner->SetPan(pan); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::SetFrequency(DWORD frequency) { return inner->SetFrequency(frequency); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::Restore() { return inner->Restore(); }

ForwardingCaptureBuffer::ForwardingCaptureBuffer(IDirectSoundCaptureBuffer* platform)
    : ForwardingBuffer(platform, IID_IDirectSoundCaptureBuffer) {}

HRESULT STDMETHODCALLTYPE ForwardingCaptureBuffer::Initialize(LPDIRECTSOUNDCAPTURE device, LPCDSCBUFFERDESC desc) {
  return inner->Initialize(device, desc);
}
HRESULT STDMETHODCALLTYPE ForwardingCaptureBuffer::Start(DWORD flags) { return inner->Start(flags); }
