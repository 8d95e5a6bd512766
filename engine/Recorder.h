#pragma once

#include <windows.h>

#include <dsound.h>

#include <memory>
#include <mutex>

#include "common/ComPtr.h"
#include "engine/CaptureTimeouts.h"

class CRynManager;
class CRecorderListener;

// The microphone side of the engine: the default capture device and one
// looping capture buffer of 16 segments, each a quarter of the configured
// delay. Owns the capture listener while capture runs. All operations but
// ReopenCapture run on host threads; the listener's thread locks and unlocks
// segments of the capture buffer and replaces a capture that never starts.
class CRecorder {
 public:
  // Reads the manager's delay once to size the capture buffer; raises
  // ERR_DIRECTX_INIT or ERR_CAPTURE_BUFFER, holding nothing then. The
  // timeouts bound the listener's start waits and Stop's waits for it.
  explicit CRecorder(CRynManager& manager, const CaptureTimeouts& timeouts = CaptureTimeouts{});
  CRecorder(const CRecorder&) = delete;
  CRecorder& operator=(const CRecorder&) = delete;
  virtual ~CRecorder();

  // Builds the listener (notifications in place), starts its thread, then
  // starts looping capture. Raises ERR_CAPTURE_BUSY while capturing,
  // ERR_NOTIFICATIONS when the listener cannot be set up or its thread cannot
  // start, ERR_CAPTURE_BUFFER when capture does not start; after a failure
  // capture is stopped and no listener exists, unless its thread is stuck
  // (below).
  void Start();
  // Stops capture and destroys the listener once its thread has ended. A
  // thread that has not ended within the listener wait and the grace after
  // it (stuck in a driver call) keeps its listener, and with it this
  // recorder: ERR_CAPTURE_BUSY, and the thread is told to end as soon as it
  // is back in its wait.
  void Stop();
  // Listener thread: replaces a capture that never started delivering by a
  // freshly opened device and buffer carrying the listener's notification
  // positions, started before the old one stops. False, with the old
  // capture running on, when nothing could be opened or started, or while a
  // host thread starts or stops capture or the engine stops.
  bool ReopenCapture(const CRecorderListener& listening) noexcept;
  // Whether a listener's thread still runs in this recorder's objects; the
  // owner must not destroy the recorder until it does not.
  bool IsListening() const noexcept;

  // The listener's thread reads it freely: only that thread replaces it.
  IDirectSoundCaptureBuffer* GetCaptureBuffer() const noexcept { return captureBuffer.get(); }
  const DSCBUFFERDESC& GetBufferDesc() const noexcept { return bufferDesc; }
  CRynManager& GetManager() const noexcept { return manager; }

 private:
  void InitCapture();
  void EndListener();

  CRynManager& manager;
  const CaptureTimeouts timeouts;
  ComPtr<IDirectSoundCapture> captureDevice;
  ComPtr<IDirectSoundCaptureBuffer> captureBuffer;
  WAVEFORMATEX waveFormat;
  DSCBUFFERDESC bufferDesc;
  std::unique_ptr<CRecorderListener> listener;
  // Host threads hold it while they start or stop capture, the listener's
  // thread while it replaces the capture; the listener never waits for it.
  std::mutex captureLock;
};
