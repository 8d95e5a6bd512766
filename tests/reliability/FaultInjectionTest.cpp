// Every platform call of the engine that can fail is made to fail in turn,
// while Run builds the engine and while SetParameter("DELAY") rebuilds it.
// Failures the host must hear of arrive with their result and text; failures
// on the capture thread are ridden out. Either way nothing stays held and the
// next Run, without the fault, plays again.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "engine/RynManager.h"
#include "engine/WorkerThread.h"
#include "reliability/ReliabilitySupport.h"
#include "support/HResultCheck.h"
#include "support/FakeDirectSound.h"
#include "support/ProcessResources.h"
#include "support/StdoutLineCounter.h"

namespace {

using fakeds::FakeAudioDevices;
using fakeds::FakeCaptureBuffer;
using fakeds::FakeSoundBuffer;
using reliability::Figure;
using reliability::SetParameter;

// The threading library makes a condition variable's two semaphores and its
// mutex's event on first contention, which the machine's load decides; they
// stay for the object's life. A handle leaked per fault is caught by
// RepeatedFaultsDoNotAccumulate, where it adds up over hundreds of faults.
constexpr std::int64_t kHandleSlack = 4;
constexpr LONG kRestartDelay = 100;

// Totals for the closing figures.
struct Totals {
  std::atomic<int> faults{0};
  std::atomic<int> hostVisible{0};
  std::atomic<int> riddenOut{0};
  std::atomic<std::int64_t> worstHandles{0};
  std::atomic<std::int64_t> worstThreads{0};
  std::atomic<unsigned long> worstReferences{0};
};
Totals totals;

void Worst(std::atomic<std::int64_t>& worst, std::int64_t value) {
  std::int64_t seen = worst.load();
  while (value > seen && !worst.compare_exchange_weak(seen, value)) {
  }
}

enum class Phase { Run, Restart };

const char* PhaseName(Phase phase) { return phase == Phase::Run ? "Run" : "Restart"; }
void PrintTo(Phase phase, std::ostream* os) { *os << PhaseName(phase); }

// In place of the runtime library's thread start: fails with this errno.
std::atomic<int> threadStartError{0};

std::uintptr_t FailingThreadStart(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*) {
  errno = threadStartError.load();
  return 0;
}

// Installs the failing thread start for its lifetime.
class ThreadStartFailure {
 public:
  explicit ThreadStartFailure(int error) {
    if (error == 0) return;
    threadStartError.store(error);
    SetThreadStartFunction(&FailingThreadStart);
    installed = true;
  }
  ThreadStartFailure(const ThreadStartFailure&) = delete;
  ThreadStartFailure& operator=(const ThreadStartFailure&) = delete;
  ~ThreadStartFailure() {
    if (installed) SetThreadStartFunction(nullptr);
  }

 private:
  bool installed = false;
};

class FiguresAtTheEnd : public ::testing::Environment {
 public:
  void TearDown() override {
    Figure("fault injection: %d faults injected (%d reported to the host, %d ridden out); worst leak after a "
           "fault: handles %+lld, threads %+lld, COM references %lu",
           totals.faults.load(), totals.hostVisible.load(), totals.riddenOut.load(),
           static_cast<long long>(totals.worstHandles.load()), static_cast<long long>(totals.worstThreads.load()),
           totals.worstReferences.load());
  }
};

const auto* const figures = ::testing::AddGlobalTestEnvironment(new FiguresAtTheEnd);

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override {
    component = reliability::CreateComponent();
    ASSERT_TRUE(component);
    manager.Stop();
    manager.SetCaptureTimeouts(CaptureTimeouts{});
    manager.SetDelay(40);
    manager.SetFrequencyShift(0);
    manager.SetVolume(100);
    manager.SetZelMode(1);
    // Once through a failure and a success with audio, so that what the
    // platform and the fakes make on first use (error objects, registry
    // handles, the synchronisation objects of the threading library) is not
    // counted.
    devices.script.createPlayback = DSERR_NODRIVER;
    component->Run();
    devices.script = fakeds::Script();
    ASSERT_HR(S_OK, component->Run());
    ASSERT_TRUE(DeliverAndWait(0x01));
    ASSERT_HR(S_OK, component->Stop());
    SetErrorInfo(0, nullptr);
    devices.DiscardReleased();
    baseline = ProcessResources::Measure();
    baselineHandles = ProcessResources::OpenHandles();
  }

