#include "engine/Recorder.h"

#include "engine/CaptureGeometry.h"
#include "engine/DeviceFactory.h"
#include "engine/RecorderListener.h"
#include "engine/RynManager.h"
#include "engine/VelException.h"
#include "engine/WaveFormat.h"

namespace {

// Opens the default capture device and a capture buffer on it. Returns the
// engine code of the step that failed, 0 when both succeeded; the
// out-parameter of a failed creation carries no reference and is dropped
// unreleased.
std::int32_t OpenCapture(const DSCBUFFERDESC& desc, ComPtr<IDirectSoundCapture>& device,
                         ComPtr<IDirectSoundCaptureBuffer>& buffer) noexcept {
  if (FAILED(CreateCaptureDevice(device.put()))) {
    device.detach();
    return ERR_DIRECTX_INIT;
  }
  if (FAILED(device->CreateCaptureBuffer(&desc, buffer.put(), nullptr))) {
    buffer.detach();
    return ERR_CAPTURE_BUFFER;
  }
  return 0;
}

}  // namespace

CRecorder::CRecorder(CRynManager& owner, const CaptureTimeouts& waits)
    : manager(owner), timeouts(waits), waveFormat(EngineWaveFormat()), bufferDesc{} {
  const CaptureGeometry geometry =
      ComputeCaptureGeometry(manager.GetDelay(), waveFormat.nAvgBytesPerSec, waveFormat.nBlockAlign);
  bufferDesc.dwSize = sizeof bufferDesc;
  bufferDesc.dwFlags = 0;
  bufferDesc.dwBufferBytes = geometry.bufferBytes;
  bufferDesc.dwReserved = 0;
  bufferDesc.lpwfxFormat = &waveFormat;
  bufferDesc.dwFXCount = 0;
  bufferDesc.lpDSCFXDesc = nullptr;
  InitCapture();
}

CRecorder::~CRecorder() {
  {
    const std::lock_guard<std::mutex> lock(captureLock);
    captureBuffer->Stop();
  }
  // The owner destroys a recorder only once its listener's thread has ended
  // (it keeps one whose thread is stuck), so this wait returns at once; it
  // is the last guard against freeing what the thread uses.
  if (listener) listener->Wait(INFINITE);
  listener.reset();
  captureBuffer.reset();
  captureDevice.reset();
  OutputDebugStringA("CRecorder destroyed");
}

void CRecorder::InitCapture() {
  // A failure unwinds the members, which releases the device, so a failed
  // construction holds nothing.
  if (const std::int32_t failed = OpenCapture(bufferDesc, captureDevice, captureBuffer)) throw CVelException(failed);
}

void CRecorder::Start() {
  if (listener) throw CVelException(ERR_CAPTURE_BUSY);
  listener = std::make_unique<CRecorderListener>(*this, timeouts);
  // Without its thread, or without capture, no segment would ever arrive and
  // the engine would stay silent while the host is told it runs; both are
  // reported instead.
  if (listener->Start() != 0) {
    EndListener();
    throw CVelException(ERR_NOTIFICATIONS);
  }
  HRESULT started = E_FAIL;
  {
    const std::lock_guard<std::mutex> lock(captureLock);
    started = captureBuffer->Start(DSCBSTART_LOOPING);
  }
  if (FAILED(started)) {
    // Capture never began, so nothing will report its stop to the listener.
    listener->EndAsIfCaptureStopped();
    Stop();
    throw CVelException(ERR_CAPTURE_BUFFER);
  }
}

void CRecorder::Stop() {
  // Stopping capture signals the listener's stop-position event.
  {
    const std::lock_guard<std::mutex> lock(captureLock);
    captureBuffer->Stop();
  }
  EndListener();
}

bool CRecorder::ReopenCapture(const CRecorderListener& listening) noexcept {
  ComPtr<IDirectSoundCapture> device;
  ComPtr<IDirectSoundCaptureBuffer> buffer;
  if (OpenCapture(bufferDesc, device, buffer) != 0 || !listening.ApplyNotifications(buffer.get())) return false;
  {
    const std::unique_lock<std::mutex> lock(captureLock, std::try_to_lock);
    if (!lock || WaitForSingleObject(manager.GetStopEvent(), 0) == WAIT_OBJECT_0) return false;
    if (FAILED(buffer->Start(DSCBSTART_LOOPING))) return false;
    captureBuffer->Stop();
    captureBuffer.swap(buffer);
    captureDevice.swap(device);
  }
  // The replaced capture is released here, outside the lock.
  return true;
}

bool CRecorder::IsListening() const noexcept { return listener && listener->IsRunning(); }

void CRecorder::EndListener() {
  if (!listener) return;
  // The thread still uses the listener and this recorder, so the listener
  // is destroyed only once the thread has ended: awaited once, then for the
  // grace, so a thread merely slow on a loaded machine is still joined and
  // a host thread is not frozen for long. A wait that fails outright counts
  // as one that runs out: both attempts are made, no more.
  if (listener->Wait(timeouts.listenerWaitMs) != 0 && listener->Wait(timeouts.listenerGraceMs) != 0) {
    // When the driver call returns, the thread finds its stop-position
    // event set and ends.
    listener->EndAsIfCaptureStopped();
    throw CVelException(ERR_CAPTURE_BUSY);
  }
  listener.reset();
}
