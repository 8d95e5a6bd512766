#include "engine/RecorderListener.h"

#include "common/ComPtr.h"
#include "engine/RealtimeScheduling.h"
#include "engine/Recorder.h"
#include "engine/RynManager.h"
#include "engine/VelException.h"

#include <algorithm>

namespace {

HANDLE CreateAutoResetEvent() { return CreateEventA(nullptr, FALSE, FALSE, nullptr); }

}  // namespace

CRecorderListener::CRecorderListener(CRecorder& owner, const CaptureTimeouts& timeouts)
    : CWorkerThread("RecorderListener"),
      recorder(owner),
      startSlackMs(timeouts.startSlackMs),
      maxStartWaitMs(timeouts.maxStartWaitMs) {
  SetupNotifications();
  OutputDebugStringA("CRecorderListener created");
}

CRecorderListener::~CRecorderListener() {
  for (UniqueHandle& event : events) event.reset();
  OutputDebugStringA("CRecorderListener destroyed");
}

void CRecorderListener::EndAsIfCaptureStopped() noexcept {
  if (notifyCount > 0) SetEvent(events[notifyCount - 1].get());
}

void CRecorderListener::SetupNotifications() {
  const DWORD bufferBytes = recorder.GetBufferDesc().dwBufferBytes;
  segmentBytes = bufferBytes >> 4;

  DWORD i = 0;
  for (DWORD position = segmentBytes - 1; position < bufferBytes && i + 1 < kMaxNotifications;
       position += segmentBytes, ++i) {
    events[i].reset(CreateAutoResetEvent());
    notifyPositions[i] = DSBPOSITIONNOTIFY{position, events[i].get()};
  }
  events[i].reset(CreateAutoResetEvent());
  notifyPositions[i] = DSBPOSITIONNOTIFY{static_cast<DWORD>(DSBPN_OFFSETSTOP), events[i].get()};
  notifyCount = i + 1;
  if (!ApplyNotifications(recorder.GetCaptureBuffer())) throw CVelException(ERR_NOTIFICATIONS);
}

bool CRecorderListener::ApplyNotifications(IDirectSoundCaptureBuffer* buffer) const noexcept {
  ComPtr<IDirectSoundNotify> notify;
  if (FAILED(buffer->QueryInterface(IID_IDirectSoundNotify, reinterpret_cast<void**>(notify.put()))) || !notify) {
    notify.detach();
    return false;
  }
  return SUCCEEDED(notify->SetNotificationPositions(notifyCount, notifyPositions.data()));
}

void CRecorderListener::ThreadMain() {
  // A late segment is heard as a gap, so the thread runs ahead of ordinary
  // work for as long as it listens.
  const CRealtimeScheduling realtime;
  std::array<HANDLE, kMaxNotifications + 1> waitHandles{};
  for (DWORD i = 0; i < notifyCount; ++i) waitHandles[i] = events[i].get();
  waitHandles[notifyCount] = recorder.GetManager().GetStopEvent();
  const DWORD stopPosition = notifyCount - 1;
  const DWORD segmentMs = segmentBytes * 1000 / recorder.GetBufferDesc().lpwfxFormat->nAvgBytesPerSec;
  // A capture can start a stream that never delivers: its position stays
  // at 0 while the status says capturing, and stopping and starting the
  // buffer again does not revive it. One that has not moved a segment and
  // the slack after its start is replaced by a freshly opened one; each
  // further attempt waits twice as long, up to the cap. The first segment
  // after a DELAY change is heard a DELAY after it arrives, so the whole
  // wait is heard as silence.
  DWORD startWaitMs = segmentMs + startSlackMs;
  bool delivering = false;
  bool replaced = false;

  for (;;) {
    // The wait reports the signalled handle with the lowest index, so pending
    // segments are handled in order and before either stop is noticed.
    const DWORD result =
        WaitForMultipleObjects(notifyCount + 1, waitHandles.data(), FALSE, delivering ? INFINITE : startWaitMs);
    if (result == WAIT_TIMEOUT) {
      replaced = ReplaceStalledCapture() || replaced;
      startWaitMs = std::min(2 * startWaitMs, maxStartWaitMs);
      continue;
    }
    // Stopping a replaced capture also signals the stop position, now or
    // later; capture runs on in its successor.
    if (result == WAIT_OBJECT_0 + stopPosition && replaced && IsCapturing()) continue;
    // Anything but a segment ends the loop: capture stopped, the manager's
    // stop event, or a failed wait (which would otherwise repeat forever).
    if (result >= WAIT_OBJECT_0 + stopPosition) break;
    delivering = true;
    HandleSegment(result - WAIT_OBJECT_0);
  }
}

bool CRecorderListener::IsCapturing() const noexcept {
  DWORD status = 0;
  return SUCCEEDED(recorder.GetCaptureBuffer()->GetStatus(&status)) && (status & DSCBSTATUS_CAPTURING) != 0;
}

bool CRecorderListener::ReplaceStalledCapture() noexcept {
  DWORD captured = 0;
  // A capture that has moved delivers; its notification is merely late.
  if (FAILED(recorder.GetCaptureBuffer()->GetCurrentPosition(&captured, nullptr)) || captured != 0) return false;
  if (!recorder.ReopenCapture(*this)) return false;
  recorder.GetManager().CountCaptureRestart();
  return true;
}

void CRecorderListener::HandleSegment(DWORD index) {
  const DWORD offset = index == 0 ? 0 : notifyPositions[index - 1].dwOffset + 1;
  const DWORD length = index == 0 ? notifyPositions[0].dwOffset + 1
                                  : notifyPositions[index].dwOffset - notifyPositions[index - 1].dwOffset;

  IDirectSoundCaptureBuffer* buffer = recorder.GetCaptureBuffer();
  // How far capture has gone past the segment's end tells the player how
  // late the segment is handed over, so it can place it by its capture time.
  const DWORD bufferBytes = recorder.GetBufferDesc().dwBufferBytes;
  const DWORD end = (offset + length) % bufferBytes;
  DWORD readable = 0;
  DWORD late = 0;
  if (SUCCEEDED(buffer->GetCurrentPosition(nullptr, &readable)) && readable < bufferBytes) {
    late = (readable + bufferBytes - end) % bufferBytes;
  }
  void* first = nullptr;
  DWORD firstBytes = 0;
  void* second = nullptr;
  DWORD secondBytes = 0;
  // A segment that cannot be locked is skipped: nothing may be handed on
  // from pointers the lock did not fill.
  if (FAILED(buffer->Lock(offset, length, &first, &firstBytes, &second, &secondBytes, 0))) return;
  // A segment never crosses the end of the ring, so only the first part is
  // handed on.
  try {
    if (first != nullptr) recorder.GetManager().OnCapturedBlock(recorder, first, firstBytes, late);
  } catch (...) {
    // Nothing on this path allocates or raises; a driver that throws out of
    // a call must still not end the thread's body: the segment is dropped
    // and the next one tried.
  }
  buffer->Unlock(first, firstBytes, second, secondBytes);
}