  void TearDown() override {
    SetThreadStartFunction(nullptr);
    manager.Stop();
    EXPECT_EQ(0u, devices.LiveReferences());
    EXPECT_EQ(0, devices.CallsAfterRelease());
  }

  // Stopped for Run; running, on devices made by the restart, for Restart.
  HRESULT Provoke(Phase phase) {
    return phase == Phase::Run ? component->Run() : SetParameter(component.get(), L"DELAY", kRestartDelay);
  }

  void ExpectErrorObject(const wchar_t* description) {
    const comtest::ErrorObject error = comtest::TakeErrorObject();
    ASSERT_TRUE(error.present) << "no error object for the host";
    EXPECT_TRUE(IsEqualGUID(IID_IVelComponent, error.guid));
    EXPECT_EQ(description, error.description);
  }

  void ExpectNoErrorObject() { EXPECT_FALSE(comtest::TakeErrorObject().present); }

  // Wine finishes tearing down a joined thread a little after its handle is
  // signalled; on a loaded machine that can take seconds, so the counts are
  // given a bounded time (ms) to settle before they are judged.
  ProcessResources SettledDelta() const {
    constexpr ULONGLONG kSettleMs = 10000;
    const ULONGLONG deadline = GetTickCount64() + kSettleMs;
    ProcessResources delta = ProcessResources::Measure() - baseline;
    while ((delta.threads != 0 || delta.handles > kHandleSlack) && GetTickCount64() < deadline) {
      Sleep(20);
      delta = ProcessResources::Measure() - baseline;
    }
    return delta;
  }

  // The engine is stopped and holds nothing: no device reference, no
  // listener thread, no handle beyond Wine's slack.
  void ExpectNothingHeld() {
    EXPECT_FALSE(manager.IsRunning());
    const ProcessResources delta = SettledDelta();
    const unsigned long references = devices.LiveReferences();
    Worst(totals.worstHandles, delta.handles);
    Worst(totals.worstThreads, delta.threads);
    if (references > totals.worstReferences.load()) totals.worstReferences.store(references);
    EXPECT_EQ(0u, references);
    EXPECT_EQ(0, delta.threads) << Describe(delta);
    EXPECT_LE(delta.handles, kHandleSlack) << Describe(delta) << "; new: " << DescribeNewHandles(baselineHandles);
    EXPECT_EQ(0, devices.CallsAfterRelease());
  }

  // One segment of `fill` bytes goes in; true once the listener has finished
  // with it: its lock was refused, or the locked region came back.
  bool DeliverAndWait(std::uint8_t fill, DWORD entry = 0) {
    FakeCaptureBuffer* capture = devices.CaptureBuffer();
    const std::size_t locksBefore = capture->Locks().size();
    const std::size_t unlocksBefore = capture->Unlocks().size();
    if (!capture->DeliverSegment(entry, fill)) return false;
    return devices.WaitUntil([&] {
      const auto locks = capture->Locks();
      if (locks.size() <= locksBefore) return false;
      return FAILED(locks.back().result) || capture->Unlocks().size() > unlocksBefore;
    });
  }

  // Whether the last block lock on the playback ring succeeded and the ring
  // holds `fill` there.
  bool LastBlockPlayed(std::uint8_t fill) {
    FakeSoundBuffer* secondary = devices.SecondaryBuffer();
    const DWORD segment = devices.CaptureBuffer()->Desc().dwBufferBytes / 16;
    const auto locks = secondary->Locks();
    // The resampler keeps a block's last eight samples for the next one: the
    // first block of a run comes out 16 bytes short, and every later one is
    // led by the 16 bytes kept from the block before.
    for (auto lock = locks.rbegin(); lock != locks.rend(); ++lock) {
      if (lock->bytes != segment && lock->bytes != segment - 16) continue;
      const DWORD lead = lock->bytes == segment ? 16 : 0;
      return SUCCEEDED(lock->result) && secondary->Bytes(lock->offset + lead, lock->bytes - lead) ==
                                            std::vector<std::uint8_t>(lock->bytes - lead, fill);
    }
    return false;
  }

  // Without the fault, Run starts the engine and a segment is heard.
  void ExpectRunsAgain() {
    devices.script = fakeds::Script();
    SetThreadStartFunction(nullptr);
    HRESULT hr = component->Run();
    ASSERT_HR(S_OK, hr);
    ASSERT_TRUE(manager.IsRunning());
    ASSERT_TRUE(DeliverAndWait(0x3C, 3));
    EXPECT_TRUE(LastBlockPlayed(0x3C));
    hr = component->Stop();
    EXPECT_HR(S_OK, hr);
    ExpectNothingHeld();
  }

