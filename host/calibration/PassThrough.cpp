// passthrough: the calibration run of the demo. It sends the default
// microphone straight to the default speaker through DirectSound, the way the
// engine does (same format, looping buffers, woken by capture-position
// notifications every 10 ms), but with no delay of its own beyond a short,
// measured write-ahead. Recorded through the
// same routing as a run of the component, it shows what the platform's
// devices add, so the component's own delay can be told apart.
//
//   passthrough --seconds S [--lead MS]
//
// Prints "running" once sound flows, and at the end the mean distance from
// the play cursor to where captured sound was written ("write-ahead") and
// the mean length of the chunks capture handed over ("capture period"):
// a chunk's first sample waited that long, which the component, placing
// samples by their capture time, does not.

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>
#include <objbase.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/ComPtr.h"
#include "engine/UniqueHandle.h"

namespace {

constexpr DWORD kRate = 22050;
constexpr DWORD kBytesPerSecond = kRate * 2;
constexpr DWORD kPlaybackBytes = 2 * kBytesPerSecond;
// 16 segments of 10 ms (whole samples), as the engine uses at its shortest delay.
constexpr DWORD kSegmentBytes = 440;
constexpr DWORD kSegments = 16;
constexpr DWORD kCaptureBytes = kSegments * kSegmentBytes;

class Failure : public std::runtime_error {
 public:
  Failure(const std::string& what, HRESULT result) : std::runtime_error(what), result(result) {}
  HRESULT result;
};

void Check(HRESULT result, const char* what) {
  if (FAILED(result)) throw Failure(what, result);
}

WAVEFORMATEX Format() { return {WAVE_FORMAT_PCM, 1, kRate, kBytesPerSecond, 2, 16, 0}; }

double Milliseconds(DWORD bytes) { return 1000.0 * bytes / kBytesPerSecond; }

struct Options {
  double seconds = 0;
  double leadMs = 40;
};

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const double value = std::atof(argv[i + 1]);
    if (name == "--seconds") options.seconds = value;
    if (name == "--lead") options.leadMs = value;
  }
  if (options.seconds <= 0 || options.leadMs < 10 || options.leadMs > 500) {
    throw std::invalid_argument("usage: passthrough --seconds S [--lead MS]");
  }
  return options;
}

