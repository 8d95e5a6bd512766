#include "tools/audio/DirectSoundPassthrough.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "common/HResultError.h"
#include "engine/SchedulerTuning.h"
#include "engine/WaveFormat.h"

CDirectSoundPassthrough::CDirectSoundPassthrough()
    : playLine(kPlaybackBytes, kSampleRate, kSchedulerTuning.slopeFitSeconds, kSchedulerTuning.leastSlopeSeconds) {
  WAVEFORMATEX format = EngineWaveFormat();
  ThrowIfFailed(DirectSoundCaptureCreate(nullptr, captureDevice.put(), nullptr), "DirectSoundCaptureCreate");
  DSCBUFFERDESC captureDesc{};
  captureDesc.dwSize = sizeof captureDesc;
  captureDesc.dwBufferBytes = kCaptureBytes;
  captureDesc.lpwfxFormat = &format;
  ThrowIfFailed(captureDevice->CreateCaptureBuffer(&captureDesc, captureBuffer.put(), nullptr), "CreateCaptureBuffer");
  ComPtr<IDirectSoundNotify> notify;
  ThrowIfFailed(captureBuffer->QueryInterface(IID_IDirectSoundNotify, reinterpret_cast<void**>(notify.put())),
                "IDirectSoundNotify");
  DSBPOSITIONNOTIFY positions[kSegments];
  for (DWORD i = 0; i < kSegments; ++i) {
    segmentEvents[i].reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!segmentEvents[i]) ThrowIfFailed(HRESULT_FROM_WIN32(GetLastError()), "CreateEvent");
    positions[i] = {(i + 1) * kSegmentBytes - 1, segmentEvents[i].get()};
  }
  ThrowIfFailed(notify->SetNotificationPositions(kSegments, positions), "SetNotificationPositions");
  stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stopEvent) ThrowIfFailed(HRESULT_FROM_WIN32(GetLastError()), "CreateEvent");

  ThrowIfFailed(DirectSoundCreate(nullptr, playbackDevice.put(), nullptr), "DirectSoundCreate");
  ThrowIfFailed(playbackDevice->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY), "SetCooperativeLevel");
  DSBUFFERDESC playDesc{};
  playDesc.dwSize = sizeof playDesc;
  playDesc.dwFlags = DSBCAPS_GLOBALFOCUS | DSBCAPS_GETCURRENTPOSITION2;
  playDesc.dwBufferBytes = kPlaybackBytes;
  playDesc.lpwfxFormat = &format;
  ThrowIfFailed(playbackDevice->CreateSoundBuffer(&playDesc, playbackBuffer.put(), nullptr), "CreateSoundBuffer");
  void* part1 = nullptr;
  void* part2 = nullptr;
  DWORD bytes1 = 0;
  DWORD bytes2 = 0;
  ThrowIfFailed(playbackBuffer->Lock(0, kPlaybackBytes, &part1, &bytes1, &part2, &bytes2, 0), "Lock");
  std::memset(part1, 0, bytes1);
  playbackBuffer->Unlock(part1, bytes1, part2, bytes2);
}

CDirectSoundPassthrough::~CDirectSoundPassthrough() { Stop(); }

void CDirectSoundPassthrough::Start() {
  if (worker.joinable()) {
    return;
  }
  ThrowIfFailed(playbackBuffer->Play(0, 0, DSBPLAY_LOOPING), "Play");
  ThrowIfFailed(captureBuffer->Start(DSCBSTART_LOOPING), "capture Start");
  ResetEvent(stopEvent.get());
  worker = std::thread([this] { Run(); });
}

void CDirectSoundPassthrough::Stop() {
  if (!worker.joinable()) {
    return;
  }
  SetEvent(stopEvent.get());
  worker.join();
  captureBuffer->Stop();
  playbackBuffer->Stop();
}

void CDirectSoundPassthrough::Run() noexcept {
  // Woken, as the engine is, by the notification at the end of each capture
  // segment; the stop event comes first so that it is never starved. Waits
  // of 1 to 9 ms in turn read the play cursor between the notifications;
  // with no notification for 100 ms the capture is looked at all the same.
  HANDLE waits[kSegments + 1];
  waits[0] = stopEvent.get();
  for (DWORD i = 0; i < kSegments; ++i) waits[i + 1] = segmentEvents[i].get();
  DWORD lastLook = GetTickCount();
  for (DWORD turn = 0;; ++turn) {
    const DWORD woken = WaitForMultipleObjects(kSegments + 1, waits, FALSE, 1 + turn % 9);
    if (woken == WAIT_OBJECT_0) return;
    if (woken == WAIT_TIMEOUT) {
      DWORD play = 0;
      if (started.load() && SUCCEEDED(playbackBuffer->GetCurrentPosition(&play, nullptr))) NotePlayCursor(play, false);
      if (GetTickCount() - lastLook < 100) continue;
    }
    lastLook = GetTickCount();
    DWORD readable = 0;
    if (SUCCEEDED(captureBuffer->GetCurrentPosition(nullptr, &readable)) && readable != readPosition) {
      const DWORD bytes = (readable + kCaptureBytes - readPosition) % kCaptureBytes;
      Forward(readPosition, bytes);
      readPosition = readable;
    }
  }
}