  StdoutLineCounter out;
  FakeAudioDevices devices;
  ComPtr<IVelComponent> component;
  CRynManager& manager = CRynManager::GetInstance();
  ProcessResources baseline;
  std::vector<std::uintptr_t> baselineHandles;
};

// ---------------------------------------------------------------------------
// Faults the host hears of.

struct HostFault {
  const char* name;
  void (*inject)(fakeds::Script&);
  int threadStartErrno;  // non-zero: the listener's thread cannot start
  HRESULT expected;
  const wchar_t* description;
};

const HostFault kHostFaults[] = {
    {"PlaybackDevice", [](fakeds::Script& s) { s.createPlayback = DSERR_NODRIVER; }, 0,
     static_cast<HRESULT>(0x80042009), L"Could not initialize DirectX"},
    {"PrimaryBuffer", [](fakeds::Script& s) { s.createPrimaryBuffer = DSERR_OUTOFMEMORY; }, 0,
     static_cast<HRESULT>(0x80042008), L"Could not create DirectX primary buffer"},
    {"SecondaryBuffer", [](fakeds::Script& s) { s.createSecondaryBuffer = DSERR_BADFORMAT; }, 0,
     static_cast<HRESULT>(0x80042002), L"Could not create secondary DirectX buffer"},
    {"PlaybackStart", [](fakeds::Script& s) { s.play = DSERR_PRIOLEVELNEEDED; }, 0,
     static_cast<HRESULT>(0x80042002), L"Could not create secondary DirectX buffer"},
    {"Volume", [](fakeds::Script& s) { s.primarySetVolume = DSERR_CONTROLUNAVAIL; }, 0,
     static_cast<HRESULT>(0x80042007), L"Could not set the parameter"},
    {"VolumeWithPositiveResult", [](fakeds::Script& s) { s.primarySetVolume = S_FALSE; }, 0,
     static_cast<HRESULT>(0x80042007), L"Could not set the parameter"},
    {"CaptureDevice", [](fakeds::Script& s) { s.createCapture = DSERR_ALLOCATED; }, 0,
     static_cast<HRESULT>(0x80042009), L"Could not initialize DirectX"},
    {"CaptureBuffer", [](fakeds::Script& s) { s.createCaptureBuffer = DSERR_INVALIDPARAM; }, 0,
     static_cast<HRESULT>(0x80042003), L"Could not create DirectX capture buffer"},
    {"NotifyInterfaceMissing", [](fakeds::Script& s) { s.captureBufferHasNotify = false; }, 0,
     static_cast<HRESULT>(0x80042004), L"Could not set DirectX notifications"},
    {"NotificationPositions", [](fakeds::Script& s) { s.setNotificationPositions = DSERR_INVALIDPARAM; }, 0,
     static_cast<HRESULT>(0x80042004), L"Could not set DirectX notifications"},
    {"ThreadStartTooManyThreads", [](fakeds::Script&) {}, EAGAIN, static_cast<HRESULT>(0x80042004),
     L"Could not set DirectX notifications"},
    {"ThreadStartInvalidArgument", [](fakeds::Script&) {}, EINVAL, static_cast<HRESULT>(0x80042004),
     L"Could not set DirectX notifications"},
    {"ThreadStartOutOfMemory", [](fakeds::Script&) {}, ENOMEM, static_cast<HRESULT>(0x80042004),
     L"Could not set DirectX notifications"},
    {"CaptureStart", [](fakeds::Script& s) { s.startCapture = DSERR_NODRIVER; }, 0,
     static_cast<HRESULT>(0x80042003), L"Could not create DirectX capture buffer"},
};

void PrintTo(const HostFault& fault, std::ostream* os) { *os << fault.name; }

class HostVisibleFault : public FaultInjection,
                         public ::testing::WithParamInterface<std::tuple<HostFault, Phase>> {};

TEST_P(HostVisibleFault, ReachesTheHostAndLeavesNothingHeld) {
  const HostFault& fault = std::get<0>(GetParam());
  const Phase phase = std::get<1>(GetParam());
  if (phase == Phase::Restart) {
    ASSERT_HR(S_OK, component->Run());
  }

  HRESULT hr;
  {
    fault.inject(devices.script);
    const ThreadStartFailure threadStart(fault.threadStartErrno);
    hr = Provoke(phase);
  }
  ++totals.faults;
  ++totals.hostVisible;
  EXPECT_HR(fault.expected, hr);
  ExpectErrorObject(fault.description);
  if (phase == Phase::Restart) {
    EXPECT_EQ(kRestartDelay, manager.GetDelay()) << "a failed restart keeps the new value";
  }
  ExpectNothingHeld();
  EXPECT_HR(S_OK, component->Stop()) << "Stop after a failed start does nothing";
  ExpectRunsAgain();
}

