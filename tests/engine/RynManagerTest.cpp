#include "engine/RynManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/UniqueHandle.h"
#include "engine/RealtimeScheduling.h"
#include "engine/VelException.h"
#include "support/DebugOutputCapture.h"
#include "support/FakeDirectSound.h"
#include "support/StdoutCapture.h"

namespace {

using fakeds::FakeAudioDevices;
using fakeds::FakeCaptureBuffer;
using fakeds::FakeSoundBuffer;

std::int32_t CodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CVelException& error) {
    return error.GetCode();
  }
  return 0;
}

bool IsSignalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

class ManagerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    manager.Stop();
    EXPECT_EQ(devices.LiveReferences(), 0u);
    EXPECT_EQ(devices.CallsAfterRelease(), 0);
  }

  // Every object of a running engine holds exactly one reference.
  void ExpectOneLiveEngine() {
    EXPECT_TRUE(manager.IsRunning());
    EXPECT_EQ(devices.LiveReferences(), 5u);
    EXPECT_EQ(devices.PlaybackDevice()->References(), 1u);
    EXPECT_EQ(devices.PrimaryBuffer()->References(), 1u);
    EXPECT_EQ(devices.SecondaryBuffer()->References(), 1u);
    EXPECT_EQ(devices.CaptureDevice()->References(), 1u);
    EXPECT_EQ(devices.CaptureBuffer()->References(), 1u);
    EXPECT_TRUE(devices.SecondaryBuffer()->IsPlaying());
    EXPECT_TRUE(devices.CaptureBuffer()->IsCapturing());
  }

  StdoutCapture out;
  FakeAudioDevices devices;
  CRynManager manager;
};

TEST_F(ManagerTest, FreshManagerHoldsTheDefaults) {
  EXPECT_EQ(manager.GetDelay(), 40);
  EXPECT_EQ(manager.GetFrequencyShift(), 0);
  EXPECT_EQ(manager.GetVolume(), 100);
  EXPECT_EQ(manager.GetZelMode(), ShiftMethod::PhaseVocoder);
  EXPECT_FALSE(manager.IsRunning());
  EXPECT_EQ(manager.GetReportedDelay(), 0);
  ASSERT_NE(manager.GetStopEvent(), nullptr);
  EXPECT_FALSE(IsSignalled(manager.GetStopEvent()));
}

struct Bounds {
  const char* name;
  void (CRynManager::*set)(std::int32_t);
  std::int32_t (*get)(const CRynManager&);
  std::vector<std::int32_t> accepted;
  std::vector<std::int32_t> rejected;
};

void PrintTo(const Bounds& bounds, std::ostream* os) { *os << bounds.name; }

class ManagerBounds : public ManagerTest, public ::testing::WithParamInterface<Bounds> {};

