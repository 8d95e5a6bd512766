#include "support/HResultCheck.h"
#include "support/MeasureAgainIfLost.h"
#include "support/VirtualAudioRig.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tools/audio/ClickAnalysis.h"
#include "common/signal/SignalAnalysis.h"
#include "common/signal/TestSignals.h"

namespace {

using Samples = std::vector<std::int16_t>;
constexpr std::uint32_t kRate = CVirtualAudioRig::kSampleRate;

// Plays `signal` on the default playback device for as long as it lives.
class DefaultDevicePlayback {
 public:
  explicit DefaultDevicePlayback(const Samples& signal) {
    EXPECT_EQ(DirectSoundCreate(nullptr, device.put(), nullptr), DS_OK);
    device->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY);
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, kRate, kRate * 2, 2, 16, 0};
    DSBUFFERDESC desc{};
    desc.dwSize = sizeof desc;
    desc.dwFlags = DSBCAPS_GLOBALFOCUS | DSBCAPS_GETCURRENTPOSITION2;
    desc.dwBufferBytes = static_cast<DWORD>(signal.size() * 2);
    desc.lpwfxFormat = &format;
    HRESULT hr = device->CreateSoundBuffer(&desc, buffer.put(), nullptr);
    EXPECT_HR(DS_OK, hr);
    void* p1 = nullptr;
    void* p2 = nullptr;
    DWORD n1 = 0;
    DWORD n2 = 0;
    hr = buffer->Lock(0, desc.dwBufferBytes, &p1, &n1, &p2, &n2, 0);
    EXPECT_HR(DS_OK, hr);
    std::memcpy(p1, signal.data(), n1);
    buffer->Unlock(p1, n1, p2, n2);
    hr = buffer->Play(0, 0, 0);
    EXPECT_HR(DS_OK, hr);
  }

  // Waits until the buffer has played to its end, for at most `maxMs`:
  // Wine's first playback on a fresh sound server may start late.
  void WaitUntilPlayed(DWORD maxMs) {
    DWORD status = DSBSTATUS_PLAYING;
    for (DWORD waited = 0; waited < maxMs && (status & DSBSTATUS_PLAYING); waited += 10) {
      Sleep(10);
      if (FAILED(buffer->GetStatus(&status))) return;
    }
  }

 private:
  ComPtr<IDirectSound> device;
  ComPtr<IDirectSoundBuffer> buffer;
};

constexpr long kMaxSpreadSamples = static_cast<long>(0.050 * kRate);

// One recording of the rig and the clicks found in it.
struct RigTake {
  audio::WavData mix;
  audio::LagSummary lags;
};

audio::ClickTrainOptions Clicks(double seconds) {
  audio::ClickTrainOptions options;
  options.sampleRate = kRate;
  options.seconds = seconds;
  return options;
}

TEST(VirtualAudioRig, MicrophoneSignalIsRecordedOnTheLeftAndTheSpeakerStaysSilent) {
  const audio::ClickTrainOptions options = Clicks(2.5);
  const Samples clicks = audio::MakeClickTrain(options);
  const std::size_t expected = audio::ClickPositions(options).size();
  // Every click arrives, in its place: Wine's output slips behind by up to
  // some tens of milliseconds when its mixer stalls (seen: 22 ms within
  // these three seconds), so the offsets may move by that much.
  const auto whole = [&](const RigTake& take) {
    return take.lags.count == expected && take.lags.maxSamples - take.lags.minSamples <= kMaxSpreadSamples;
  };
  const RigTake take = MeasureAgainIfLost(
      "rig microphone",
      [&](int) {
        CVirtualAudioRig rig;
        rig.Begin(clicks, 3.0);
        RigTake result{rig.End(), {}};
        result.lags = audio::MeasureClickLags(clicks, result.mix.Channel(0), 5000, kRate, kRate / 20);
        return result;
      },
      whole);
  KeepRecording("rig-microphone", take.mix);
  ASSERT_EQ(take.mix.Frames(), static_cast<std::size_t>(3.0 * kRate));
  EXPECT_EQ(take.lags.count, expected);
  EXPECT_LE(take.lags.maxSamples - take.lags.minSamples, kMaxSpreadSamples) << "median " << take.lags.medianSamples;
  EXPECT_EQ(audio::Rms(take.mix.Channel(1)), 0.0);
}

// The default capture device is checked by the engine tests: their
// calibration pass-through hears the microphone through it.
TEST(VirtualAudioRig, DefaultPlaybackDeviceIsTheSpeaker) {
  const audio::ClickTrainOptions options = Clicks(2.5);
  const Samples clicks = audio::MakeClickTrain(options);
  const std::size_t expected = audio::ClickPositions(options).size();
  // The buffer is let go once its play cursor reaches the end, and what the
  // mixer still holds then may never reach the speaker: the last click lies
  // 54 ms before the end of the train, inside the routing. Half a second of
  // silence after the train carries it through.
  Samples played = clicks;
  played.resize(clicks.size() + kRate / 2, 0);
  const RigTake take = MeasureAgainIfLost(
      "rig speaker",
      [&](int) {
        CVirtualAudioRig rig;
        // Recorded for long enough that the clicks are heard whole when the
        // playback starts up to a second late (the longest lag matched).
        rig.Begin(Samples(kRate / 10, 0), 4.5);
        {
          DefaultDevicePlayback playback(played);
          playback.WaitUntilPlayed(4200);
        }
        RigTake result{rig.End(), {}};
        result.lags = audio::MeasureClickLags(clicks, result.mix.Channel(1), 5000, kRate, kRate / 20);
        return result;
      },
      [&](const RigTake& t) { return t.lags.count == expected; });
  KeepRecording("rig-default-speaker", take.mix);
  EXPECT_EQ(take.lags.count, expected);
  EXPECT_EQ(audio::Rms(take.mix.Channel(0)), 0.0);
}

}  // namespace