std::string HostFaultName(const ::testing::TestParamInfo<std::tuple<HostFault, Phase>>& info) {
  return std::string(std::get<0>(info.param).name) + "During" + PhaseName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Faults, HostVisibleFault,
                         ::testing::Combine(::testing::ValuesIn(kHostFaults),
                                            ::testing::Values(Phase::Run, Phase::Restart)),
                         HostFaultName);

TEST_F(FaultInjection, VolumeRefusedWhileRunningIsReportedWithoutRestart) {
  ASSERT_HR(S_OK, component->Run());
  devices.PrimaryBuffer()->SetVolumeResult(DSERR_GENERIC);
  ++totals.faults;
  ++totals.hostVisible;
  const HRESULT hr = SetParameter(component.get(), L"VOLUME", 30);
  EXPECT_HR(static_cast<HRESULT>(0x80042007), hr);
  ExpectErrorObject(L"Could not set the parameter");
  EXPECT_EQ(30, manager.GetVolume());
  EXPECT_TRUE(manager.IsRunning()) << "the volume never restarts the engine";
  EXPECT_EQ(1, devices.Created().playbackDevices);
  ASSERT_TRUE(DeliverAndWait(0x21));
  EXPECT_TRUE(LastBlockPlayed(0x21));
  EXPECT_HR(S_OK, component->Stop());
  ExpectNothingHeld();
  ExpectRunsAgain();
}

// ---------------------------------------------------------------------------
// Faults met on the capture thread or in calls whose result the engine does
// not report: the host hears nothing, the engine keeps running.

struct RiddenOutFault {
  const char* name;
  // Arms the fault on the running engine's devices.
  void (*arm)(FakeAudioDevices&);
  // Whether the faulty segment still reaches playback.
  bool blockPlays;
};

const RiddenOutFault kRiddenOutFaults[] = {
    {"PlayCursorRead", [](FakeAudioDevices& d) { d.SecondaryBuffer()->SetCursorResult(DSERR_INVALIDCALL); }, true},
    {"BlockPathRaises", [](FakeAudioDevices& d) { d.SecondaryBuffer()->ThrowOnNextCursorRead(); }, false},
    {"PlaybackLock", [](FakeAudioDevices& d) { d.SecondaryBuffer()->QueueLockResults({DSERR_INVALIDPARAM}); }, false},
    {"FillLock", [](FakeAudioDevices& d) { d.SecondaryBuffer()->QueueLockResults({DS_OK, DSERR_INVALIDPARAM}); },
     true},
    {"LostBufferRestored", [](FakeAudioDevices& d) { d.SecondaryBuffer()->QueueLockResults({DSERR_BUFFERLOST}); },
     true},
    {"LostBufferNotRestored",
     [](FakeAudioDevices& d) {
       d.SecondaryBuffer()->SetRestoreResult(DSERR_BUFFERLOST);
       d.SecondaryBuffer()->QueueLockResults({DSERR_BUFFERLOST, DSERR_BUFFERLOST});
     },
     false},
    {"LostBufferStoppedPlaying",
     [](FakeAudioDevices& d) {
       d.SecondaryBuffer()->SetPlaying(false);
       d.SecondaryBuffer()->QueueLockResults({DSERR_BUFFERLOST});
     },
     true},
    {"CaptureLock", [](FakeAudioDevices& d) { d.CaptureBuffer()->QueueLockResults({DSERR_INVALIDPARAM}); }, false},
};

void PrintTo(const RiddenOutFault& fault, std::ostream* os) { *os << fault.name; }

class RiddenOutFaultTest : public FaultInjection,
                           public ::testing::WithParamInterface<std::tuple<RiddenOutFault, Phase>> {};

