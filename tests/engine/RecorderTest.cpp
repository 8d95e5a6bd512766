#include "engine/Recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/RecorderListener.h"
#include "engine/RynManager.h"
#include "engine/VelException.h"
#include "support/DebugOutputCapture.h"
#include "support/FakeDirectSound.h"
#include "support/RestrictedThreadStart.h"
#include "support/StdoutCapture.h"

namespace {

using fakeds::FakeAudioDevices;
using fakeds::FakeCaptureBuffer;
using fakeds::FakeSoundBuffer;
using fakeds::LockCall;
using fakeds::Region;

const std::string kTerminated = "RecorderListener thread terminated";
const std::string kAboutToWait = "CWorkerThread - About to WaitForSingleObject";

std::int32_t CodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CVelException& error) {
    return error.GetCode();
  }
  return 0;
}

int CountLinesStartingWith(const StdoutCapture& out, const std::string& prefix) {
  const auto lines = out.Lines();
  return static_cast<int>(
      std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
}

// Whether `count` lines starting with the prefix appear within five seconds.
bool WaitForLines(const StdoutCapture& out, const std::string& prefix, int count = 1) {
  for (DWORD waited = 0; waited < 5000; waited += 10) {
    if (CountLinesStartingWith(out, prefix) >= count) return true;
    Sleep(10);
  }
  return CountLinesStartingWith(out, prefix) >= count;
}

bool IsSignalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

bool IsOpen(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != FALSE;
}

std::vector<DWORD> Offsets(const std::vector<LockCall>& locks) {
  std::vector<DWORD> offsets;
  for (const LockCall& lock : locks) offsets.push_back(lock.offset);
  return offsets;
}

// A recorder on an idle manager, which supplies the delay and the stop event.
class RecorderTest : public ::testing::Test {
 protected:
  StdoutCapture out;
  FakeAudioDevices devices;
  CRynManager manager;
};

struct GeometryCase {
  std::int32_t delayMs;
  DWORD bufferBytes;
};

void PrintTo(const GeometryCase& geometry, std::ostream* os) { *os << geometry.delayMs << " ms"; }

class RecorderGeometry : public RecorderTest, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(RecorderGeometry, SizesTheCaptureBufferFromTheDelay) {
  manager.SetDelay(GetParam().delayMs);
  CRecorder recorder(manager);

  const DSCBUFFERDESC desc = devices.CaptureBuffer()->Desc();
  EXPECT_EQ(desc.dwSize, sizeof(DSCBUFFERDESC));
  EXPECT_EQ(desc.dwFlags, 0u);
  EXPECT_EQ(desc.dwBufferBytes, GetParam().bufferBytes);
  EXPECT_EQ(desc.dwReserved, 0u);
  EXPECT_EQ(desc.dwFXCount, 0u);
  EXPECT_EQ(desc.lpDSCFXDesc, nullptr);
  EXPECT_EQ(recorder.GetBufferDesc().dwBufferBytes, GetParam().bufferBytes);

  const auto format = devices.CaptureBuffer()->Format();
  ASSERT_TRUE(format.has_value());
  EXPECT_EQ(format->wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(format->nChannels, 1);
  EXPECT_EQ(format->nSamplesPerSec, 22050u);
  EXPECT_EQ(format->nAvgBytesPerSec, 44100u);
  EXPECT_EQ(format->nBlockAlign, 2);
  EXPECT_EQ(format->wBitsPerSample, 16);
  EXPECT_EQ(format->cbSize, 0);
}

TEST_P(RecorderGeometry, SetsOneNotificationPerSegmentEndAndOneForTheStop) {
  manager.SetDelay(GetParam().delayMs);
  CRecorder recorder(manager);
  recorder.Start();

  const DWORD segment = GetParam().bufferBytes / 16;
  const auto notifications = devices.CaptureBuffer()->Notifications();
  ASSERT_EQ(notifications.size(), 17u);
  std::set<HANDLE> events;
  for (DWORD i = 0; i < 16; ++i) {
    EXPECT_EQ(notifications[i].dwOffset, (i + 1) * segment - 1) << "entry " << i;
    events.insert(notifications[i].hEventNotify);
  }
  EXPECT_EQ(notifications[16].dwOffset, 0xFFFFFFFFu);
  events.insert(notifications[16].hEventNotify);
  EXPECT_EQ(events.size(), 17u);
  EXPECT_EQ(events.count(nullptr), 0u);
  EXPECT_EQ(events.count(manager.GetStopEvent()), 0u);
  recorder.Stop();
}

INSTANTIATE_TEST_SUITE_P(Delays, RecorderGeometry,
                         ::testing::Values(GeometryCase{40, 7040}, GeometryCase{41, 7232}, GeometryCase{50, 8800},
                                           GeometryCase{100, 17632}, GeometryCase{220, 38784}),
                         [](const ::testing::TestParamInfo<GeometryCase>& info) {
                           return std::to_string(info.param.delayMs) + "ms";
                         });

TEST_F(RecorderTest, StartsLoopingCaptureOnlyAfterTheNotificationsAreSet) {
  CRecorder recorder(manager);
  recorder.Start();
  FakeCaptureBuffer* capture = devices.CaptureBuffer();
  EXPECT_EQ(capture->Calls(), (std::vector<std::string>{"SetNotificationPositions", "Start"}));
  EXPECT_EQ(capture->StartFlags(), static_cast<DWORD>(DSCBSTART_LOOPING));
  EXPECT_TRUE(capture->IsCapturing());
  // The notification interface was only borrowed.
  EXPECT_EQ(capture->References(), 1u);
  recorder.Stop();
}

TEST_F(RecorderTest, LogsOnlyDestructionOfItselfAndBothEndsOfTheListener) {
  DebugOutputCapture debug;
  {
    CRecorder recorder(manager);
    EXPECT_TRUE(debug.Lines().empty());
    recorder.Start();
    recorder.Stop();
  }
  EXPECT_EQ(debug.Lines(),
            (std::vector<std::string>{"CRecorderListener created", "CRecorderListener destroyed", "CRecorder destroyed"}));
}

TEST_F(RecorderTest, SecondStartIsRefusedAndLeavesTheRunningListener) {
  CRecorder recorder(manager);
  recorder.Start();
  EXPECT_EQ(CodeOf([&] { recorder.Start(); }), ERR_CAPTURE_BUSY);

  FakeCaptureBuffer* capture = devices.CaptureBuffer();
  EXPECT_EQ(capture->CallCount("SetNotificationPositions"), 1);
  EXPECT_TRUE(capture->IsCapturing());
  ASSERT_TRUE(capture->DeliverSegment(3, std::uint8_t{0x33}));
  EXPECT_TRUE(devices.WaitUntil([&] { return capture->Unlocks().size() == 1; }));
  recorder.Stop();
}

TEST_F(RecorderTest, StopOfANeverStartedRecorderOnlyStopsTheBuffer) {
  CRecorder recorder(manager);
  recorder.Stop();
  EXPECT_EQ(devices.CaptureBuffer()->Calls(), std::vector<std::string>{"Stop"});
  EXPECT_EQ(CountLinesStartingWith(out, kAboutToWait), 0);
}

TEST_F(RecorderTest, StopEndsTheListenerThroughTheStopPositionEventAlone) {
  CRecorder recorder(manager);
  recorder.Start();
  recorder.Stop();
  EXPECT_FALSE(IsSignalled(manager.GetStopEvent()));
  EXPECT_EQ(CountLinesStartingWith(out, kTerminated), 1);
  // At most one wait: the thread ended without a time-out (or before the wait).
  EXPECT_LE(CountLinesStartingWith(out, kAboutToWait), 1);
  EXPECT_FALSE(devices.CaptureBuffer()->IsCapturing());
}

TEST_F(RecorderTest, AListenerWhoseEndCannotBeAwaitedIsKeptAndReportedAfterTwoWaits) {
  RestrictedThreadStart start(THREAD_SUSPEND_RESUME | THREAD_QUERY_LIMITED_INFORMATION);
  {
    CRecorder recorder(manager);
    recorder.Start();
    EXPECT_EQ(CodeOf([&] { recorder.Stop(); }), ERR_CAPTURE_BUSY);
    EXPECT_EQ(CountLinesStartingWith(out, kAboutToWait), 2) << "a failing wait was repeated";
    EXPECT_TRUE(recorder.IsListening());
    EXPECT_GT(devices.CaptureBuffer()->References(), 0u);
    // Capture has stopped, so the thread ends by itself; only then may its
    // recorder go.
    ASSERT_EQ(WaitForSingleObject(start.Thread(), 5000), WAIT_OBJECT_0);
  }
  EXPECT_EQ(devices.LiveReferences(), 0u);
  EXPECT_EQ(devices.CallsAfterRelease(), 0);
}

TEST_F(RecorderTest, DestroyingACapturingRecorderStopsAndEndsTheListenerBeforeReleasing) {
  auto recorder = std::make_unique<CRecorder>(manager);
  recorder->Start();
  recorder.reset();
  EXPECT_EQ(CountLinesStartingWith(out, kTerminated), 1);
  EXPECT_EQ(devices.LiveReferences(), 0u);
  EXPECT_EQ(devices.CallsAfterRelease(), 0);
}

TEST_F(RecorderTest, DeviceCreationFailureRaisesAndHoldsNothing) {
  DebugOutputCapture debug;
  devices.script.createCapture = DSERR_NODRIVER;
  EXPECT_EQ(CodeOf([&] { CRecorder recorder(manager); }), ERR_DIRECTX_INIT);
  EXPECT_EQ(devices.LiveReferences(), 0u);

  devices.script.createCapture = DS_OK;
  devices.script.createCaptureBuffer = DSERR_INVALIDPARAM;
  EXPECT_EQ(CodeOf([&] { CRecorder recorder(manager); }), ERR_CAPTURE_BUFFER);
  EXPECT_EQ(devices.Created().captureDevices, 1);
  EXPECT_EQ(devices.LiveReferences(), 0u);
  EXPECT_EQ(debug.Count("CRecorder destroyed"), 0);
}

TEST_F(RecorderTest, RefusedNotificationsRaiseAndLeaveCaptureStoppedAndRestartable) {
  DebugOutputCapture debug;
  devices.script.setNotificationPositions = DSERR_INVALIDPARAM;
  CRecorder recorder(manager);
  EXPECT_EQ(CodeOf([&] { recorder.Start(); }), ERR_NOTIFICATIONS);
  FakeCaptureBuffer* capture = devices.CaptureBuffer();
  EXPECT_FALSE(capture->IsCapturing());
  EXPECT_EQ(capture->References(), 1u);
  EXPECT_EQ(debug.Count("CRecorderListener created"), 0);
  EXPECT_EQ(CountLinesStartingWith(out, "RecorderListener thread started"), 0);

  capture->SetNotificationResult(DS_OK);
  EXPECT_EQ(CodeOf([&] { recorder.Start(); }), 0);
  EXPECT_TRUE(capture->IsCapturing());
  recorder.Stop();
}

TEST_F(RecorderTest, CaptureBufferWithoutNotificationInterfaceRaises) {
  devices.script.captureBufferHasNotify = false;
  CRecorder recorder(manager);
  EXPECT_EQ(CodeOf([&] { recorder.Start(); }), ERR_NOTIFICATIONS);
  EXPECT_FALSE(devices.CaptureBuffer()->IsCapturing());
  EXPECT_EQ(devices.CaptureBuffer()->References(), 1u);
}

TEST_F(RecorderTest, ListenerOwnsAutoResetEventsAndClosesOnlyThose) {
  CRecorder recorder(manager);
  std::vector<DSBPOSITIONNOTIFY> notifications;
  {
    CRecorderListener listener(recorder, CaptureTimeouts{});
    notifications = devices.CaptureBuffer()->Notifications();
    ASSERT_EQ(notifications.size(), 17u);
    for (const DSBPOSITIONNOTIFY& entry : notifications) {
      ASSERT_TRUE(SetEvent(entry.hEventNotify));
      EXPECT_TRUE(IsSignalled(entry.hEventNotify));
      EXPECT_FALSE(IsSignalled(entry.hEventNotify)) << "not auto-reset";
    }
  }
  for (const DSBPOSITIONNOTIFY& entry : notifications) EXPECT_FALSE(IsOpen(entry.hEventNotify));
  EXPECT_TRUE(IsOpen(manager.GetStopEvent()));
}

// The whole engine on fake devices, with the listener's thread running.
class ListenerTest : public ::testing::Test {
 protected:
  void StartEngine() {
    manager.Start();
    capture = devices.CaptureBuffer();
    secondary = devices.SecondaryBuffer();
    secondary->SetCursors(10000, 10400);
    secondary->ClearRecords();
    segment = capture->Desc().dwBufferBytes / 16;
  }

  void TearDown() override {
    if (capture != nullptr) capture->OpenLockGate();
    manager.Stop();
    EXPECT_EQ(devices.LiveReferences(), 0u);
    EXPECT_EQ(devices.CallsAfterRelease(), 0);
  }

  // Delivers a first segment and waits until the listener sits in its Lock.
  void HoldListenerInLock(DWORD entry, std::uint8_t fill) {
    capture->CloseLockGate();
    ASSERT_TRUE(capture->DeliverSegment(entry, fill));
    ASSERT_TRUE(devices.WaitUntil([&] { return capture->LocksWaitingAtGate() == 1; }));
  }

  StdoutCapture out;
  FakeAudioDevices devices;
  CRynManager manager;
  FakeCaptureBuffer* capture = nullptr;
  FakeSoundBuffer* secondary = nullptr;
  DWORD segment = 0;
};

TEST_F(ListenerTest, PendingSegmentsAreHandedOnInIndexOrder) {
  StartEngine();
  HoldListenerInLock(5, 0x05);
  for (DWORD entry : {9u, 2u, 12u}) ASSERT_TRUE(capture->DeliverSegment(entry, static_cast<std::uint8_t>(entry)));
  capture->OpenLockGate();
  ASSERT_TRUE(devices.WaitUntil([&] { return capture->Unlocks().size() == 4; }));

  EXPECT_EQ(Offsets(capture->Locks()), (std::vector<DWORD>{5 * segment, 2 * segment, 9 * segment, 12 * segment}));
  // Each block reaches the playback ring: a write and a fill each.
  EXPECT_EQ(secondary->CallCount("Lock"), 8);
}

TEST_F(ListenerTest, SegmentsAreWholeAndTheLastEndsAtTheEndOfTheBuffer) {
  manager.SetDelay(220);
  StartEngine();
  ASSERT_EQ(segment, 2424u);
  ASSERT_TRUE(capture->DeliverSegment(0, std::uint8_t{1}));
  ASSERT_TRUE(devices.WaitUntil([&] { return capture->Unlocks().size() == 1; }));
  ASSERT_TRUE(capture->DeliverSegment(15, std::uint8_t{2}));
  ASSERT_TRUE(devices.WaitUntil([&] { return capture->Unlocks().size() == 2; }));

  const auto locks = capture->Locks();
  EXPECT_EQ(locks[0].offset, 0u);
  EXPECT_EQ(locks[0].bytes, 2424u);
  EXPECT_EQ(locks[1].offset, 15 * 2424u);
  EXPECT_EQ(locks[1].offset + locks[1].bytes, 38784u);
  EXPECT_EQ(capture->Unlocks(), (std::vector<Region>{{0, 2424}, {15 * 2424, 2424}}));
  // The first block less the eight samples the resampler keeps back.
  EXPECT_EQ(secondary->Locks()[0].bytes, 2424u - 16);
  EXPECT_EQ(secondary->Locks()[2].bytes, 2424u);
}

TEST_F(ListenerTest, PendingSegmentIsHandedOnBeforeEitherStopIsNoticed) {
  StartEngine();
  HoldListenerInLock(3, 0x03);
  ASSERT_TRUE(capture->DeliverSegment(7, std::uint8_t{0x07}));
  ASSERT_TRUE(capture->SignalStopPosition());
  SetEvent(manager.GetStopEvent());
  capture->OpenLockGate();
  ASSERT_TRUE(WaitForLines(out, kTerminated));

  EXPECT_EQ(Offsets(capture->Locks()), (std::vector<DWORD>{3 * segment, 7 * segment}));
  EXPECT_EQ(capture->Unlocks().size(), 2u);
  EXPECT_EQ(secondary->CallCount("Lock"), 4);
}

TEST_F(ListenerTest, StopEventAloneEndsTheThread) {
  StartEngine();
  SetEvent(manager.GetStopEvent());
  ASSERT_TRUE(WaitForLines(out, kTerminated));
  EXPECT_TRUE(capture->IsCapturing());
  ASSERT_TRUE(capture->DeliverSegment(1, std::uint8_t{1}));
  Sleep(50);
  EXPECT_TRUE(capture->Locks().empty());
}

TEST_F(ListenerTest, StopPositionEventAloneEndsTheThread) {
  StartEngine();
  ASSERT_TRUE(capture->SignalStopPosition());
  ASSERT_TRUE(WaitForLines(out, kTerminated));
  EXPECT_FALSE(IsSignalled(manager.GetStopEvent()));
}

TEST_F(ListenerTest, EngineStopEndsTheThreadThroughTheStopEventWhenCaptureNeverReportsItsStop) {
  devices.script.signalStopPositionOnStop = false;
  StartEngine();
  manager.Stop();
  EXPECT_EQ(CountLinesStartingWith(out, kTerminated), 1);
  EXPECT_LE(CountLinesStartingWith(out, kAboutToWait), 1);
  EXPECT_FALSE(IsSignalled(manager.GetStopEvent()));
}

TEST_F(ListenerTest, SegmentThatCannotBeLockedIsSkipped) {
  StartEngine();
  capture->QueueLockResults({DSERR_INVALIDPARAM});
  ASSERT_TRUE(capture->DeliverSegment(0, std::uint8_t{0x11}));
  ASSERT_TRUE(devices.WaitUntil([&] { return capture->Locks().size() == 1; }));
  ASSERT_TRUE(capture->DeliverSegment(1, std::uint8_t{0x22}));
  ASSERT_TRUE(devices.WaitUntil([&] { return capture->Unlocks().size() == 1; }));

  EXPECT_EQ(capture->Unlocks(), (std::vector<Region>{{segment, segment}}));
  EXPECT_EQ(secondary->CallCount("Lock"), 2);
  EXPECT_EQ(secondary->Bytes(11320, segment - 16), std::vector<std::uint8_t>(segment - 16, 0x22));
}

TEST_F(ListenerTest, ExceptionFromTheBlockPathDropsTheSegmentButUnlocksIt) {
  StartEngine();
  secondary->ThrowOnNextCursorRead();
  ASSERT_TRUE(capture->DeliverSegment(0, std::uint8_t{0x11}));
  ASSERT_TRUE(devices.WaitUntil([&] { return capture->Unlocks().size() == 1; }));
  EXPECT_EQ(capture->Unlocks(), (std::vector<Region>{{0, segment}}));
  EXPECT_EQ(secondary->CallCount("Lock"), 0);

  ASSERT_TRUE(capture->DeliverSegment(1, std::uint8_t{0x22}));
  ASSERT_TRUE(devices.WaitUntil([&] { return capture->Unlocks().size() == 2; }));
  EXPECT_EQ(secondary->CallCount("Lock"), 2);
  EXPECT_EQ(CountLinesStartingWith(out, kTerminated), 0);
}

TEST_F(ListenerTest, StopWaitsForAListenerThatOutlastsOneWait) {
  // A first wait that runs out at once; the grace stays long, so that the
  // gate below opens well within it however loaded the machine.
  CaptureTimeouts timeouts;
  timeouts.listenerWaitMs = 20;
  manager.SetCaptureTimeouts(timeouts);
  StartEngine();
  HoldListenerInLock(0, 0x01);
  std::int32_t stopCode = -1;
  std::thread stopper([&] { stopCode = CodeOf([&] { manager.Stop(); }); });
  // The second wait has begun: the first ran out while the thread still ran.
  EXPECT_TRUE(WaitForLines(out, kAboutToWait, 2));
  capture->OpenLockGate();
  stopper.join();
  EXPECT_EQ(stopCode, 0) << "the listener was given up while its thread still ran";
  EXPECT_EQ(CountLinesStartingWith(out, kAboutToWait), 2);
  EXPECT_EQ(CountLinesStartingWith(out, kTerminated), 1);
  EXPECT_EQ(capture->Unlocks().size(), 1u);
}

}  // namespace