int Run(const Options& options) {
  WAVEFORMATEX format = Format();
  ComPtr<IDirectSound> speaker;
  Check(DirectSoundCreate(nullptr, speaker.put(), nullptr), "DirectSoundCreate");
  speaker->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY);
  DSBUFFERDESC playbackDesc{};
  playbackDesc.dwSize = sizeof playbackDesc;
  playbackDesc.dwFlags = DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_STICKYFOCUS;
  playbackDesc.dwBufferBytes = kPlaybackBytes;
  playbackDesc.lpwfxFormat = &format;
  ComPtr<IDirectSoundBuffer> playback;
  Check(speaker->CreateSoundBuffer(&playbackDesc, playback.put(), nullptr), "CreateSoundBuffer");

  ComPtr<IDirectSoundCapture> microphone;
  Check(DirectSoundCaptureCreate(nullptr, microphone.put(), nullptr), "DirectSoundCaptureCreate");
  DSCBUFFERDESC captureDesc{};
  captureDesc.dwSize = sizeof captureDesc;
  captureDesc.dwBufferBytes = kCaptureBytes;
  captureDesc.lpwfxFormat = &format;
  ComPtr<IDirectSoundCaptureBuffer> capture;
  Check(microphone->CreateCaptureBuffer(&captureDesc, capture.put(), nullptr), "CreateCaptureBuffer");
  ComPtr<IDirectSoundNotify> notify;
  Check(capture->QueryInterface(IID_IDirectSoundNotify, reinterpret_cast<void**>(notify.put())), "IDirectSoundNotify");
  std::array<UniqueHandle, kSegments> owners;
  HANDLE events[kSegments];
  DSBPOSITIONNOTIFY positions[kSegments];
  for (DWORD i = 0; i < kSegments; ++i) {
    owners[i].reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!owners[i]) throw Failure("CreateEvent", HRESULT_FROM_WIN32(GetLastError()));
    events[i] = owners[i].get();
    positions[i] = {(i + 1) * kSegmentBytes - 1, events[i]};
  }
  Check(notify->SetNotificationPositions(kSegments, positions), "SetNotificationPositions");

  Check(playback->Play(0, 0, DSBPLAY_LOOPING), "Play");
  Check(capture->Start(DSCBSTART_LOOPING), "Start");
  std::printf("running\n");
  std::fflush(stdout);

  const DWORD leadBytes = static_cast<DWORD>(options.leadMs * kBytesPerSecond / 1000.0) & ~1u;
  const DWORD toleranceBytes = static_cast<DWORD>(0.020 * kBytesPerSecond) & ~1u;
  DWORD readPosition = 0;
  Check(capture->GetCurrentPosition(nullptr, &readPosition), "GetCurrentPosition");
  DWORD writePosition = 0;
  bool anchored = false;
  double distanceSum = 0;
  double chunkSum = 0;
  long writes = 0;
  long reanchors = 0;
  std::vector<char> block(kCaptureBytes);

  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::duration<double>(options.seconds);
  while (Clock::now() < end) {
    WaitForMultipleObjects(kSegments, events, FALSE, 100);
    DWORD captured = 0;
    DWORD readable = 0;
    if (FAILED(capture->GetCurrentPosition(&captured, &readable))) continue;
    const DWORD available = (readable + kCaptureBytes - readPosition) % kCaptureBytes;
    if (available == 0) continue;
    void* first = nullptr;
    void* second = nullptr;
    DWORD firstBytes = 0;
    DWORD secondBytes = 0;
    if (FAILED(capture->Lock(readPosition, available, &first, &firstBytes, &second, &secondBytes, 0))) continue;
    std::memcpy(block.data(), first, firstBytes);
    if (second != nullptr) std::memcpy(block.data() + firstBytes, second, secondBytes);
    capture->Unlock(first, firstBytes, second, secondBytes);
    readPosition = readable;

    DWORD play = 0;
    DWORD write = 0;
    if (FAILED(playback->GetCurrentPosition(&play, &write))) continue;
    DWORD distance = (writePosition + kPlaybackBytes - play) % kPlaybackBytes;
    const DWORD safe = (write + kPlaybackBytes - play) % kPlaybackBytes;
    // The capture and playback clocks drift apart slowly; once the distance
    // has wandered off the lead (or behind what the mixer may already have
    // taken), writing starts again at the lead.
    if (!anchored || distance < safe || distance + toleranceBytes < leadBytes ||
        distance > leadBytes + toleranceBytes) {
      if (anchored) ++reanchors;
      anchored = true;
      writePosition = (play + std::max(leadBytes, safe)) % kPlaybackBytes & ~1u;
      distance = (writePosition + kPlaybackBytes - play) % kPlaybackBytes;
    }
    if (FAILED(playback->Lock(writePosition, available, &first, &firstBytes, &second, &secondBytes, 0))) continue;
    std::memcpy(first, block.data(), firstBytes);
    if (second != nullptr) std::memcpy(second, block.data() + firstBytes, secondBytes);
    playback->Unlock(first, firstBytes, second, secondBytes);
    writePosition = (writePosition + available) % kPlaybackBytes;
    distanceSum += Milliseconds(distance);
    chunkSum += Milliseconds(available);
    ++writes;
  }
  playback->Stop();
  capture->Stop();
  if (writes == 0) throw Failure("no sound was captured", E_FAIL);
  std::printf("write-ahead %.1f ms (mean of %ld writes, %ld restarts)\n", distanceSum / writes, writes, reanchors);
  // A chunk's first sample waited this long before the chunk was handed over.
  std::printf("capture period %.1f ms\n", chunkSum / writes);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = Parse(argc, argv);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) throw Failure("CoInitializeEx", E_FAIL);
    const int status = Run(options);
    CoUninitialize();
    return status;
  } catch (const Failure& failure) {
    std::fprintf(stderr, "passthrough: %s failed (0x%08lX)\n", failure.what(),
                 static_cast<unsigned long>(failure.result));
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "passthrough: %s\n", error.what());
    return 2;
  }
}