TEST_P(RiddenOutFaultTest, EngineKeepsPlayingAndLeavesNothingHeld) {
  const RiddenOutFault& fault = std::get<0>(GetParam());
  const Phase phase = std::get<1>(GetParam());
  if (phase == Phase::Restart) {
    ASSERT_HR(S_OK, component->Run());
  }
  HRESULT hr = Provoke(phase);
  ASSERT_HR(S_OK, hr);

  fault.arm(devices);
  ++totals.faults;
  ++totals.riddenOut;
  const std::uint64_t blocksBefore = manager.GetCapturedBlockCount();
  ASSERT_TRUE(DeliverAndWait(0x11, 0));
  EXPECT_EQ(fault.blockPlays, LastBlockPlayed(0x11));
  EXPECT_TRUE(manager.IsRunning());
  ExpectNoErrorObject();

  // The next segment, without the fault, is heard.
  ASSERT_TRUE(DeliverAndWait(0x22, 1));
  EXPECT_TRUE(LastBlockPlayed(0x22));
  EXPECT_GE(manager.GetCapturedBlockCount(), blocksBefore + 1);
  EXPECT_TRUE(devices.SecondaryBuffer()->IsPlaying());

  hr = component->Stop();
  EXPECT_HR(S_OK, hr);
  ExpectNoErrorObject();
  ExpectNothingHeld();
  ExpectRunsAgain();
}

std::string RiddenOutName(const ::testing::TestParamInfo<std::tuple<RiddenOutFault, Phase>>& info) {
  return std::string(std::get<0>(info.param).name) + "During" + PhaseName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Faults, RiddenOutFaultTest,
                         ::testing::Combine(::testing::ValuesIn(kRiddenOutFaults),
                                            ::testing::Values(Phase::Run, Phase::Restart)),
                         RiddenOutName);

// ---------------------------------------------------------------------------
// Every fault again and again: a leak too small to tell from the platform's
// slack in one case adds up here.

TEST_F(FaultInjection, RepeatedFaultsDoNotAccumulate) {
  const int rounds = reliability::ShortOrLong(10, 100);
  int injected = 0;
  for (int round = 0; round < rounds; ++round) {
    for (const HostFault& fault : kHostFaults) {
      for (const Phase phase : {Phase::Run, Phase::Restart}) {
        if (phase == Phase::Restart) {
          ASSERT_HR(S_OK, component->Run());
        }
        fault.inject(devices.script);
        HRESULT hr;
        {
          const ThreadStartFailure threadStart(fault.threadStartErrno);
          hr = Provoke(phase);
        }
        devices.script = fakeds::Script();
        ASSERT_HR(fault.expected, hr) << fault.name << " round " << round;
        ASSERT_TRUE(comtest::TakeErrorObject().present);
        ++injected;
        ++totals.hostVisible;
        devices.DiscardReleased();
      }
    }
    for (const RiddenOutFault& fault : kRiddenOutFaults) {
      ASSERT_HR(S_OK, component->Run());
      fault.arm(devices);
      ASSERT_TRUE(DeliverAndWait(0x66)) << fault.name << " round " << round;
      ASSERT_HR(S_OK, component->Stop());
      ++injected;
      ++totals.riddenOut;
      devices.DiscardReleased();
    }
  }
  totals.faults += injected;
  const ProcessResources delta = ProcessResources::Measure() - baseline;
  Figure("fault injection, repeated: %d faults in %d rounds; leaked: %s, COM references %lu", injected, rounds,
         Describe(delta).c_str(), devices.LiveReferences());
  ExpectNothingHeld();
  EXPECT_LE(delta.residentKiB, 1024) << Describe(delta);
  ExpectRunsAgain();
}

// ---------------------------------------------------------------------------
// A listener that does not end within the first wait: the caller waits the
// grace too instead of destroying what the thread still uses.

class SlowListener : public FaultInjection, public ::testing::WithParamInterface<bool> {};