TEST_P(ManagerBounds, AcceptsTheEdgesAndRejectsBeyondThemKeepingTheValue) {
  const Bounds& bounds = GetParam();
  for (std::int32_t value : bounds.accepted) {
    EXPECT_EQ(CodeOf([&] { (manager.*bounds.set)(value); }), 0) << value;
    EXPECT_EQ(bounds.get(manager), value);
  }
  const std::int32_t kept = bounds.accepted.back();
  for (std::int32_t value : bounds.rejected) {
    EXPECT_EQ(CodeOf([&] { (manager.*bounds.set)(value); }), ERR_INVALID_PARAMETER) << value;
    EXPECT_EQ(bounds.get(manager), kept) << value;
  }
  // Stopped: values are only stored.
  EXPECT_EQ(devices.Created().playbackDevices, 0);
  EXPECT_EQ(devices.Created().captureDevices, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, ManagerBounds,
    ::testing::Values(Bounds{"Delay", &CRynManager::SetDelay, [](const CRynManager& m) { return m.GetDelay(); },
                             {40, 220}, {39, 221, 0, -40, INT32_MIN, INT32_MAX}},
                      Bounds{"FrequencyShift", &CRynManager::SetFrequencyShift,
                             [](const CRynManager& m) { return m.GetFrequencyShift(); }, {-10, 10},
                             {-11, 11, INT32_MIN, INT32_MAX}},
                      Bounds{"Volume", &CRynManager::SetVolume, [](const CRynManager& m) { return m.GetVolume(); },
                             {0, 100}, {-1, 101, INT32_MIN, INT32_MAX}},
                      Bounds{"ZelMode", &CRynManager::SetZelMode,
                             [](const CRynManager& m) { return ZelModeOf(m.GetZelMode()); }, {1, 2},
                             {0, 3, -1, INT32_MIN, INT32_MAX}}),
    [](const ::testing::TestParamInfo<Bounds>& info) { return std::string(info.param.name); });

TEST_F(ManagerTest, StartBuildsPlaysAndCapturesWithOneReferenceEach) {
  manager.Start();
  ExpectOneLiveEngine();
  EXPECT_EQ(devices.SecondaryBuffer()->PlayFlags(), static_cast<DWORD>(DSBPLAY_LOOPING));
  EXPECT_EQ(devices.CaptureBuffer()->StartFlags(), static_cast<DWORD>(DSCBSTART_LOOPING));
  EXPECT_EQ(devices.PrimaryBuffer()->Volumes(), std::vector<LONG>{0});
  EXPECT_FALSE(IsSignalled(manager.GetStopEvent()));
}

TEST_F(ManagerTest, StartWhileRunningAndStopWhileStoppedDoNothing) {
  manager.Stop();
  EXPECT_EQ(devices.Created().playbackDevices, 0);
  manager.Start();
  manager.Start();
  EXPECT_EQ(devices.Created().playbackDevices, 1);
  EXPECT_EQ(devices.Created().captureDevices, 1);
  ExpectOneLiveEngine();
}

TEST_F(ManagerTest, StopReleasesEverythingAndClearsTheStopEvent) {
  manager.Start();
  FakeSoundBuffer* secondary = devices.SecondaryBuffer();
  FakeCaptureBuffer* capture = devices.CaptureBuffer();
  manager.Stop();
  EXPECT_FALSE(manager.IsRunning());
  EXPECT_FALSE(secondary->IsPlaying());
  EXPECT_FALSE(capture->IsCapturing());
  EXPECT_EQ(devices.LiveReferences(), 0u);
  EXPECT_FALSE(IsSignalled(manager.GetStopEvent()));
}

struct Restart {
  const char* name;
  std::function<void(CRynManager&)> change;
};

void PrintTo(const Restart& restart, std::ostream* os) { *os << restart.name; }

class ManagerRestart : public ManagerTest, public ::testing::WithParamInterface<Restart> {};

TEST_P(ManagerRestart, RunningEngineIsRebuiltOnceEvenForAnUnchangedValue) {
  manager.Start();
  FakeSoundBuffer* oldSecondary = devices.SecondaryBuffer();
  GetParam().change(manager);
  const FakeAudioDevices::Counts created = devices.Created();
  EXPECT_EQ(created.playbackDevices, 2);
  EXPECT_EQ(created.secondaryBuffers, 2);
  EXPECT_EQ(created.captureDevices, 2);
  EXPECT_EQ(created.captureBuffers, 2);
  EXPECT_EQ(oldSecondary->References(), 0u);
  ExpectOneLiveEngine();
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, ManagerRestart,
    ::testing::Values(Restart{"SameDelay", [](CRynManager& m) { m.SetDelay(40); }},
                      Restart{"NewDelay", [](CRynManager& m) { m.SetDelay(100); }},
                      Restart{"SameFrequencyShift", [](CRynManager& m) { m.SetFrequencyShift(0); }},
                      Restart{"NewFrequencyShift", [](CRynManager& m) { m.SetFrequencyShift(-3); }},
                      Restart{"SameZelMode", [](CRynManager& m) { m.SetZelMode(1); }},
                      Restart{"NewZelMode", [](CRynManager& m) { m.SetZelMode(2); }}),
    [](const ::testing::TestParamInfo<Restart>& info) { return std::string(info.param.name); });

TEST_F(ManagerTest, NewDelayTakesEffectInANewlySizedCaptureBuffer) {
  manager.Start();
  manager.SetDelay(100);
  EXPECT_EQ(devices.CaptureBuffer()->Desc().dwBufferBytes, 17632u);
}

TEST_F(ManagerTest, VolumeReachesTheRunningPlayerWithoutRestart) {
  manager.Start();
  manager.SetVolume(75);
  EXPECT_EQ(devices.PrimaryBuffer()->Volumes(), (std::vector<LONG>{0, -2500}));
  EXPECT_EQ(devices.Created().playbackDevices, 1);
  EXPECT_EQ(devices.Created().captureDevices, 1);
  EXPECT_EQ(devices.CaptureBuffer()->CallCount("Stop"), 0);
  ExpectOneLiveEngine();
}

TEST_F(ManagerTest, VolumeWhileStoppedIsAppliedAtTheNextStart) {
  manager.SetVolume(1);
  EXPECT_EQ(devices.Created().playbackDevices, 0);
  manager.Start();
  EXPECT_EQ(devices.PrimaryBuffer()->Volumes(), std::vector<LONG>{-9900});
}

TEST_F(ManagerTest, RefusedVolumeRaisesWithTheNewValueStored) {
  manager.Start();
  devices.PrimaryBuffer()->SetVolumeResult(DSERR_CONTROLUNAVAIL);
  EXPECT_EQ(CodeOf([&] { manager.SetVolume(30); }), ERR_SET_PARAMETER);
  EXPECT_EQ(manager.GetVolume(), 30);
  EXPECT_TRUE(manager.IsRunning());
}

struct StartFailure {
  const char* name;
  std::function<void(fakeds::Script&, bool)> script;  // (script, failing)
  std::int32_t code;
};

void PrintTo(const StartFailure& failure, std::ostream* os) { *os << failure.name; }

class ManagerStartFailure : public ManagerTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(ManagerStartFailure, RaisesItsCodeLeavesNothingBehindAndTheNextStartBeginsAfresh) {
  GetParam().script(devices.script, true);
  EXPECT_EQ(CodeOf([&] { manager.Start(); }), GetParam().code);
  EXPECT_FALSE(manager.IsRunning());
  EXPECT_EQ(devices.LiveReferences(), 0u);
  if (FakeSoundBuffer* secondary = devices.SecondaryBuffer()) {
    EXPECT_FALSE(secondary->IsPlaying());
  }
  EXPECT_FALSE(IsSignalled(manager.GetStopEvent()));

  const FakeAudioDevices::Counts before = devices.Created();
  GetParam().script(devices.script, false);
  manager.Start();
  EXPECT_EQ(devices.Created().playbackDevices, before.playbackDevices + 1);
  EXPECT_EQ(devices.Created().captureDevices, before.captureDevices + 1);
  ExpectOneLiveEngine();
}

HRESULT FailIf(bool failing) { return failing ? DSERR_GENERIC : DS_OK; }

INSTANTIATE_TEST_SUITE_P(
    Steps, ManagerStartFailure,
    ::testing::Values(
        StartFailure{"PlaybackDevice", [](fakeds::Script& s, bool f) { s.createPlayback = FailIf(f); },
                     ERR_DIRECTX_INIT},
        StartFailure{"PrimaryBuffer", [](fakeds::Script& s, bool f) { s.createPrimaryBuffer = FailIf(f); },
                     ERR_PRIMARY_BUFFER},
        StartFailure{"SecondaryBuffer", [](fakeds::Script& s, bool f) { s.createSecondaryBuffer = FailIf(f); },
                     ERR_SECONDARY_BUFFER},
        StartFailure{"CaptureDevice", [](fakeds::Script& s, bool f) { s.createCapture = FailIf(f); },
                     ERR_DIRECTX_INIT},
        StartFailure{"CaptureBuffer", [](fakeds::Script& s, bool f) { s.createCaptureBuffer = FailIf(f); },
                     ERR_CAPTURE_BUFFER},
        StartFailure{"Volume", [](fakeds::Script& s, bool f) { s.primarySetVolume = FailIf(f); },
                     ERR_SET_PARAMETER},
        StartFailure{"NotificationPositions",
                     [](fakeds::Script& s, bool f) { s.setNotificationPositions = FailIf(f); }, ERR_NOTIFICATIONS},
        StartFailure{"NoNotifyInterface", [](fakeds::Script& s, bool f) { s.captureBufferHasNotify = !f; },
                     ERR_NOTIFICATIONS}),
    [](const ::testing::TestParamInfo<StartFailure>& info) { return std::string(info.param.name); });

TEST_F(ManagerTest, FailedStartAfterPlaybackBeganStopsThePlayer) {
  devices.script.setNotificationPositions = DSERR_INVALIDPARAM;
  EXPECT_EQ(CodeOf([&] { manager.Start(); }), ERR_NOTIFICATIONS);
  FakeSoundBuffer* secondary = devices.SecondaryBuffer();
  EXPECT_EQ(secondary->CallCount("Play"), 1);
  EXPECT_FALSE(secondary->IsPlaying());
  EXPECT_EQ(secondary->References(), 0u);
}

TEST_F(ManagerTest, FailedRestartKeepsTheNewValueAndTheEngineStopped) {
  manager.Start();
  devices.script.createCaptureBuffer = DSERR_OUTOFMEMORY;
  EXPECT_EQ(CodeOf([&] { manager.SetDelay(100); }), ERR_CAPTURE_BUFFER);
  EXPECT_EQ(manager.GetDelay(), 100);
  EXPECT_FALSE(manager.IsRunning());
  EXPECT_EQ(devices.LiveReferences(), 0u);
  manager.Stop();

  devices.script.createCaptureBuffer = DS_OK;
  manager.Start();
  EXPECT_EQ(devices.CaptureBuffer()->Desc().dwBufferBytes, 17632u);
}

TEST(ManagerLog, WritesOneLinePerConstructionAndDestruction) {
  StdoutCapture out;
  FakeAudioDevices devices;
  DebugOutputCapture debug;
  {
    CRynManager manager;
    manager.Start();
    manager.Stop();
  }
  EXPECT_EQ(debug.Lines(), (std::vector<std::string>{"CRynManager created", "CPlayer created",
                                                     "CRecorderListener created", "CRecorderListener destroyed",
                                                     "CPlayer destroyed", "CRecorder destroyed",
                                                     "CRynManager destroyed"}));
}

TEST_F(ManagerTest, ReportedDelayLiesAThirdOfTheWayToTheMeasurement) {
  const std::pair<std::int32_t, std::int32_t> cases[] = {{100, 60}, {38, 40}, {30, 37}, {0, 0}};
  for (const auto& [measured, reported] : cases) {
    manager.SetMeasuredDelay(measured);
    EXPECT_EQ(manager.GetReportedDelay(), reported) << "measured " << measured;
  }
}

TEST_F(ManagerTest, CapturedSegmentIsPlayedAheadAndItsDelayReportedBeyondStop) {
  manager.Start();
  FakeSoundBuffer* secondary = devices.SecondaryBuffer();
  FakeCaptureBuffer* capture = devices.CaptureBuffer();
  secondary->SetCursors(10000, 11764);
  std::vector<std::uint8_t> voice(440);
  for (std::size_t i = 0; i < voice.size(); ++i) voice[i] = static_cast<std::uint8_t>(i * 3);

  ASSERT_TRUE(capture->DeliverSegment(4, voice));
  ASSERT_TRUE(devices.WaitUntil([&] { return capture->Unlocks().size() == 1; }));
  // 2 ms past the write cursor and a period further: 265 samples, rounded
  // up.
  EXPECT_EQ(secondary->Bytes(11764 + 2 * 265, 424), std::vector<std::uint8_t>(voice.begin(), voice.begin() + 424));
  EXPECT_EQ(manager.GetMeasuredDelay(), 62);
  EXPECT_EQ(manager.GetReportedDelay(), 47);

  manager.Stop();
  EXPECT_EQ(manager.GetReportedDelay(), 47);
  manager.SetDelay(100);
  EXPECT_EQ(manager.GetReportedDelay(), 100 + (62 - 100) / 3);
}

// A capture stream that never delivers (Wine's, now and then) is replaced
// by a freshly opened one, again when that one stalls too, while playback
// runs on untouched; the replacement's segments are played. A capture that
// has moved, or has delivered, is never replaced.
TEST_F(ManagerTest, CaptureThatNeverMovesIsOpenedAfreshWhilePlaybackRunsOn) {
  // Waits for a first segment of 25 ms (two 10 ms segments at DELAY 40 and
  // the slack), then 20 ms.
  CaptureTimeouts timeouts;
  timeouts.startSlackMs = 5;
  timeouts.maxStartWaitMs = 20;
  manager.SetCaptureTimeouts(timeouts);
  devices.script.stallingCaptureBuffers = 2;
  manager.Start();
  FakeCaptureBuffer* first = devices.CaptureBuffer();
  FakeSoundBuffer* secondary = devices.SecondaryBuffer();
  ASSERT_TRUE(devices.WaitUntil(
      [&] { return devices.Created().captureBuffers >= 3 && manager.GetCaptureRestartCount() >= 2; }));
  FakeCaptureBuffer* third = devices.CaptureBuffer();
  const auto sameNotifications = [&] {
    const std::vector<DSBPOSITIONNOTIFY> expected = first->Notifications(), actual = third->Notifications();
    return expected.size() == actual.size() &&
           std::equal(expected.begin(), expected.end(), actual.begin(), [](const auto& a, const auto& b) {
             return a.dwOffset == b.dwOffset && a.hEventNotify == b.hEventNotify;
           });
  };
  ASSERT_TRUE(devices.WaitUntil([&] { return third->IsCapturing() && sameNotifications(); }));
  EXPECT_FALSE(first->IsCapturing());
  EXPECT_EQ(0u, first->References());
  EXPECT_EQ(1, devices.Created().secondaryBuffers);
  ExpectOneLiveEngine();

  // The third capture has moved but not yet notified: looked at by three
  // more start waits, it stays.
  const int looks = third->CallCount("GetCurrentPosition");
  ASSERT_TRUE(devices.WaitUntil([&] { return third->CallCount("GetCurrentPosition") >= looks + 3; }));
  EXPECT_EQ(3, devices.Created().captureBuffers) << "a capture that has moved was replaced";

  ASSERT_TRUE(third->DeliverSegment(0, std::uint8_t{7}));
  ASSERT_TRUE(devices.WaitUntil([&] { return manager.GetCapturedBlockCount() == 1; }));
  EXPECT_GE(secondary->Writes().size(), 2u);
  // The last segment of the ring leaves the capture position at 0, as a
  // stalled capture's; five start waits later it is still not replaced.
  ASSERT_TRUE(third->DeliverSegment(15, std::uint8_t{8}));
  ASSERT_TRUE(devices.WaitUntil([&] { return manager.GetCapturedBlockCount() == 2; }));
  Sleep(100);
  EXPECT_EQ(3, devices.Created().captureBuffers) << "a capture that delivers was replaced";
  EXPECT_EQ(2u, manager.GetCaptureRestartCount());
}

TEST(ManagerInstance, ConcurrentFirstCallsShareOneManager) {
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::vector<CRynManager*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();
      seen[i] = &CRynManager::GetInstance();
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (CRynManager* manager : seen) EXPECT_EQ(manager, &CRynManager::GetInstance());
  EXPECT_FALSE(CRynManager::GetInstance().IsRunning());
}

TEST_F(ManagerTest, ConcurrentHostCallsNeitherCrashNorLeak) {
  DebugOutputCapture debug;
  std::atomic<bool> hostsDone{false};
  std::thread speaker([&] {
    DWORD entry = 0;
    while (!hostsDone.load()) {
      if (FakeCaptureBuffer* capture = devices.CaptureBuffer()) capture->DeliverSegment(entry, std::uint8_t{0x5A});
      entry = (entry + 1) % 16;
      Sleep(1);
    }
  });
  std::vector<std::thread> hosts;
  for (int h = 0; h < 4; ++h) {
    hosts.emplace_back([&, h] {
      std::mt19937 random(static_cast<unsigned>(h + 1));
      for (int i = 0; i < 40; ++i) {
        switch (random() % 5) {
          case 0: manager.Start(); break;
          case 1: manager.Stop(); break;
          case 2: manager.SetDelay(40 + static_cast<std::int32_t>(random() % 181)); break;
          case 3: manager.SetVolume(static_cast<std::int32_t>(random() % 101)); break;
          default: manager.SetFrequencyShift(static_cast<std::int32_t>(random() % 21) - 10); break;
        }
      }
    });
  }
  for (std::thread& host : hosts) host.join();
  manager.Stop();
  hostsDone = true;
  speaker.join();

  EXPECT_EQ(devices.LiveReferences(), 0u);
  EXPECT_EQ(devices.CallsAfterRelease(), 0);
  EXPECT_GT(debug.Count("CPlayer created"), 0);
  EXPECT_EQ(debug.Count("CPlayer created"), debug.Count("CPlayer destroyed"));
  EXPECT_EQ(debug.Count("CRecorderListener created"), debug.Count("CRecorderListener destroyed"));
  EXPECT_EQ(debug.Count("CPlayer created"), debug.Count("CRecorder destroyed"));
}

// --- real-time scheduling of the listener ------------------------------------

// avrt.dll's two functions replaced for the object's lifetime (one at a
// time) by ones that record what was asked and on which thread; or a system
// without them, or one whose class scheduler refuses the thread.
class FakeAvrt {
 public:
  enum class Mode { Joins, Refuses, Missing };

  explicit FakeAvrt(Mode mode) : functions{mode == Mode::Missing ? nullptr : &Join, mode == Mode::Missing ? nullptr : &Leave} {
    refuses = mode == Mode::Refuses;
    joins = leaves = 0;
    joiningThread = leavingThread = 0;
    leftTask = nullptr;
    SetAvrtFunctions(&functions);
  }
  FakeAvrt(const FakeAvrt&) = delete;
  FakeAvrt& operator=(const FakeAvrt&) = delete;
  ~FakeAvrt() { SetAvrtFunctions(nullptr); }

  static HANDLE Task() { return reinterpret_cast<HANDLE>(0x7A5C); }

  static inline std::atomic<int> joins{0};
  static inline std::atomic<int> leaves{0};
  static inline std::atomic<DWORD> joiningThread{0};
  static inline std::atomic<DWORD> leavingThread{0};
  static inline std::atomic<HANDLE> leftTask{nullptr};
  // Written by the joining thread before joins counts it.
  static inline std::wstring taskName;

 private:
  static HANDLE WINAPI Join(LPCWSTR name, LPDWORD index) {
    taskName = name != nullptr ? name : L"";
    joiningThread = GetCurrentThreadId();
    ++joins;
    if (refuses) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    *index = 1;
    return Task();
  }
  static BOOL WINAPI Leave(HANDLE task) {
    leftTask = task;
    leavingThread = GetCurrentThreadId();
    ++leaves;
    return TRUE;
  }

  static inline bool refuses = false;
  const AvrtFunctions functions;
};

const std::string kNoProAudio = "CRealtimeScheduling: no Pro Audio task";

// The listener's thread: the last caller into the capture buffer once a
// segment has been played.
DWORD ListenerAfterOneBlock(FakeAudioDevices& devices, CRynManager& manager) {
  const std::uint64_t before = manager.GetCapturedBlockCount();
  FakeCaptureBuffer* capture = devices.CaptureBuffer();
  if (!capture->DeliverSegment(0, std::uint8_t{7})) return 0;
  if (!devices.WaitUntil([&] { return manager.GetCapturedBlockCount() == before + 1; })) return 0;
  return capture->LastCallingThread();
}

TEST_F(ManagerTest, ListenerJoinsProAudioAtItsStartAndLeavesItAtItsEnd) {
  const FakeAvrt avrt(FakeAvrt::Mode::Joins);
  DebugOutputCapture debug;
  manager.Start();
  ASSERT_TRUE(devices.WaitUntil([] { return FakeAvrt::joins == 1; })) << "joined before the first segment";
  const DWORD listener = ListenerAfterOneBlock(devices, manager);
  ASSERT_NE(0u, listener);
  EXPECT_NE(GetCurrentThreadId(), listener);
  EXPECT_EQ(listener, FakeAvrt::joiningThread.load());
  EXPECT_EQ(L"Pro Audio", FakeAvrt::taskName);
  EXPECT_EQ(0, FakeAvrt::leaves.load()) << "left while listening";
  const UniqueHandle thread(OpenThread(THREAD_QUERY_INFORMATION | SYNCHRONIZE, FALSE, listener));
  ASSERT_TRUE(thread) << GetLastError();
  EXPECT_EQ(THREAD_PRIORITY_NORMAL, GetThreadPriority(thread.get())) << "priority raised beside the task";

  manager.Stop();
  EXPECT_EQ(1, FakeAvrt::joins.load());
  EXPECT_EQ(1, FakeAvrt::leaves.load());
  EXPECT_EQ(listener, FakeAvrt::leavingThread.load());
  EXPECT_EQ(FakeAvrt::Task(), FakeAvrt::leftTask.load());
  EXPECT_EQ(0, debug.Count(kNoProAudio)) << "a successful join reported as a failure";
}

// Without the class scheduler the listener runs time-critical while it
// listens and gives the priority back before it ends; the failure is
// written once however often the engine starts.
TEST_F(ManagerTest, ListenerWithoutProAudioRunsTimeCriticalAndRestoresItsPriority) {
  for (const FakeAvrt::Mode mode : {FakeAvrt::Mode::Missing, FakeAvrt::Mode::Refuses}) {
    const char* name = mode == FakeAvrt::Mode::Missing ? "avrt missing" : "join refused";
    const FakeAvrt avrt(mode);
    DebugOutputCapture debug;
    for (int run = 0; run < 2; ++run) {
      manager.Start();
      const DWORD listener = ListenerAfterOneBlock(devices, manager);
      ASSERT_NE(0u, listener) << name;
      const UniqueHandle thread(OpenThread(THREAD_QUERY_INFORMATION | SYNCHRONIZE, FALSE, listener));
      ASSERT_TRUE(thread) << name << ", error " << GetLastError();
      EXPECT_EQ(THREAD_PRIORITY_TIME_CRITICAL, GetThreadPriority(thread.get())) << name << ", run " << run;
      manager.Stop();
      ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 0)) << name;
      EXPECT_EQ(THREAD_PRIORITY_NORMAL, GetThreadPriority(thread.get())) << name << ", run " << run;
    }
    EXPECT_EQ(0, FakeAvrt::leaves.load()) << name << ": left a task it never joined";
    const auto lines = debug.Lines();
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(),
                               [](const std::string& line) { return line.rfind(kNoProAudio, 0) == 0; }))
        << name;
  }
}

