// Thousands of starts, stops and restarts through the component object on
// scripted devices: afterwards the process holds what it held before, the
// devices hold no reference, and the engine still runs.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "engine/RynManager.h"
#include "reliability/ReliabilitySupport.h"
#include "support/FakeDirectSound.h"
#include "support/ProcessResources.h"
#include "support/StdoutLineCounter.h"

namespace {

using comtest::Hex;
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
    ASSERT_EQ(S_OK, component->Stop());
    ASSERT_EQ(S_OK, SetParameter(component.get(), L"DELAY", 40));
    ASSERT_EQ(S_OK, SetParameter(component.get(), L"FREQUENCY_SHIFT", 0));
    ASSERT_EQ(S_OK, SetParameter(component.get(), L"ZEL_MODE", 1));
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
      ASSERT_EQ(S_OK, component->Run());
      ASSERT_EQ(S_OK, component->Stop());
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
    ASSERT_EQ(S_OK, hr) << "cycle " << i << ": " << Hex(hr);
    // Every tenth run carries audio, so stopping also meets a listener that
    // is busy or has just been woken.
    if (i % 10 == 0) {
      ASSERT_TRUE(devices.CaptureBuffer()->DeliverSegment(static_cast<DWORD>(i % 16), std::uint8_t{1}));
    }
    hr = component->Stop();
    ASSERT_EQ(S_OK, hr) << "cycle " << i << ": " << Hex(hr);
    devices.DiscardReleased();
  }
  const auto took = std::chrono::steady_clock::now() - start;
  ExpectNothingLeft(before, "Run/Stop churn", 2 * cycles, took);

  ASSERT_EQ(S_OK, component->Run());
  ExpectOneBlockPlays();
  EXPECT_EQ(S_OK, component->Stop());
}

TEST_F(Churn, RestartsThroughTheDelayLeaveNothingBehind) {
  const int restarts = reliability::ShortOrLong(2500, 10000);
  WarmUp();
  ASSERT_EQ(S_OK, component->Run());
  const ProcessResources before = ProcessResources::Measure();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < restarts; ++i) {
    // Every legal delay in turn: each restart sizes a new capture buffer.
    const LONG delay = 40 + (i % 181);
    const HRESULT hr = SetParameter(component.get(), L"DELAY", delay);
    ASSERT_EQ(S_OK, hr) << "restart " << i << ": " << Hex(hr);
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
  ASSERT_EQ(S_OK, component->Stop());
}

}  // namespace