double CDirectSoundPassthrough::SecondsSinceStart() const noexcept {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart - firstCount.QuadPart) / static_cast<double>(countsPerSecond.QuadPart);
}

void CDirectSoundPassthrough::NotePlayCursor(DWORD play, bool atWrite) {
  const double seconds = SecondsSinceStart();
  playLine.NoteRing(play, seconds, CursorLine::kCapacity);
  if (slipped) return;
  if (playLine.Lag() > kSlipSeconds * kSampleRate) {
    if (seconds >= kSettleSeconds) {
      slipped = true;
      return;
    }
    // The mixer is still starting: the line drops to where it plays now,
    // and the lead is measured from here on.
    playLine.Lower(playLine.Lag(), 1, 1, CursorLine::kCapacity);
    streamOffsetSum = 0.0;
    streamOffsets = 0;
    playOffsetSum = 0.0;
    playOffsets = 0;
  }
  steadySeconds = seconds;
  if (atWrite) {
    streamOffsetSum += static_cast<double>(written) / 2.0 - seconds * kSampleRate;
    ++streamOffsets;
  } else {
    playOffsetSum += playLine.Line() - playLine.Lag();
    ++playOffsets;
  }
}

double CDirectSoundPassthrough::LeadMs() const noexcept {
  if (streamOffsets == 0 || playOffsets == 0) return 0.0;
  const double lead = streamOffsetSum / streamOffsets - playOffsetSum / playOffsets;
  return lead * 1000.0 / kSampleRate;
}

void CDirectSoundPassthrough::Forward(DWORD from, DWORD bytes) {
  DWORD play = 0;
  DWORD write = 0;
  if (FAILED(playbackBuffer->GetCurrentPosition(&play, &write))) {
    return;
  }
  const DWORD safe = (write + kPlaybackBytes - play) % kPlaybackBytes;
  const DWORD lead = (writePosition + kPlaybackBytes - play) % kPlaybackBytes;
  // The stream starts at the write cursor; it starts there again only once
  // the play cursor has overtaken it (a capture that stalled just after it
  // started), as the engine re-seats on an underrun. Either the mixer or
  // this thread stood still then: the lead is not measured any further.
  if (!started.load()) {
    QueryPerformanceFrequency(&countsPerSecond);
    QueryPerformanceCounter(&firstCount);
    written = safe;
    writePosition = write;
    started = true;
  } else if (lead > kPlaybackBytes / 2) {
    slipped = true;
    writePosition = write;
  }
  NotePlayCursor(play, true);
  void* in1 = nullptr;
  void* in2 = nullptr;
  DWORD inBytes1 = 0;
  DWORD inBytes2 = 0;
  if (FAILED(captureBuffer->Lock(from, bytes, &in1, &inBytes1, &in2, &inBytes2, 0))) {
    return;
  }
  void* out1 = nullptr;
  void* out2 = nullptr;
  DWORD outBytes1 = 0;
  DWORD outBytes2 = 0;
  if (SUCCEEDED(playbackBuffer->Lock(writePosition, bytes, &out1, &outBytes1, &out2, &outBytes2, 0))) {
    // Both regions hold `bytes` bytes, each split where its own ring wraps.
    const auto* source1 = static_cast<const char*>(in1);
    const auto* source2 = static_cast<const char*>(in2);
    auto* target1 = static_cast<char*>(out1);
    auto* target2 = static_cast<char*>(out2);
    for (DWORD i = 0; i < bytes; ++i) {
      const char sample = i < inBytes1 ? source1[i] : source2[i - inBytes1];
      if (i < outBytes1) {
        target1[i] = sample;
      } else {
        target2[i - outBytes1] = sample;
      }
    }
    playbackBuffer->Unlock(out1, outBytes1, out2, outBytes2);
  }
  captureBuffer->Unlock(in1, inBytes1, in2, inBytes2);
  writePosition = (writePosition + bytes) % kPlaybackBytes;
  written += bytes;
  chunkBytes.fetch_add(bytes);
  chunks.fetch_add(1);
}
