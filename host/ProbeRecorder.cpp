#include "host/ProbeRecorder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "host/ComponentSession.h"
#include "host/LoopbackAnalysis.h"

namespace {

constexpr DWORD kBytesPerSample = 2;
constexpr DWORD kBytesPerSecond = loopback::kSampleRate * kBytesPerSample;
constexpr DWORD kCaptureBytes = kBytesPerSecond;   // one second
constexpr DWORD kPlaybackBytes = kBytesPerSecond;  // one second
// Silence before the probe: the output has started and its cursor has been
// read at many points of its period before the probe plays.
constexpr double kLeadSeconds = 0.6;
// The stream starts this far beyond the write cursor: at the platform's
// rate the input runs slower than the output by milliseconds per second.
constexpr DWORD kMarginBytes = kBytesPerSample * (loopback::kSampleRate / 20);
// The stream may start again up to this long before the probe.
constexpr std::size_t kSettleSamples = loopback::kSampleRate / 10;
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
  DSBUFFERDESC playDesc{};
  playDesc.dwSize = sizeof playDesc;
  playDesc.dwFlags = DSBCAPS_GLOBALFOCUS | DSBCAPS_GETCURRENTPOSITION2;
  playDesc.dwBufferBytes = kPlaybackBytes;
  playDesc.lpwfxFormat = &format;
  ComPtr<IDirectSoundBuffer> playback;
  Check(playbackDevice->CreateSoundBuffer(&playDesc, playback.put(), nullptr), "CreateSoundBuffer");
  void* part1 = nullptr;
  void* part2 = nullptr;
  DWORD bytes1 = 0;
  DWORD bytes2 = 0;
  Check(playback->Lock(0, kPlaybackBytes, &part1, &bytes1, &part2, &bytes2, 0), "Lock");
  std::memset(part1, 0, bytes1);
  playback->Unlock(part1, bytes1, part2, bytes2);

  const auto lead = static_cast<std::size_t>(kLeadSeconds * loopback::kSampleRate);
  const auto tail = static_cast<std::size_t>(tailMs * loopback::kSampleRate / 1000.0);
  const std::size_t wanted = lead + probe.size() + tail;
  const auto streamSample = [&](std::size_t j) -> std::int16_t {
    return j >= lead && j < lead + probe.size() ? probe[j - lead] : 0;
  };

