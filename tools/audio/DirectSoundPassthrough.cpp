#include "tools/audio/DirectSoundPassthrough.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) {
    char text[160];
    std::snprintf(text, sizeof text, "%s failed: 0x%08lX", what, static_cast<unsigned long>(hr));
    throw std::runtime_error(text);
  }
}

WAVEFORMATEX MonoFormat() {
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 1;
  format.nSamplesPerSec = 22050;
  format.wBitsPerSample = 16;
  format.nBlockAlign = 2;
  format.nAvgBytesPerSec = 44100;
  return format;
}

}  // namespace

CDirectSoundPassthrough::CDirectSoundPassthrough() {
  WAVEFORMATEX format = MonoFormat();
  Check(DirectSoundCaptureCreate(nullptr, captureDevice.put(), nullptr), "DirectSoundCaptureCreate");
  DSCBUFFERDESC captureDesc{};
  captureDesc.dwSize = sizeof captureDesc;
  captureDesc.dwBufferBytes = kCaptureBytes;
  captureDesc.lpwfxFormat = &format;
  Check(captureDevice->CreateCaptureBuffer(&captureDesc, captureBuffer.put(), nullptr), "CreateCaptureBuffer");

  Check(DirectSoundCreate(nullptr, playbackDevice.put(), nullptr), "DirectSoundCreate");
  Check(playbackDevice->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY), "SetCooperativeLevel");
  DSBUFFERDESC playDesc{};
  playDesc.dwSize = sizeof playDesc;
  playDesc.dwFlags = DSBCAPS_GLOBALFOCUS | DSBCAPS_GETCURRENTPOSITION2;
  playDesc.dwBufferBytes = kPlaybackBytes;
  playDesc.lpwfxFormat = &format;
  Check(playbackDevice->CreateSoundBuffer(&playDesc, playbackBuffer.put(), nullptr), "CreateSoundBuffer");
  void* part1 = nullptr;
  void* part2 = nullptr;
  DWORD bytes1 = 0;
  DWORD bytes2 = 0;
  Check(playbackBuffer->Lock(0, kPlaybackBytes, &part1, &bytes1, &part2, &bytes2, 0), "Lock");
  std::memset(part1, 0, bytes1);
  playbackBuffer->Unlock(part1, bytes1, part2, bytes2);
}

CDirectSoundPassthrough::~CDirectSoundPassthrough() { Stop(); }

void CDirectSoundPassthrough::Start() {
  if (worker.joinable()) {
    return;
  }
  Check(playbackBuffer->Play(0, 0, DSBPLAY_LOOPING), "Play");
  Check(captureBuffer->Start(DSCBSTART_LOOPING), "capture Start");
  stopping = false;
  worker = std::thread([this] { Run(); });
}

void CDirectSoundPassthrough::Stop() {
  if (!worker.joinable()) {
    return;
  }
  stopping = true;
  worker.join();
  captureBuffer->Stop();
  playbackBuffer->Stop();
}

void CDirectSoundPassthrough::Run() noexcept {
  // Polls every millisecond: DirectSound hands captured data over in
  // periods, and a chunk is forwarded within a millisecond of its arrival.
  while (!stopping.load()) {
    DWORD readable = 0;
    if (SUCCEEDED(captureBuffer->GetCurrentPosition(nullptr, &readable)) && readable != readPosition) {
      const DWORD bytes = (readable + kCaptureBytes - readPosition) % kCaptureBytes;
      Forward(readPosition, bytes);
      readPosition = readable;
    }
    Sleep(1);
  }
}

void CDirectSoundPassthrough::Forward(DWORD from, DWORD bytes) {
  if (!started.load()) {
    DWORD play = 0;
    DWORD write = 0;
    playbackBuffer->GetCurrentPosition(&play, &write);
    writePosition = write;
    leadBytes = (write + kPlaybackBytes - play) % kPlaybackBytes;
    started = true;
  }
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
  chunks.fetch_add(1);
  chunkBytes.fetch_add(bytes);
}