TEST_P(SlowListener, IsAwaitedAndNothingIsLeftHeld) {
  const bool restart = GetParam();
  // A first wait that runs out at once; the grace stays the product's, far
  // beyond the moment the listener is let go.
  CaptureTimeouts timeouts;
  timeouts.listenerWaitMs = 20;
  manager.SetCaptureTimeouts(timeouts);
  ASSERT_HR(S_OK, component->Run());
  FakeCaptureBuffer* capture = devices.CaptureBuffer();
  capture->CloseLockGate();
  ASSERT_TRUE(capture->DeliverSegment(0, std::uint8_t{0x44}));
  ASSERT_TRUE(devices.WaitUntil([&] { return capture->LocksWaitingAtGate() == 1; }));
  ++totals.faults;
  ++totals.riddenOut;

  // While the listener sits in Lock only the caller's waits write lines,
  // one as each begins and one as it ends: the third line shows the first
  // wait run out and the second begun. The listener is let go then.
  const std::int64_t linesBefore = out.Lines();
  std::atomic<bool> secondWaitBegan{false};
  std::thread opener([&] {
    for (int i = 0; i < 500 && !secondWaitBegan; ++i) {
      secondWaitBegan = out.Lines() >= linesBefore + 3;
      if (!secondWaitBegan) Sleep(10);
    }
    capture->OpenLockGate();
  });
  const HRESULT hr = restart ? SetParameter(component.get(), L"DELAY", kRestartDelay) : component->Stop();
  const std::size_t unlocked = capture->Unlocks().size();
  opener.join();

  EXPECT_TRUE(secondWaitBegan.load()) << "no second wait began while the listener ran";
  EXPECT_EQ(1u, unlocked) << "the call returned while the listener still ran";
  EXPECT_HR(S_OK, hr);
  ExpectNoErrorObject();
  EXPECT_EQ(restart, manager.IsRunning());
  if (restart) {
    EXPECT_EQ(kRestartDelay, manager.GetDelay());
    ASSERT_TRUE(DeliverAndWait(0x55, 2));
    EXPECT_TRUE(LastBlockPlayed(0x55));
    EXPECT_HR(S_OK, component->Stop());
  }
  ExpectNothingHeld();
  ExpectRunsAgain();
}

INSTANTIATE_TEST_SUITE_P(Faults, SlowListener, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "DuringRestart" : "DuringStop");
                         });

// A listener stuck in a driver call past every wait: the host hears of it,
// what the thread uses stays alive, the next Run works, and once the call
// returns the thread's segment reaches nobody and its objects are freed.
class StuckListener : public FaultInjection, public ::testing::WithParamInterface<bool> {};

TEST_P(StuckListener, IsReportedKeepsItsObjectsAndTheNextRunPlays) {
  const bool restart = GetParam();
  // Given up after 50 ms rather than the product's five seconds.
  CaptureTimeouts timeouts;
  timeouts.listenerWaitMs = 20;
  timeouts.listenerGraceMs = 30;
  manager.SetCaptureTimeouts(timeouts);
  ASSERT_HR(S_OK, component->Run());
  FakeCaptureBuffer* stuck = devices.CaptureBuffer();
  FakeSoundBuffer* stuckPlayback = devices.SecondaryBuffer();
  stuck->CloseLockGate();
  ASSERT_TRUE(stuck->DeliverSegment(0, std::uint8_t{0x44}));
  ASSERT_TRUE(devices.WaitUntil([&] { return stuck->LocksWaitingAtGate() == 1; }));
  ++totals.faults;
  ++totals.hostVisible;

  HRESULT hr = restart ? SetParameter(component.get(), L"DELAY", kRestartDelay) : component->Stop();
  EXPECT_HR(static_cast<HRESULT>(0x80042001), hr);
  ExpectErrorObject(L"The capturing device is busy");
  EXPECT_FALSE(manager.IsRunning());
  EXPECT_GT(stuck->References(), 0u) << "the capture buffer was released under its thread";
  EXPECT_GT(stuckPlayback->References(), 0u) << "the playback buffer was released under the thread";
  EXPECT_EQ(0, devices.CallsAfterRelease());

  hr = component->Run();
  ASSERT_HR(S_OK, hr);
  ASSERT_NE(stuck, devices.CaptureBuffer());
  ASSERT_TRUE(DeliverAndWait(0x55, 2));
  EXPECT_TRUE(LastBlockPlayed(0x55));
  const std::uint64_t blocks = manager.GetCapturedBlockCount();

  stuck->OpenLockGate();
  ASSERT_TRUE(devices.WaitUntil([&] { return stuck->Unlocks().size() == 1; }));
  EXPECT_EQ(blocks, manager.GetCapturedBlockCount()) << "the stuck thread's segment reached the new run";
  EXPECT_TRUE(LastBlockPlayed(0x55));
  hr = component->Stop();
  EXPECT_HR(S_OK, hr);
  // Freed by a Stop that finds the thread ended; it ends a moment after its
  // segment, so Stop is asked again until then.
  for (int i = 0; i < 500 && stuck->References() > 0; ++i) {
    Sleep(10);
    EXPECT_HR(S_OK, component->Stop());
  }
  EXPECT_EQ(0u, stuck->References());
  ExpectNothingHeld();
  ExpectRunsAgain();
}

INSTANTIATE_TEST_SUITE_P(Faults, StuckListener, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "DuringRestart" : "DuringStop");
                         });

}  // namespace