// --- a listener set aside ------------------------------------------------------

// A listener stuck in the player's cursor read past Stop's waits, with the
// vocoder shifting: once the read returns, after the next run has started,
// it writes nothing more into its ring and hands nothing to the manager.
TEST_F(ManagerTest, SetAsideListenerTouchesNothingOnceItsCursorReadReturns) {
  CaptureTimeouts timeouts;
  timeouts.listenerWaitMs = 20;
  timeouts.listenerGraceMs = 30;
  manager.SetCaptureTimeouts(timeouts);
  manager.SetFrequencyShift(5);
  manager.SetZelMode(1);
  manager.Start();
  FakeCaptureBuffer* oldCapture = devices.CaptureBuffer();
  FakeSoundBuffer* oldRing = devices.SecondaryBuffer();
  oldRing->CloseCursorGate();
  ASSERT_TRUE(oldCapture->DeliverSegment(0, std::uint8_t{0x44}));
  ASSERT_TRUE(devices.WaitUntil([&] { return oldRing->CursorReadsWaitingAtGate() == 1; }));
  EXPECT_EQ(ERR_CAPTURE_BUSY, CodeOf([&] { manager.Stop(); }));

  manager.Start();
  ASSERT_NE(oldRing, devices.SecondaryBuffer());
  ASSERT_TRUE(devices.CaptureBuffer()->DeliverSegment(0, std::uint8_t{0x55}));
  ASSERT_TRUE(devices.WaitUntil([&] { return manager.GetCapturedBlockCount() == 1; }));
  const std::int32_t measured = manager.GetMeasuredDelay();

  oldRing->OpenCursorGate();
  ASSERT_TRUE(devices.WaitUntil([&] { return oldCapture->Unlocks().size() == 1; }));
  EXPECT_EQ(1u, oldRing->CursorReads().size()) << "went on reading the old ring's cursors";
  EXPECT_TRUE(oldRing->Locks().empty()) << "locked the old ring";
  EXPECT_TRUE(oldRing->Writes().empty()) << "wrote into the old ring";
  EXPECT_EQ(1u, manager.GetCapturedBlockCount()) << "the old listener's block was counted";
  EXPECT_EQ(measured, manager.GetMeasuredDelay()) << "the old player reported a delay";

  // The set-aside run is freed by a Stop that finds its thread ended.
  manager.Stop();
  for (int i = 0; i < 500 && oldRing->References() > 0; ++i) {
    Sleep(10);
    manager.Stop();
  }
  EXPECT_EQ(0u, oldRing->References());
}

}  // namespace
