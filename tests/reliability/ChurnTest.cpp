// Thousands of starts, stops and restarts through the component object on
// scripted devices: afterwards the process holds what it held before, the
// devices hold no reference, and the engine still runs. On the real devices,
// the engine keeps no more than the platform's own calls do.

#include <windows.h>

#include <dsound.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "common/ComPtr.h"
#include "engine/RynManager.h"
#include "common/UniqueHandle.h"
#include "reliability/ReliabilitySupport.h"
#include "support/HResultCheck.h"
#include "support/FakeDirectSound.h"
#include "support/ProcessResources.h"
#include "support/StdoutLineCounter.h"

namespace {

using reliability::Figure;
using reliability::SetParameter;

// What a run may leave behind without being a leak: Wine's own lazily made
// handles and the heap's slack.
constexpr std::int64_t kHandleSlack = 4;
constexpr std::int64_t kMemorySlackKiB = 1024;

class Churn : public ::testing::Test {
 protected:
  void SetUp() override {
    component = reliability::CreateComponent();
    ASSERT_TRUE(component);
    ASSERT_HR(S_OK, component->Stop());
    ASSERT_HR(S_OK, SetParameter(component.get(), L"DELAY", 40));
    ASSERT_HR(S_OK, SetParameter(component.get(), L"FREQUENCY_SHIFT", 0));
    ASSERT_HR(S_OK, SetParameter(component.get(), L"ZEL_MODE", 1));
  }
  void TearDown() override {
    manager.Stop();
    EXPECT_EQ(0u, devices.LiveReferences());
    EXPECT_EQ(0, devices.CallsAfterRelease());
  }

  // A few cycles first, so that what Wine and the runtime create once
  // (thread-local data, error-object machinery) is not counted as growth.
  void WarmUp() {
    for (int i = 0; i < 20; ++i) {
      ASSERT_HR(S_OK, component->Run());
      ASSERT_HR(S_OK, component->Stop());
    }
    devices.DiscardReleased();
  }

  // Hands one segment to the running engine and waits until it has been
  // written to playback.
  void ExpectOneBlockPlays() {
    const std::uint64_t before = manager.GetCapturedBlockCount();
    fakeds::FakeCaptureBuffer* capture = devices.CaptureBuffer();
    ASSERT_NE(nullptr, capture);
    ASSERT_TRUE(capture->DeliverSegment(0, std::uint8_t{0x5A}));
    ASSERT_TRUE(devices.WaitUntil([&] { return manager.GetCapturedBlockCount() > before; }))
        << "the running engine handed no segment to playback";
    EXPECT_GE(devices.SecondaryBuffer()->Writes().size(), 2u);
  }

  // runningReferences: what the devices of a running engine hold (five
  // objects, one reference each), 0 when stopped.
  void ExpectNothingLeft(const ProcessResources& before, const char* what, int operations,
                         std::chrono::steady_clock::duration took, ULONG runningReferences = 0) {
    devices.DiscardReleased();
    const ProcessResources after = ProcessResources::Measure();
    const ProcessResources delta = after - before;
    const double seconds = std::chrono::duration<double>(took).count();
    Figure("%s: %d operations in %.1f s (%.2f ms each), %lld engine log lines", what, operations, seconds,
           1000.0 * seconds / operations, static_cast<long long>(out.Lines()));
    Figure("%s: before %lld handles, %lld threads, %lld KiB resident; leaked: %s; COM references %lu beyond the "
           "running engine's, calls on released devices %d",
           what, static_cast<long long>(before.handles), static_cast<long long>(before.threads),
           static_cast<long long>(before.residentKiB), Describe(delta).c_str(),
           devices.LiveReferences() - runningReferences, devices.CallsAfterRelease());
    EXPECT_LE(delta.handles, kHandleSlack) << Describe(delta);
    EXPECT_EQ(0, delta.threads) << Describe(delta);
    EXPECT_LE(delta.residentKiB, kMemorySlackKiB) << Describe(delta);
    EXPECT_LE(delta.dataKiB, kMemorySlackKiB) << Describe(delta);
    EXPECT_EQ(runningReferences, devices.LiveReferences());
    EXPECT_EQ(0, devices.CallsAfterRelease());
  }

  StdoutLineCounter out;
  fakeds::FakeAudioDevices devices;
  ComPtr<IVelComponent> component;
  CRynManager& manager = CRynManager::GetInstance();
};

TEST_F(Churn, RunStopCyclesLeaveNothingBehind) {
  const int cycles = reliability::ShortOrLong(2500, 10000);
  WarmUp();
  const ProcessResources before = ProcessResources::Measure();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < cycles; ++i) {
    HRESULT hr = component->Run();
    ASSERT_HR(S_OK, hr) << "cycle " << i;
    // Every tenth run carries audio, so stopping also meets a listener that
    // is busy or has just been woken.
    if (i % 10 == 0) {
      ASSERT_TRUE(devices.CaptureBuffer()->DeliverSegment(static_cast<DWORD>(i % 16), std::uint8_t{1}));
    }
    hr = component->Stop();
    ASSERT_HR(S_OK, hr) << "cycle " << i;
    devices.DiscardReleased();
  }
  const auto took = std::chrono::steady_clock::now() - start;
  ExpectNothingLeft(before, "Run/Stop churn", 2 * cycles, took);

  ASSERT_HR(S_OK, component->Run());
  ExpectOneBlockPlays();
  EXPECT_HR(S_OK, component->Stop());
}

