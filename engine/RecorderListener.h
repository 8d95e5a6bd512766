#pragma once

#include <windows.h>

#include <dsound.h>

#include <array>
#include <cstdint>

#include "common/UniqueHandle.h"
#include "engine/CaptureTimeouts.h"
#include "engine/WorkerThread.h"

class CRecorder;

// The thread that moves captured audio from the capture buffer to the engine.
// It asks DirectSound to signal one event whenever the capture position
// passes the end of a segment and one when capture stops, then sleeps on
// those events and the manager's stop event. Each finished segment is locked
// where it lies and handed to the manager, which passes it to the player.
// While it listens the thread is scheduled as real-time audio
// (CRealtimeScheduling), and nothing it does per segment allocates.
// Until the first segment arrives the thread also watches the start: a
// capture that has not moved within a few segments is opened afresh.
class CRecorderListener : public CWorkerThread {
 public:
  // Creates the events and sets the notification positions on the (stopped)
  // capture buffer; raises ERR_NOTIFICATIONS. Of the timeouts it keeps the
  // two that bound its waits for a first segment.
  CRecorderListener(CRecorder& recorder, const CaptureTimeouts& timeouts);
  ~CRecorderListener() override;

  // Signals the stop-position event, so the thread ends as when capture
  // stops; for a capture that never started.
  void EndAsIfCaptureStopped() noexcept;
  // Sets this listener's notification positions on a capture buffer; false
  // when the buffer refuses them.
  bool ApplyNotifications(IDirectSoundCaptureBuffer* buffer) const noexcept;

 protected:
  void ThreadMain() override;

 private:
  // A wait takes at most 64 handles: the notifications and the stop event.
  static constexpr std::size_t kMaxNotifications = MAXIMUM_WAIT_OBJECTS - 1;

  void SetupNotifications();
  void HandleSegment(DWORD index);
  bool IsCapturing() const noexcept;
  // Replaces a capture that has not moved since it started; true when it
  // was replaced.
  bool ReplaceStalledCapture() noexcept;

  std::array<UniqueHandle, kMaxNotifications> events;
  std::array<DSBPOSITIONNOTIFY, kMaxNotifications> notifyPositions{};
  CRecorder& recorder;
  // Segments plus the stop-position entry.
  DWORD notifyCount = 0;
  std::uint32_t segmentBytes = 0;
  const DWORD startSlackMs;
  const DWORD maxStartWaitMs;
};
