#include "host/ProbeRecorder.h"

#include <algorithm>
#include <cstring>

#include "host/ComponentSession.h"
#include "host/LoopbackAnalysis.h"

namespace {

constexpr DWORD kBytesPerSample = 2;
constexpr DWORD kCaptureBytes = loopback::kSampleRate * kBytesPerSample;  // one second
// Silence before the probe: the output has started and both cursors have
// been read together a few times before the probe plays.
constexpr double kLeadSeconds = 0.3;
// An input that delivers nothing for this long has failed.
constexpr DWORD kCaptureTimeoutMs = 1000;

WAVEFORMATEX ProbeFormat() {
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 1;
  format.nSamplesPerSec = loopback::kSampleRate;
  format.wBitsPerSample = 16;
  format.nBlockAlign = kBytesPerSample;
  format.nAvgBytesPerSec = loopback::kSampleRate * kBytesPerSample;
  return format;
}

void Check(HRESULT result, const char* what) {
  if (FAILED(result)) throw HostError(result, std::string("loopback measurement: ") + what + " failed");
}

}  // namespace

ProbeRecorder::ProbeRecorder() {
  WAVEFORMATEX format = ProbeFormat();
  Check(DirectSoundCaptureCreate(nullptr, captureDevice.put(), nullptr), "opening the default input");
  DSCBUFFERDESC captureDesc{};
  captureDesc.dwSize = sizeof captureDesc;
  captureDesc.dwBufferBytes = kCaptureBytes;
  captureDesc.lpwfxFormat = &format;
  Check(captureDevice->CreateCaptureBuffer(&captureDesc, captureBuffer.put(), nullptr), "CreateCaptureBuffer");
  Check(DirectSoundCreate(nullptr, playbackDevice.put(), nullptr), "opening the default output");
  Check(playbackDevice->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY), "SetCooperativeLevel");
}

ProbeRecorder::Take ProbeRecorder::Record(const std::vector<std::int16_t>& probe, double tailMs,
                                          const std::function<void(double)>& progress) {
  WAVEFORMATEX format = ProbeFormat();
  const auto lead = static_cast<std::size_t>(kLeadSeconds * loopback::kSampleRate);
  const std::size_t probeEnd = lead + probe.size();
  DSBUFFERDESC playDesc{};
  playDesc.dwSize = sizeof playDesc;
  playDesc.dwFlags = DSBCAPS_GLOBALFOCUS | DSBCAPS_GETCURRENTPOSITION2;
  playDesc.dwBufferBytes = static_cast<DWORD>(probeEnd * kBytesPerSample);
  playDesc.lpwfxFormat = &format;
  ComPtr<IDirectSoundBuffer> playback;
  Check(playbackDevice->CreateSoundBuffer(&playDesc, playback.put(), nullptr), "CreateSoundBuffer");
  void* part1 = nullptr;
  void* part2 = nullptr;
  DWORD bytes1 = 0;
  DWORD bytes2 = 0;
  Check(playback->Lock(0, playDesc.dwBufferBytes, &part1, &bytes1, &part2, &bytes2, 0), "Lock");
  std::memset(part1, 0, bytes1);
  std::memcpy(static_cast<char*>(part1) + lead * kBytesPerSample, probe.data(), probe.size() * kBytesPerSample);
  playback->Unlock(part1, bytes1, part2, bytes2);

  Take take;
  const auto tail = static_cast<std::size_t>(tailMs * loopback::kSampleRate / 1000.0);
  Check(captureBuffer->Start(DSCBSTART_LOOPING), "starting the input");
  Check(playback->Play(0, 0, 0), "starting the output");
  DWORD readPosition = 0;
  double distanceSum = 0;  // recorded samples less played samples, at each reading
  std::size_t distances = 0;
  DWORD lastDelivery = GetTickCount();
  std::size_t wanted = probeEnd + tail;  // until the cursors have been read
  for (DWORD turn = 0; take.recording.size() < wanted; ++turn) {
    // Waits of 1 to 9 ms in turn read the cursors at every point of the
    // platform's periods, so their mean distance is not biased by one.
    Sleep(1 + turn % 9);
    DWORD readable = 0;
    Check(captureBuffer->GetCurrentPosition(nullptr, &readable), "reading the input's position");
    DWORD play = 0;
    DWORD status = 0;
    const HRESULT played = playback->GetCurrentPosition(&play, nullptr);
    const HRESULT statusRead = playback->GetStatus(&status);
    const DWORD bytes = (readable + kCaptureBytes - readPosition) % kCaptureBytes;
    // A cursor that stepped back (the platform's capture snaps back now and
    // then) delivers nothing new.
    if (bytes >= kBytesPerSample && bytes < kCaptureBytes / 2) {
      void* in1 = nullptr;
      void* in2 = nullptr;
      DWORD inBytes1 = 0;
      DWORD inBytes2 = 0;
      Check(captureBuffer->Lock(readPosition, bytes - bytes % kBytesPerSample, &in1, &inBytes1, &in2, &inBytes2, 0),
            "reading the input");
      const auto* first = static_cast<const std::int16_t*>(in1);
      const auto* second = static_cast<const std::int16_t*>(in2);
      take.recording.insert(take.recording.end(), first, first + inBytes1 / kBytesPerSample);
      if (second != nullptr) take.recording.insert(take.recording.end(), second, second + inBytes2 / kBytesPerSample);
      captureBuffer->Unlock(in1, inBytes1, in2, inBytes2);
      readPosition = (readPosition + inBytes1 + inBytes2) % kCaptureBytes;
      lastDelivery = GetTickCount();
    } else if (GetTickCount() - lastDelivery > kCaptureTimeoutMs) {
      captureBuffer->Stop();
      playback->Stop();
      throw HostError(E_FAIL, "loopback measurement: the default input delivered nothing for a second");
    }
    const bool playing = SUCCEEDED(statusRead) && (status & DSBSTATUS_PLAYING) != 0;
    if (SUCCEEDED(played) && playing && play > 0) {
      distanceSum += static_cast<double>(take.recording.size()) - static_cast<double>(play / kBytesPerSample);
      ++distances;
      wanted = static_cast<std::size_t>(std::max(0.0, distanceSum / static_cast<double>(distances))) + probeEnd + tail;
    }
    if (progress) progress(std::min(1.0, static_cast<double>(take.recording.size()) / static_cast<double>(wanted)));
  }
  captureBuffer->Stop();
  playback->Stop();
  if (distances == 0) throw HostError(E_FAIL, "loopback measurement: the output did not play");
  take.expectedAt = static_cast<std::size_t>(std::max(0.0, distanceSum / static_cast<double>(distances))) + lead;
  return take;
}
