#include "support/VirtualAudioRig.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "common/HResultError.h"

namespace {

struct DeviceSearch {
  const wchar_t* description;
  GUID guid;
  bool found;
};

BOOL CALLBACK MatchDescription(LPGUID guid, LPCWSTR description, LPCWSTR, LPVOID context) {
  auto* search = static_cast<DeviceSearch*>(context);
  if (guid != nullptr && description != nullptr && std::wcscmp(description, search->description) == 0) {
    search->guid = *guid;
    search->found = true;
    return FALSE;
  }
  return TRUE;
}

WAVEFORMATEX PcmFormat(WORD channels) {
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = channels;
  format.nSamplesPerSec = CVirtualAudioRig::kSampleRate;
  format.wBitsPerSample = 16;
  format.nBlockAlign = static_cast<WORD>(2 * channels);
  format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
  return format;
}

}  // namespace

CVirtualAudioRig::CVirtualAudioRig() {
  DeviceSearch mic{L"mic", {}, false};
  DeviceSearch mix{L"Monitor of rec", {}, false};
  ThrowIfFailed(DirectSoundEnumerateW(MatchDescription, &mic), "DirectSoundEnumerate");
  ThrowIfFailed(DirectSoundCaptureEnumerateW(MatchDescription, &mix), "DirectSoundCaptureEnumerate");
  if (!mic.found || !mix.found) {
    throw std::runtime_error("the PulseAudio fixture's devices \"mic\" and \"Monitor of rec\" are missing");
  }
  micGuid = mic.guid;
  mixGuid = mix.guid;
}

void CVirtualAudioRig::Begin(const std::vector<std::int16_t>& signal, double seconds) {
  if (signal.empty()) {
    throw std::invalid_argument("empty signal");
  }
  recordSeconds = seconds;
  const WAVEFORMATEX mixFormat = PcmFormat(2);
  recordBytes = static_cast<DWORD>(seconds * kSampleRate) * mixFormat.nBlockAlign;

  ThrowIfFailed(DirectSoundCreate(&micGuid, micDevice.put(), nullptr), "DirectSoundCreate");
  ThrowIfFailed(micDevice->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY), "SetCooperativeLevel");
  WAVEFORMATEX micFormat = PcmFormat(1);
  DSBUFFERDESC playDesc{};
  playDesc.dwSize = sizeof playDesc;
  playDesc.dwFlags = DSBCAPS_GLOBALFOCUS | DSBCAPS_GETCURRENTPOSITION2;
  playDesc.dwBufferBytes = static_cast<DWORD>(signal.size() * sizeof(std::int16_t));
  playDesc.lpwfxFormat = &micFormat;
  ThrowIfFailed(micDevice->CreateSoundBuffer(&playDesc, micBuffer.put(), nullptr), "CreateSoundBuffer");
  void* part1 = nullptr;
  void* part2 = nullptr;
  DWORD bytes1 = 0;
  DWORD bytes2 = 0;
  ThrowIfFailed(micBuffer->Lock(0, playDesc.dwBufferBytes, &part1, &bytes1, &part2, &bytes2, 0), "Lock");
  std::memcpy(part1, signal.data(), bytes1);
  micBuffer->Unlock(part1, bytes1, part2, bytes2);

  // Wine's capture now and then never delivers from a freshly started
  // stream although the server sends; the device is then opened afresh.
  for (int attempt = 0; !StartRecording(mixFormat); ++attempt) {
    if (attempt == 3) {
      throw std::runtime_error("the recording did not start");
    }
    std::printf("virtual audio rig: the recording did not start, opening the device again\n");
  }
  ThrowIfFailed(micBuffer->Play(0, 0, 0), "Play");
}

bool CVirtualAudioRig::StartRecording(const WAVEFORMATEX& format) {
  mixBuffer.reset();
  mixDevice.reset();
  // Looping with a second to spare: the recording is stopped once it holds
  // enough, before the ring could wrap.
  ThrowIfFailed(DirectSoundCaptureCreate(&mixGuid, mixDevice.put(), nullptr), "DirectSoundCaptureCreate");
  DSCBUFFERDESC captureDesc{};
  captureDesc.dwSize = sizeof captureDesc;
  captureDesc.dwBufferBytes = recordBytes + kSampleRate * format.nBlockAlign;
  captureDesc.lpwfxFormat = const_cast<WAVEFORMATEX*>(&format);
  ThrowIfFailed(mixDevice->CreateCaptureBuffer(&captureDesc, mixBuffer.put(), nullptr), "CreateCaptureBuffer");
  ThrowIfFailed(mixBuffer->Start(DSCBSTART_LOOPING), "capture Start");
  // The stream takes some milliseconds to deliver; the signal must not start before.
  const DWORD deadline = GetTickCount() + 1000;
  DWORD captured = 0;
  while (captured == 0 && static_cast<LONG>(GetTickCount() - deadline) < 0) {
    ThrowIfFailed(mixBuffer->GetCurrentPosition(&captured, nullptr), "capture GetCurrentPosition");
    Sleep(5);
  }
  return captured != 0;
}

audio::WavData CVirtualAudioRig::End() {
  if (!mixBuffer) {
    throw std::logic_error("End without Begin");
  }
  const DWORD deadline = GetTickCount() + static_cast<DWORD>(recordSeconds * 1000) + 5000;
  DWORD captured = 0;
  while (captured < recordBytes) {
    ThrowIfFailed(mixBuffer->GetCurrentPosition(&captured, nullptr), "capture GetCurrentPosition");
    if (static_cast<LONG>(GetTickCount() - deadline) > 0) {
      throw std::runtime_error("the recording did not finish in time");
    }
    Sleep(20);
  }
  mixBuffer->Stop();
  micBuffer->Stop();

  audio::WavData wav;
  wav.sampleRate = kSampleRate;
  wav.channels = 2;
  void* part1 = nullptr;
  void* part2 = nullptr;
  DWORD bytes1 = 0;
  DWORD bytes2 = 0;
  ThrowIfFailed(mixBuffer->Lock(0, recordBytes, &part1, &bytes1, &part2, &bytes2, 0), "capture Lock");
  wav.samples.resize(bytes1 / sizeof(std::int16_t));
  std::memcpy(wav.samples.data(), part1, bytes1);
  mixBuffer->Unlock(part1, bytes1, part2, bytes2);

  micBuffer.reset();
  micDevice.reset();
  mixBuffer.reset();
  mixDevice.reset();
  return wav;
}

namespace {

// The Windows path of the Linux folder named by `variable`, created when
// missing; empty when the variable is not set. Wine maps the Linux root to
// drive Z:.
std::string OutputFolder(const char* variable) {
  const char* folder = std::getenv(variable);
  if (folder == nullptr || *folder == '\0') return {};
  const std::string windowsFolder = std::string("Z:") + folder;
  CreateDirectoryA(windowsFolder.c_str(), nullptr);
  return windowsFolder;
}

}  // namespace

void KeepRecording(const std::string& name, const audio::WavData& wav) {
  const std::string folder = OutputFolder("RYN_AUDIO_OUT");
  if (!folder.empty()) audio::WriteWav(folder + "/" + name + ".wav", wav);
}

void KeepSoakRecord(const std::string& name, const std::string& text) {
  const std::string folder = OutputFolder("RYN_SOAK_OUT");
  if (folder.empty()) return;
  std::FILE* file = std::fopen((folder + "/" + name).c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
}
