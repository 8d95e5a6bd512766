#include "engine/Recorder.h"

#include "engine/CaptureGeometry.h"
#include "engine/DeviceFactory.h"
#include "engine/RecorderListener.h"
#include "engine/RynManager.h"
#include "engine/VelException.h"
#include "engine/WaveFormat.h"

namespace {

// How long one wait for the listener's thread lasts before it is repeated.
constexpr DWORD kListenerWaitMs = 1000;

}  // namespace

CRecorder::CRecorder(CRynManager& owner) : manager(owner), waveFormat(EngineWaveFormat()), bufferDesc{} {
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
  Stop();
  captureBuffer.reset();
  captureDevice.reset();
  OutputDebugStringA("CRecorder destroyed");
}

void CRecorder::InitCapture() {
  // A failure below unwinds the members, which releases the device, so a
  // failed construction holds nothing. The out-parameter of a failed
  // creation carries no reference and is dropped unreleased.
  if (FAILED(CreateCaptureDevice(captureDevice.put()))) {
    captureDevice.detach();
    throw CVelException(ERR_DIRECTX_INIT);
  }
  if (FAILED(captureDevice->CreateCaptureBuffer(&bufferDesc, captureBuffer.put(), nullptr))) {
    captureBuffer.detach();
    throw CVelException(ERR_CAPTURE_BUFFER);
  }
}

void CRecorder::Start() {
  if (listener) throw CVelException(ERR_CAPTURE_BUSY);
  listener = std::make_unique<CRecorderListener>(*this);
  // Without its thread, or without capture, no segment would ever arrive and
  // the engine would stay silent while the host is told it runs; both are
  // reported instead.
  if (listener->Start() != 0) {
    listener.reset();
    throw CVelException(ERR_NOTIFICATIONS);
  }
  if (FAILED(captureBuffer->Start(DSCBSTART_LOOPING))) {
    // Capture never began, so nothing will report its stop to the listener.
    listener->EndAsIfCaptureStopped();
    Stop();
    throw CVelException(ERR_CAPTURE_BUFFER);
  }
}

void CRecorder::Stop() {
  // Stopping capture signals the listener's stop-position event.
  captureBuffer->Stop();
  if (!listener) return;
  // The thread still uses the listener, so it is destroyed only once the
  // thread has ended. Capture is stopped (and on the manager's way the stop
  // event is set), so the thread ends even when one wait runs out.
  while (listener->Wait(kListenerWaitMs) != 0) {
  }
  listener.reset();
}