  Take take;
  Check(playback->Play(0, 0, DSBPLAY_LOOPING), "starting the output");
  Check(captureBuffer->Start(DSCBSTART_LOOPING), "starting the input");
  LARGE_INTEGER countsPerSecond{};
  LARGE_INTEGER firstCount{};
  QueryPerformanceFrequency(&countsPerSecond);
  const auto clockBytes = [&]() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - firstCount.QuadPart) / static_cast<double>(countsPerSecond.QuadPart) *
           kBytesPerSecond;
  };
  DWORD readPosition = 0;
  DWORD writePosition = 0;
  DWORD lastPlay = 0;
  std::uint64_t played = 0;   // play cursor, unwrapped from the first write
  std::uint64_t written = 0;  // the stream's end, unwrapped the same way
  double streamOffsetSum = 0;  // at the writes, against the clock
  double playOffsetSum = 0;    // between the writes
  std::size_t streamOffsets = 0;
  std::size_t playOffsets = 0;
  std::size_t chunks = 0;
  bool streaming = false;
  DWORD lastDelivery = GetTickCount();
  const auto stop = [&] {
    captureBuffer->Stop();
    playback->Stop();
  };
  for (DWORD turn = 0; take.recording.size() < wanted; ++turn) {
    // Waits of 1 to 9 ms in turn read the play cursor at every point of the
    // platform's mixing period, as the pass-through does.
    Sleep(1 + turn % 9);
    DWORD readable = 0;
    DWORD play = 0;
    DWORD write = 0;
    Check(captureBuffer->GetCurrentPosition(nullptr, &readable), "reading the input's position");
    Check(playback->GetCurrentPosition(&play, &write), "reading the output's position");
    if (streaming) {
      played += (play + kPlaybackBytes - lastPlay) % kPlaybackBytes;
      lastPlay = play;
    }
    const DWORD bytes = (readable + kCaptureBytes - readPosition) % kCaptureBytes;
    // A cursor that stepped back (the platform's capture snaps back now and
    // then) delivers nothing new.
    if (bytes < kBytesPerSample || bytes >= kCaptureBytes / 2) {
      if (streaming) {
        playOffsetSum += static_cast<double>(played) - clockBytes();
        ++playOffsets;
      }
      if (GetTickCount() - lastDelivery > kCaptureTimeoutMs) {
        stop();
        throw Lost(E_FAIL, "loopback measurement: the default input delivered nothing for a second");
      }
      continue;
    }
    lastDelivery = GetTickCount();
    const bool overtaken = streaming && (writePosition + kPlaybackBytes - play) % kPlaybackBytes > kPlaybackBytes / 2;
    if (overtaken && take.recording.size() + kSettleSamples > lead) {
      stop();
      throw Lost(E_FAIL, "loopback measurement: the output overtook the probe (a stall); measure again");
    }
    if (!streaming || overtaken) {
      // The stream starts at the write cursor, and starts there again (its
      // buffering measured afresh) when the output overtook it while
      // starting, as the pass-through re-seats.
      QueryPerformanceCounter(&firstCount);
      writePosition = (write + kMarginBytes) % kPlaybackBytes;
      lastPlay = play;
      played = 0;
      written = (write + kMarginBytes + kPlaybackBytes - play) % kPlaybackBytes;
      streamOffsetSum = playOffsetSum = 0;
      streamOffsets = playOffsets = 0;
      streaming = true;
    }
    streamOffsetSum += static_cast<double>(written) - clockBytes();
    ++streamOffsets;
    void* in1 = nullptr;
    void* in2 = nullptr;
    DWORD inBytes1 = 0;
    DWORD inBytes2 = 0;
    Check(captureBuffer->Lock(readPosition, bytes - bytes % kBytesPerSample, &in1, &inBytes1, &in2, &inBytes2, 0),
          "reading the input");
    const std::size_t first = take.recording.size();
    const auto* from1 = static_cast<const std::int16_t*>(in1);
    const auto* from2 = static_cast<const std::int16_t*>(in2);
    take.recording.insert(take.recording.end(), from1, from1 + inBytes1 / kBytesPerSample);
    if (from2 != nullptr) take.recording.insert(take.recording.end(), from2, from2 + inBytes2 / kBytesPerSample);
    captureBuffer->Unlock(in1, inBytes1, in2, inBytes2);
    const DWORD chunkBytes = inBytes1 + inBytes2;
    readPosition = (readPosition + chunkBytes) % kCaptureBytes;
    ++chunks;
    // As many stream samples as the input handed over, right after the last.
    void* out1 = nullptr;
    void* out2 = nullptr;
    DWORD outBytes1 = 0;
    DWORD outBytes2 = 0;
    Check(playback->Lock(writePosition, chunkBytes, &out1, &outBytes1, &out2, &outBytes2, 0), "writing the output");
    for (DWORD i = 0; i < chunkBytes / kBytesPerSample; ++i) {
      const std::int16_t sample = streamSample(first + i);
      if (i < outBytes1 / kBytesPerSample) {
        static_cast<std::int16_t*>(out1)[i] = sample;
      } else {
        static_cast<std::int16_t*>(out2)[i - outBytes1 / kBytesPerSample] = sample;
      }
    }
    playback->Unlock(out1, outBytes1, out2, outBytes2);
    writePosition = (writePosition + chunkBytes) % kPlaybackBytes;
    written += chunkBytes;
    if (progress) progress(std::min(1.0, static_cast<double>(take.recording.size()) / static_cast<double>(wanted)));
  }
  stop();
  if (streamOffsets == 0 || playOffsets == 0) {
    throw HostError(E_FAIL, "loopback measurement: the output's position could not be followed");
  }
  // The host's buffering in samples: the stream's mean lead over the play
  // cursor, and the mean chunk, which its first sample waited for.
  const double leadBytes = streamOffsetSum / static_cast<double>(streamOffsets) -
                           playOffsetSum / static_cast<double>(playOffsets);
  const double chunkSamples = static_cast<double>(take.recording.size()) / static_cast<double>(chunks);
  take.expectedAt = lead + static_cast<std::size_t>(std::lround(std::max(0.0, leadBytes / kBytesPerSample + chunkSamples)));
  return take;
}
