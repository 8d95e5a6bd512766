#include "support/ForwardingDevices.h"

namespace {

template <typename Caps, typename Buffer>
DWORD BufferBytes(Buffer* buffer) {
  Caps caps{};
  caps.dwSize = sizeof caps;
  return SUCCEEDED(buffer->GetCaps(&caps)) ? caps.dwBufferBytes : 0;
}

}  // namespace

ForwardingSoundBuffer::ForwardingSoundBuffer(IDirectSoundBuffer* platform)
    : Forwarding(platform, IID_IDirectSoundBuffer), ringBytes(BufferBytes<DSBCAPS>(platform)) {}

HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::GetCaps(LPDSBCAPS caps) { return inner->GetCaps(caps); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::GetCurrentPosition(LPDWORD play, LPDWORD write) {
  return inner->GetCurrentPosition(play, write);
}
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::GetFormat(LPWAVEFORMATEX format, DWORD allocated, LPDWORD written) {
  return inner->GetFormat(format, allocated, written);
}
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::GetVolume(LPLONG volume) { return inner->GetVolume(volume); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::GetPan(LPLONG pan) { return inner->GetPan(pan); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::GetFrequency(LPDWORD frequency) { return inner->GetFrequency(frequency); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::GetStatus(LPDWORD status) { return inner->GetStatus(status); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::Initialize(LPDIRECTSOUND device, LPCDSBUFFERDESC desc) {
  return inner->Initialize(device, desc);
}
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::Lock(DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes, LPVOID* second,
                                   LPDWORD secondBytes, DWORD flags) {
  return inner->Lock(offset, bytes, first, firstBytes, second, secondBytes, flags);
}
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::Play(DWORD reserved, DWORD priority, DWORD flags) {
  return inner->Play(reserved, priority, flags);
}
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::SetCurrentPosition(DWORD position) { return inner->SetCurrentPosition(position); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::SetFormat(LPCWAVEFORMATEX format) { return inner->SetFormat(format); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::SetVolume(LONG volume) { return inner->SetVolume(volume); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::SetPan(LONG pan) { return inner->SetPan(pan); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::SetFrequency(DWORD frequency) { return inner->SetFrequency(frequency); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::Stop() { return inner->Stop(); }
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::Unlock(LPVOID first, DWORD firstBytes, LPVOID second, DWORD secondBytes) {
  return inner->Unlock(first, firstBytes, second, secondBytes);
}
HRESULT STDMETHODCALLTYPE ForwardingSoundBuffer::Restore() { return inner->Restore(); }

ForwardingCaptureBuffer::ForwardingCaptureBuffer(IDirectSoundCaptureBuffer* platform)
    : Forwarding(platform, IID_IDirectSoundCaptureBuffer), ringBytes(BufferBytes<DSCBCAPS>(platform)) {}

HRESULT STDMETHODCALLTYPE ForwardingCaptureBuffer::GetCaps(LPDSCBCAPS caps) { return inner->GetCaps(caps); }
HRESULT STDMETHODCALLTYPE ForwardingCaptureBuffer::GetCurrentPosition(LPDWORD capture, LPDWORD read) {
  return inner->GetCurrentPosition(capture, read);
}
HRESULT STDMETHODCALLTYPE ForwardingCaptureBuffer::GetFormat(LPWAVEFORMATEX format, DWORD allocated, LPDWORD written) {
  return inner->GetFormat(format, allocated, written);
}
HRESULT STDMETHODCALLTYPE ForwardingCaptureBuffer::GetStatus(LPDWORD status) { return inner->GetStatus(status); }
HRESULT STDMETHODCALLTYPE ForwardingCaptureBuffer::Initialize(LPDIRECTSOUNDCAPTURE device, LPCDSCBUFFERDESC desc) {
  return inner->Initialize(device, desc);
}
HRESULT STDMETHODCALLTYPE ForwardingCaptureBuffer::Lock(DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes, LPVOID* second,
                                     LPDWORD secondBytes, DWORD flags) {
  return inner->Lock(offset, bytes, first, firstBytes, second, secondBytes, flags);
}
HRESULT STDMETHODCALLTYPE ForwardingCaptureBuffer::Start(DWORD flags) { return inner->Start(flags); }
HRESULT STDMETHODCALLTYPE ForwardingCaptureBuffer::Stop() { return inner->Stop(); }
HRESULT STDMETHODCALLTYPE ForwardingCaptureBuffer::Unlock(LPVOID first, DWORD firstBytes, LPVOID second, DWORD secondBytes) {
  return inner->Unlock(first, firstBytes, second, secondBytes);
}