TEST_F(Churn, RestartsThroughTheDelayLeaveNothingBehind) {
  const int restarts = reliability::ShortOrLong(2500, 10000);
  WarmUp();
  ASSERT_HR(S_OK, component->Run());
  const ProcessResources before = ProcessResources::Measure();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < restarts; ++i) {
    // Every legal delay in turn: each restart sizes a new capture buffer.
    const LONG delay = 40 + (i % 181);
    const HRESULT hr = SetParameter(component.get(), L"DELAY", delay);
    ASSERT_HR(S_OK, hr) << "restart " << i;
    if (i % 10 == 0) {
      ASSERT_TRUE(devices.CaptureBuffer()->DeliverSegment(static_cast<DWORD>(i % 16), std::uint8_t{2}));
    }
    devices.DiscardReleased();
  }
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(manager.IsRunning());
  EXPECT_EQ(40 + (restarts - 1) % 181, manager.GetDelay());
  // Measured, like the start, with one engine running.
  ExpectNothingLeft(before, "DELAY restart churn", restarts, took, 5);
  ExpectOneBlockPlays();
  ASSERT_HR(S_OK, component->Stop());
}

// ---------------------------------------------------------------------------
// On the real devices of the PulseAudio fixture (label audio). Wine's own
// capture path keeps a few KiB for every capture device opened and closed,
// so the engine is held to what the same DirectSound calls keep without it.

// One start and stop of the platform alone: the devices, buffers and
// notifications the engine's Run builds and its Stop releases.
void PlatformCycle() {
  WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
  ComPtr<IDirectSound> playback;
  if (FAILED(DirectSoundCreate(nullptr, playback.put(), nullptr))) return;
  playback->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY);
  DSBUFFERDESC primaryDesc{sizeof(DSBUFFERDESC), DSBCAPS_PRIMARYBUFFER | DSBCAPS_CTRLVOLUME, 0, 0, nullptr, {}};
  ComPtr<IDirectSoundBuffer> primary;
  playback->CreateSoundBuffer(&primaryDesc, primary.put(), nullptr);
  DSBUFFERDESC secondaryDesc{sizeof(DSBUFFERDESC), DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_STICKYFOCUS, 88200, 0,
                             &format, {}};
  ComPtr<IDirectSoundBuffer> secondary;
  if (FAILED(playback->CreateSoundBuffer(&secondaryDesc, secondary.put(), nullptr))) return;
  secondary->Play(0, 0, DSBPLAY_LOOPING);

  ComPtr<IDirectSoundCapture> capture;
  if (FAILED(DirectSoundCaptureCreate(nullptr, capture.put(), nullptr))) return;
  DSCBUFFERDESC captureDesc{sizeof(DSCBUFFERDESC), 0, 7040, 0, &format, 0, nullptr};
  ComPtr<IDirectSoundCaptureBuffer> captureBuffer;
  if (FAILED(capture->CreateCaptureBuffer(&captureDesc, captureBuffer.put(), nullptr))) return;
  ComPtr<IDirectSoundNotify> notify;
  captureBuffer->QueryInterface(IID_IDirectSoundNotify, reinterpret_cast<void**>(notify.put()));
  UniqueHandle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  DSBPOSITIONNOTIFY positions[] = {{439, event.get()}, {static_cast<DWORD>(DSBPN_OFFSETSTOP), event.get()}};
  if (notify) notify->SetNotificationPositions(2, positions);
  captureBuffer->Start(DSCBSTART_LOOPING);
  captureBuffer->Stop();
  secondary->Stop();
}

TEST(RealDeviceChurn, EngineKeepsNoMoreThanThePlatformItself) {
  if (!reliability::RealAudio()) GTEST_SKIP() << "needs the PulseAudio fixture (ctest label audio)";
  const StdoutLineCounter out;
  const int cycles = reliability::ShortOrLong(200, 1000);
  ComPtr<IVelComponent> component = reliability::CreateComponent();
  ASSERT_TRUE(component);
  ASSERT_HR(S_OK, SetParameter(component.get(), L"DELAY", 40));
  for (int i = 0; i < 20; ++i) {
    PlatformCycle();
    ASSERT_HR(S_OK, component->Run());
    ASSERT_HR(S_OK, component->Stop());
  }

  const ProcessResources platformStart = ProcessResources::Measure();
  for (int i = 0; i < cycles; ++i) PlatformCycle();
  const ProcessResources platform = ProcessResources::Measure() - platformStart;

  const ProcessResources engineStart = ProcessResources::Measure();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < cycles; ++i) {
    HRESULT hr = component->Run();
    ASSERT_HR(S_OK, hr) << "cycle " << i;
    hr = component->Stop();
    ASSERT_HR(S_OK, hr) << "cycle " << i;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const ProcessResources engine = ProcessResources::Measure() - engineStart;

  const double platformKiB = static_cast<double>(platform.residentKiB) / cycles;
  const double engineKiB = static_cast<double>(engine.residentKiB) / cycles;
  Figure("real-device churn: %d Run/Stop cycles in %.1f s; engine: %s (%.1f KiB a cycle); the same DirectSound "
         "calls without the engine: %s (%.1f KiB a cycle)",
         cycles, seconds, Describe(engine).c_str(), engineKiB, Describe(platform).c_str(), platformKiB);
  EXPECT_LE(engine.handles, kHandleSlack) << Describe(engine);
  EXPECT_EQ(0, engine.threads) << Describe(engine);
  EXPECT_LE(engineKiB, platformKiB + 2.0) << "the engine keeps memory of its own for every start";
}

}  // namespace
