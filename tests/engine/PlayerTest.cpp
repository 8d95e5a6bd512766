#include "engine/Player.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/CaptureGeometry.h"
#include "engine/RynManager.h"
#include "engine/ShiftStage.h"
#include "engine/VelException.h"
#include "support/DebugOutputCapture.h"
#include "support/FakeDirectSound.h"

namespace {

using fakeds::CursorRead;
using fakeds::FakeAudioDevices;
using fakeds::FakeSoundBuffer;
using fakeds::Region;

constexpr DWORD kRing = 88200;
constexpr DWORD kBlock = 440;
constexpr std::int32_t kNotMeasured = -12345;

std::int32_t CodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CVelException& error) {
    return error.GetCode();
  }
  return 0;
}

std::vector<std::uint8_t> Ramp(DWORD bytes) {
  std::vector<std::uint8_t> block(bytes);
  for (DWORD i = 0; i < bytes; ++i) block[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return block;
}

std::vector<std::uint8_t> Repeated(std::uint8_t low, std::uint8_t high, DWORD bytes) {
  std::vector<std::uint8_t> out;
  for (DWORD i = 0; i < bytes; i += 2) {
    out.push_back(low);
    out.push_back(high);
  }
  return out;
}

std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& bytes, DWORD begin, DWORD count) {
  return std::vector<std::uint8_t>(bytes.begin() + begin, bytes.begin() + begin + count);
}

class PlayerConstruction : public ::testing::Test {
 protected:
  FakeAudioDevices devices;
  CRynManager manager;
};

TEST_F(PlayerConstruction, OpensTheDefaultDeviceWithPriorityLevelAndBothBuffers) {
  CPlayer player(manager);

  ASSERT_EQ(devices.Created().playbackDevices, 1);
  EXPECT_EQ(devices.PlaybackDevice()->CooperativeLevel(), static_cast<DWORD>(DSSCL_PRIORITY));
  EXPECT_NE(devices.PlaybackDevice()->CooperativeWindow(), nullptr);

  const DSBUFFERDESC primary = devices.PrimaryBuffer()->Desc();
  EXPECT_EQ(primary.dwSize, sizeof(DSBUFFERDESC));
  EXPECT_EQ(primary.dwFlags, static_cast<DWORD>(DSBCAPS_PRIMARYBUFFER | DSBCAPS_CTRLVOLUME));
  EXPECT_EQ(primary.dwBufferBytes, 0u);
  EXPECT_EQ(primary.lpwfxFormat, nullptr);
  EXPECT_EQ(primary.guid3DAlgorithm, GUID_NULL);

  const DSBUFFERDESC secondary = devices.SecondaryBuffer()->Desc();
  EXPECT_EQ(secondary.dwSize, sizeof(DSBUFFERDESC));
  EXPECT_EQ(secondary.dwFlags, static_cast<DWORD>(DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_STICKYFOCUS));
  EXPECT_EQ(secondary.dwBufferBytes, kRing);
  const auto format = devices.SecondaryBuffer()->Format();
  ASSERT_TRUE(format.has_value());
  EXPECT_EQ(format->wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(format->nChannels, 1);
  EXPECT_EQ(format->nSamplesPerSec, 22050u);
  EXPECT_EQ(format->nAvgBytesPerSec, 44100u);
  EXPECT_EQ(format->nBlockAlign, 2);
  EXPECT_EQ(format->wBitsPerSample, 16);
  EXPECT_EQ(format->cbSize, 0);
}

TEST_F(PlayerConstruction, HoldsOneReferenceOfEachObjectAndReleasesAllOnDestruction) {
  {
    CPlayer player(manager);
    EXPECT_EQ(devices.PlaybackDevice()->References(), 1u);
    EXPECT_EQ(devices.PrimaryBuffer()->References(), 1u);
    EXPECT_EQ(devices.SecondaryBuffer()->References(), 1u);
  }
  EXPECT_EQ(devices.LiveReferences(), 0u);
  EXPECT_EQ(devices.CallsAfterRelease(), 0);
}

TEST_F(PlayerConstruction, LogsCreationAndDestruction) {
  DebugOutputCapture debug;
  { CPlayer player(manager); }
  EXPECT_EQ(debug.Lines(), (std::vector<std::string>{"CPlayer created", "CPlayer destroyed"}));
}

TEST_F(PlayerConstruction, RefusedCooperativeLevelIsIgnored) {
  devices.script.setCooperativeLevel = DSERR_INVALIDPARAM;
  EXPECT_EQ(CodeOf([&] { CPlayer player(manager); }), 0);
}

struct CreationFailure {
  const char* name;
  HRESULT fakeds::Script::*step;
  std::int32_t code;
};

void PrintTo(const CreationFailure& failure, std::ostream* os) { *os << failure.name; }

class PlayerCreationFailure : public PlayerConstruction, public ::testing::WithParamInterface<CreationFailure> {};

TEST_P(PlayerCreationFailure, RaisesItsCodeAndHoldsNothing) {
  devices.script.*GetParam().step = DSERR_NODRIVER;
  DebugOutputCapture debug;
  EXPECT_EQ(CodeOf([&] { CPlayer player(manager); }), GetParam().code);
  EXPECT_EQ(devices.LiveReferences(), 0u);
  EXPECT_EQ(debug.Count("CPlayer created"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PlayerCreationFailure,
    ::testing::Values(CreationFailure{"Device", &fakeds::Script::createPlayback, ERR_DIRECTX_INIT},
                      CreationFailure{"Primary", &fakeds::Script::createPrimaryBuffer, ERR_PRIMARY_BUFFER},
                      CreationFailure{"Secondary", &fakeds::Script::createSecondaryBuffer, ERR_SECONDARY_BUFFER}),
    [](const ::testing::TestParamInfo<CreationFailure>& info) { return std::string(info.param.name); });

TEST_F(PlayerConstruction, StartAppliesTheVolumeRewindsAndPlaysLooping) {
  manager.SetVolume(75);
  CPlayer player(manager);
  FakeSoundBuffer* secondary = devices.SecondaryBuffer();
  secondary->SetCursors(5000, 6000);

  EXPECT_EQ(player.Start(), DS_OK);
  EXPECT_EQ(devices.PrimaryBuffer()->Volumes(), std::vector<LONG>{-2500});
  EXPECT_EQ(secondary->PositionsSet(), std::vector<DWORD>{0});
  EXPECT_TRUE(secondary->IsPlaying());
  EXPECT_EQ(secondary->PlayFlags(), static_cast<DWORD>(DSBPLAY_LOOPING));
  EXPECT_EQ(secondary->Calls(), (std::vector<std::string>{"SetCurrentPosition", "Play"}));
}

TEST_F(PlayerConstruction, StartWithARefusedVolumeRaisesBeforePlaying) {
  CPlayer player(manager);
  devices.PrimaryBuffer()->SetVolumeResult(DSERR_CONTROLUNAVAIL);
  EXPECT_EQ(CodeOf([&] { player.Start(); }), ERR_SET_PARAMETER);
  EXPECT_FALSE(devices.SecondaryBuffer()->IsPlaying());
  EXPECT_EQ(devices.SecondaryBuffer()->CallCount("Play"), 0);
}

TEST_F(PlayerConstruction, StopStopsTheSecondaryBuffer) {
  CPlayer player(manager);
  player.Start();
  EXPECT_EQ(player.Stop(), DS_OK);
  EXPECT_FALSE(devices.SecondaryBuffer()->IsPlaying());
}

TEST_F(PlayerConstruction, VolumeMapsPercentToHundredthsOfADecibelOnThePrimaryBuffer) {
  CPlayer player(manager);
  for (std::int32_t percent : {100, 75, 1, 0}) player.SetVolume(percent);
  EXPECT_EQ(devices.PrimaryBuffer()->Volumes(), (std::vector<LONG>{0, -2500, -9900, -10000}));
  EXPECT_EQ(devices.SecondaryBuffer()->CallCount("SetVolume"), 0);
}

TEST_F(PlayerConstruction, AnyNonZeroVolumeResultRaises) {
  CPlayer player(manager);
  devices.PrimaryBuffer()->SetVolumeResult(S_FALSE);
  EXPECT_EQ(CodeOf([&] { player.SetVolume(50); }), ERR_SET_PARAMETER);
  devices.PrimaryBuffer()->SetVolumeResult(DSERR_INVALIDPARAM);
  EXPECT_EQ(CodeOf([&] { player.SetVolume(50); }), ERR_SET_PARAMETER);
}

// A started player whose records are cleared, written to block by block.
class PlayerWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    player = std::make_unique<CPlayer>(manager);
    player->Start();
    secondary = devices.SecondaryBuffer();
    secondary->ClearRecords();
    manager.SetMeasuredDelay(kNotMeasured);
  }

  void Write(DWORD play, DWORD write, std::vector<std::uint8_t>& bytes, DWORD lateBytes = 0) {
    secondary->SetCursors(play, write);
    player->Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), lateBytes);
  }

  FakeAudioDevices devices;
  CRynManager manager;
  std::unique_ptr<CPlayer> player;
  FakeSoundBuffer* secondary = nullptr;
  std::vector<std::uint8_t> block = Ramp(kBlock);
};

TEST_F(PlayerWrite, ReadsThePlayCursorBeforeAndTheWriteCursorAfterTheShiftAndBothOnceLocked) {
  Write(10000, 11764, block);
  const auto reads = secondary->CursorReads();
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_TRUE(reads[0].play && !reads[0].write);
  EXPECT_TRUE(!reads[1].play && reads[1].write);
  EXPECT_TRUE(reads[2].play && reads[2].write);
  const std::vector<std::string> calls = secondary->Calls();
  const auto lock = std::find(calls.begin(), calls.end(), "Lock");
  EXPECT_EQ(std::count(lock, calls.end(), "GetCurrentPosition"), 1) << "cursors read once the ring is locked";
}

// The resampler keeps the last eight samples of a block for the next one,
// so the first block puts out 424 of its 440 bytes.
constexpr DWORD kFirstOutput = kBlock - 16;
// A write cursor at 11764, 882 samples (40 ms) ahead of play at 10000: the
// first block goes 2 ms past it and a period (10 ms) further for the
// lateness of blocks to come: 265 samples, rounded up.
constexpr DWORD kPastWriteCursor = 11764 + 2 * 265;

TEST_F(PlayerWrite, FirstBlockGoesPastAWriteCursorMoreThanThreeBlocksAhead) {
  Write(10000, 11764, block);

  EXPECT_EQ(secondary->Writes(),
            (std::vector<Region>{{kPastWriteCursor, kFirstOutput}, {kPastWriteCursor + kFirstOutput, 880}}));
  EXPECT_EQ(secondary->Bytes(kPastWriteCursor, kFirstOutput), Slice(block, 0, kFirstOutput));
  // The fill holds the last sample written; beyond it the ring is untouched.
  EXPECT_EQ(secondary->Bytes(kPastWriteCursor + kFirstOutput, 880), Repeated(block[422], block[423], 880));
  EXPECT_EQ(secondary->Bytes(kPastWriteCursor + kFirstOutput + 880, 1)[0], FakeSoundBuffer::kUntouchedByte);
  EXPECT_EQ(secondary->Bytes(kPastWriteCursor - 1, 1)[0], FakeSoundBuffer::kUntouchedByte);
  // 882 samples to the write cursor, 12 ms past it and the block being
  // captured.
  EXPECT_EQ(manager.GetMeasuredDelay(), 62);
}

TEST_F(PlayerWrite, FirstBlockGoesThreeBlocksAheadOfPlayWhenTheWriteCursorIsNear) {
  Write(10000, 10400, block);
  EXPECT_EQ(secondary->Locks()[0].offset, 11320u);
  EXPECT_EQ(secondary->Locks()[0].flags, 0u);
  EXPECT_EQ(manager.GetMeasuredDelay(), 40);
}

TEST_F(PlayerWrite, ALateFirstBlockGoesNearerThePlayCursorByItsLateness) {
  Write(10000, 10400, block, 200);
  EXPECT_EQ(secondary->Locks()[0].offset, 11120u);
  EXPECT_EQ(manager.GetMeasuredDelay(), 40);
}

TEST_F(PlayerWrite, EqualOrUnreadableCursorsPlaceTheFirstBlockThreeBlocksAhead) {
  Write(10000, 10000, block);
  EXPECT_EQ(secondary->Locks()[0].offset, 11320u);

  player = std::make_unique<CPlayer>(manager);
  player->Start();
  secondary = devices.SecondaryBuffer();
  secondary->SetCursorResult(DSERR_INVALIDCALL);
  Write(10000, 11764, block);
  EXPECT_EQ(secondary->Locks()[0].offset, 1320u);
  EXPECT_EQ(manager.GetMeasuredDelay(), 40);
}

TEST_F(PlayerWrite, LateAndEarlyBlocksStreamOnBehindEachOtherSampleForSample) {
  std::vector<std::uint8_t> second = Ramp(kBlock);
  for (std::uint8_t& byte : second) byte = static_cast<std::uint8_t>(byte ^ 0x55);
  const std::vector<std::uint8_t> original = second;
  Write(10000, 10400, block);
  // 20 ms late, then right behind it and so 10 ms late: both continue the
  // stream where it ended.
  Write(10440 + 882, 10840 + 882, second, 882);
  Write(10440 + 882, 10840 + 882, block, 442);
  const auto locks = secondary->Locks();
  ASSERT_EQ(locks.size(), 6u);
  EXPECT_EQ(locks[2].offset, 11320u + kFirstOutput);
  EXPECT_EQ(locks[4].offset, 11320u + kFirstOutput + kBlock);
  std::vector<std::uint8_t> stream = block;
  stream.insert(stream.end(), original.begin(), original.end());
  EXPECT_EQ(secondary->Bytes(11320, 2 * kBlock), stream);
  EXPECT_EQ(manager.GetMeasuredDelay(), 40) << "the heard delay did not move";
}

TEST_F(PlayerWrite, StreamWrappingTheEndIsSplitAcrossTheRing) {
  Write(86000, 86400, block);
  Write(86440, 86840, block);
  secondary->ClearRecords();
  Write(86880, 87280, block);

  // 87320 + 424 + 440 = 88184: 16 bytes before the end, 424 after it.
  EXPECT_EQ(secondary->Writes(), (std::vector<Region>{{88184, 16}, {0, 424}, {424, 880}}));
  EXPECT_EQ(secondary->Bytes(88184, 16), Slice(block, kFirstOutput, 16));
  EXPECT_EQ(secondary->Bytes(0, 424), Slice(block, 0, 424));
}

TEST_F(PlayerWrite, StreamTheWriteCursorHasPassedGoesOnPastItWithAFadeFromTheHeldLevel) {
  std::vector<std::uint8_t> quiet = Repeated(0xE8, 0x03, kBlock);  // 1000
  std::vector<std::uint8_t> loud = Repeated(0x00, 0x40, kBlock);   // 16384
  Write(10000, 10400, quiet);
  secondary->ClearRecords();
  // The play cursor is past the end of the stream (11744), the write
  // cursor further on: the stream goes on 2 ms past it (45 samples, rounded
  // up), not where the device has committed.
  Write(12000, 12400, loud);
  const auto locks = secondary->Locks();
  ASSERT_FALSE(locks.empty());
  EXPECT_EQ(locks[0].offset, 12400u + 90);
  const std::vector<std::uint8_t> written = secondary->Bytes(locks[0].offset, locks[0].bytes);
  const auto sample = [&](std::size_t i) { return static_cast<std::int16_t>(written[2 * i] | written[2 * i + 1] << 8); };
  // The pending end of the old block comes first, faded in from the held
  // level: no step at the seam, and a smooth rise to the new block.
  EXPECT_EQ(sample(0), 1000);
  for (std::size_t i = 1; i < 40; ++i) EXPECT_LE(std::abs(sample(i) - sample(i - 1)), 3000) << i;
  EXPECT_EQ(sample(100), 16384);
}

TEST_F(PlayerWrite, LostBufferIsRestoredAndLockedOnceMore) {
  secondary->QueueLockResults({DSERR_BUFFERLOST});
  Write(10000, 11764, block);
  EXPECT_EQ(secondary->Calls(), (std::vector<std::string>{"GetCurrentPosition", "GetCurrentPosition", "Lock", "Restore",
                                                          "GetStatus", "Lock", "GetCurrentPosition", "Unlock", "Lock",
                                                          "Unlock"}));
  EXPECT_EQ(secondary->Bytes(kPastWriteCursor, kFirstOutput), Slice(block, 0, kFirstOutput));
  EXPECT_EQ(manager.GetMeasuredDelay(), 62);
}

TEST_F(PlayerWrite, RestoredBufferThatStoppedPlayingIsStartedAgainLooping) {
  secondary->SetPlaying(false);
  secondary->QueueLockResults({DSERR_BUFFERLOST});
  Write(10000, 11764, block);
  EXPECT_EQ(secondary->CallCount("Play"), 1);
  EXPECT_TRUE(secondary->IsPlaying());
  EXPECT_EQ(secondary->PlayFlags(), static_cast<DWORD>(DSBPLAY_LOOPING));
  EXPECT_EQ(secondary->Bytes(kPastWriteCursor, kFirstOutput), Slice(block, 0, kFirstOutput));
}

TEST_F(PlayerWrite, StoppedPlayerDoesNotRestartARestoredBuffer) {
  player->Stop();
  secondary->QueueLockResults({DSERR_BUFFERLOST});
  Write(10000, 11764, block);
  EXPECT_EQ(secondary->CallCount("Restore"), 1);
  EXPECT_EQ(secondary->CallCount("Play"), 0);
  EXPECT_FALSE(secondary->IsPlaying());
}

TEST_F(PlayerWrite, FailedRestoreStartsNothingAndStillLocksOnceMore) {
  secondary->SetPlaying(false);
  secondary->SetRestoreResult(DSERR_BUFFERLOST);
  secondary->QueueLockResults({DSERR_BUFFERLOST, DSERR_BUFFERLOST});
  Write(10000, 11764, block);
  EXPECT_EQ(secondary->CallCount("Play"), 0);
  // Two locks for the block (no further retry), one for the fill after the
  // block's place, which the stream keeps.
  const auto locks = secondary->Locks();
  ASSERT_EQ(locks.size(), 3u);
  EXPECT_EQ(locks[2].offset, kPastWriteCursor + kFirstOutput);
  EXPECT_EQ(locks[2].bytes, 880u);
  EXPECT_EQ(secondary->Bytes(kPastWriteCursor, 1)[0], FakeSoundBuffer::kUntouchedByte);
  EXPECT_EQ(manager.GetMeasuredDelay(), 62);
}

TEST_F(PlayerWrite, OtherLockFailureDropsTheBlockWithoutRestoring) {
  secondary->QueueLockResults({DSERR_INVALIDCALL});
  Write(10000, 11764, block);
  EXPECT_EQ(secondary->CallCount("Restore"), 0);
  EXPECT_EQ(secondary->Writes(), (std::vector<Region>{{kPastWriteCursor + kFirstOutput, 880}}));
  EXPECT_EQ(manager.GetMeasuredDelay(), 62);
}

TEST_F(PlayerWrite, FailedFillLockLeavesTheRingAfterTheBlockUntouched) {
  secondary->QueueLockResults({DS_OK, DSERR_INVALIDCALL});
  Write(10000, 11764, block);
  EXPECT_EQ(secondary->Writes(), (std::vector<Region>{{kPastWriteCursor, kFirstOutput}}));
  EXPECT_EQ(secondary->Bytes(kPastWriteCursor + kFirstOutput, 1)[0], FakeSoundBuffer::kUntouchedByte);
  EXPECT_EQ(manager.GetMeasuredDelay(), 62);
}

TEST_F(PlayerWrite, BlockShorterThanOneSampleIsIgnored) {
  secondary->SetCursors(10000, 11764);
  player->Write(block.data(), 1, 0);
  player->Write(block.data(), 0, 0);
  EXPECT_TRUE(secondary->Calls().empty());
  EXPECT_EQ(manager.GetMeasuredDelay(), kNotMeasured);
}

TEST_F(PlayerWrite, ExceptionFromTheBlockPathPassesOutUnchanged) {
  secondary->ThrowOnNextCursorRead();
  EXPECT_THROW(Write(10000, 11764, block), std::bad_alloc);
  EXPECT_EQ(secondary->CallCount("Lock"), 0);
  EXPECT_EQ(manager.GetMeasuredDelay(), kNotMeasured);
}

TEST_F(PlayerWrite, ShiftedBlockReachesTheRingAndItsLastSampleIsHeld) {
  // A player built with a shift set uses the resampler for method 2: the
  // ring holds what the shift stage makes of the block.
  manager.SetFrequencyShift(10);
  manager.SetZelMode(2);
  player.reset();
  player = std::make_unique<CPlayer>(manager);
  player->Start();
  secondary = devices.SecondaryBuffer();

  std::vector<std::uint8_t> expected = block;
  ShiftStage(10).ShiftBlock(expected.data(), kBlock, 10, ShiftMethod::Resampling);
  ASSERT_NE(expected, block) << "the resampler changes a ramp";
  Write(10000, 11764, block);
  EXPECT_EQ(block, expected) << "the block is shifted in place";
  EXPECT_EQ(secondary->Bytes(kPastWriteCursor, kFirstOutput), Slice(expected, 0, kFirstOutput));
  EXPECT_EQ(secondary->Bytes(kPastWriteCursor + kFirstOutput, 2 * kBlock),
            Repeated(expected[kFirstOutput - 2], expected[kFirstOutput - 1], 2 * kBlock));
}

TEST_F(PlayerWrite, UnshiftedBlockIsWrittenUnchanged) {
  const std::vector<std::uint8_t> original = block;
  Write(10000, 11764, block);
  EXPECT_EQ(block, original);
}

// Numbered samples through the real player into a device that plays by
// itself and honours the committed span: what is heard must be the captured
// sequence at one steady delay, losing nothing and moving nowhere but at
// counted underruns. Time is simulated: the device, the player and the
// thread's wake-ups all read one clock that the test moves.
struct CommittingDevice {
  const char* name;
  std::int32_t delayMs;
  double gapSeconds;
  double periodSeconds;
  // The thread gets no processor for `starvedSeconds` every
  // `starvedEverySeconds`; never when that is 0.
  double starvedEverySeconds;
  double starvedSeconds;
  // The capture's periods end this long after the playback's.
  double captureLagSeconds = 0.0;
  // A Lock this long before the playback's next period returns after it.
  double lockWaitSeconds = 0.0;
  // Every so many blocks the thread wakes this much later (0: never).
  int lateEveryBlocks = 0;
  double lateSeconds = 0.0;
};

void PrintTo(const CommittingDevice& device, std::ostream* os) { *os << device.name; }

double simulatedSeconds = 0.0;
double SimulatedClock() noexcept { return simulatedSeconds; }

class PlayerOnACommittingDevice : public ::testing::TestWithParam<CommittingDevice> {
 protected:
  static constexpr double kRate = 22050.0;
  // Sample n carries 1000 + n modulo this: never quiet, and the heard
  // delay modulo it is the delay itself.
  static constexpr std::int64_t kNumbers = 31000;
  // Played, and judged from the first second on.
  static constexpr double kRunSeconds = 6.0;

  void SetUp() override {
    simulatedSeconds = 1000.0;
    devices.UseClock(&SimulatedClock);
    manager.SetDelay(GetParam().delayMs);
    player = std::make_unique<CPlayer>(manager);
  }

  // When the thread wakes for a notification due at `due`: up to 2 ms late
  // (a fixed pseudo-random sequence), or at the end of a starved spell.
  double WakeUp(double due) {
    jitter = jitter * 1103515245u + 12345u;
    double wake = due + 0.002 * static_cast<double>((jitter >> 16) % 1000) / 1000.0;
    const CommittingDevice& device = GetParam();
    if (device.lateEveryBlocks > 0 && ++wakes % device.lateEveryBlocks == 0) wake += device.lateSeconds;
    if (device.starvedEverySeconds > 0) {
      const double since = wake - start;
      const double spell = std::floor(since / device.starvedEverySeconds) * device.starvedEverySeconds;
      if (spell > 0 && since < spell + device.starvedSeconds) wake = start + spell + device.starvedSeconds;
    }
    return wake;
  }

  // Captures `seconds` of numbered samples block by block, handing each
  // over as a capture notification would: once the capture cursor, which
  // moves in the device's periods too, has passed its end.
  void Run(double seconds) {
    player->Start();
    secondary = devices.SecondaryBuffer();
    const CommittingDevice& device = GetParam();
    const double period = device.periodSeconds;
    secondary->PlayCommitting(device.gapSeconds, period, device.lockWaitSeconds);
    start = secondary->CommittingSince();
    const double captureStart = start + device.captureLagSeconds;
    std::vector<std::int16_t> samples(blockSamples);
    for (std::int64_t k = 0; (k + 1) * blockSamples < seconds * kRate; ++k) {
      const auto end = static_cast<double>((k + 1) * blockSamples);
      simulatedSeconds = std::max(simulatedSeconds, WakeUp(captureStart + std::ceil(end / kRate / period) * period));
      for (DWORD i = 0; i < blockSamples; ++i) {
        samples[i] = static_cast<std::int16_t>(1000 + (k * blockSamples + i) % kNumbers);
      }
      // Whole periods, so that a wake-up on a period's boundary counts it.
      const double periods = std::floor((simulatedSeconds - captureStart) / period + 1e-6);
      const auto late = static_cast<std::uint32_t>(std::max(0.0, std::floor(periods * period * kRate) - end));
      player->Write(samples.data(), 2 * blockSamples, 2 * late);
    }
  }

  FakeAudioDevices devices;
  CRynManager manager;
  std::unique_ptr<CPlayer> player;
  FakeSoundBuffer* secondary = nullptr;
  // A capture segment: a quarter of DELAY.
  const DWORD blockSamples = ComputeCaptureGeometry(GetParam().delayMs, 44100, 2).segmentBytes / 2;
  double start = 0.0;
  std::uint32_t jitter = 1;
  int wakes = 0;
};

TEST_P(PlayerOnACommittingDevice, HearsTheCapturedSequenceAtOneSteadyDelay) {
  Run(kRunSeconds);
  const std::vector<std::int16_t> heard = secondary->Heard();
  // Each heard sample's delay, in samples: where it is heard less the number
  // it carries.
  const auto from = static_cast<std::size_t>(kRate);
  ASSERT_GT(heard.size(), static_cast<std::size_t>((kRunSeconds - 1.0) * kRate));
  std::vector<std::int64_t> delays;
  for (std::size_t i = from; i < heard.size(); ++i) {
    delays.push_back(((static_cast<std::int64_t>(i) - (heard[i] - 1000)) % kNumbers + kNumbers) % kNumbers);
  }
  std::vector<std::int64_t> sorted = delays;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  const std::int64_t delay = sorted[sorted.size() / 2];
  // Stretches heard off that delay by more than a millisecond: lost samples,
  // or a jump. Where the numbers wrap around, the resampler's kernel rings.
  int stretches = 0;
  std::size_t offSamples = 0;
  bool off = false;
  for (std::size_t j = 0; j < delays.size(); ++j) {
    const std::int64_t number = (static_cast<std::int64_t>(from + j) - delay) % kNumbers;
    if (number < 16 || number > kNumbers - 16) continue;
    const bool isOff = std::llabs(delays[j] - delay) > 22;
    if (isOff && !off) ++stretches;
    if (isOff) ++offSamples;
    off = isOff;
  }
  const CommittingDevice& device = GetParam();
  const CRynManager::StreamCounts counts = manager.GetStreamCounts();
  // Sample numbers count from the capture's start.
  const double delayMs = 1000.0 * (static_cast<double>(delay) / kRate - device.captureLagSeconds);
  SCOPED_TRACE("heard " + std::to_string(delayMs) + " ms after capture, " + std::to_string(offSamples) +
               " samples off it in " + std::to_string(stretches) + " stretches, " + std::to_string(counts.reseats) +
               " underruns counted");
  EXPECT_LE(stretches, static_cast<int>(counts.reseats)) << "lost or moved without an underrun counted";
  EXPECT_EQ(counts.holds, 0u) << "capture and playback run on one clock: the play line is never held on its hull";
  // Nothing is written where the device has committed, even where its
  // cursors moved on between their reading and the Lock.
  for (const FakeSoundBuffer::SpanWrite& write : secondary->SpanWrites()) {
    EXPECT_LT(write.seconds, start + 1.0) << write.bytes << " bytes written into the committed span "
                                          << write.seconds - start << " s in";
  }
  // A starved thread loses what played meanwhile, a block later than
  // nearly every block at most what the device committed meanwhile, and
  // nothing else is lost.
  const int spells =
      device.starvedEverySeconds > 0 ? static_cast<int>((kRunSeconds - 1.0) / device.starvedEverySeconds) : 0;
  const double lateBlocks =
      device.lateEveryBlocks > 0 ? (kRunSeconds - 1.0) * kRate / blockSamples / device.lateEveryBlocks : 0.0;
  EXPECT_LE(offSamples, static_cast<std::size_t>(spells * (device.starvedSeconds * kRate + blockSamples) +
                                                 lateBlocks * device.lateSeconds * kRate))
      << "lost more than the starved spells and the late blocks";
  // Past the committed span: the write cursor's lead, the margin and the
  // block being captured. Held at DELAY, or at that span plus up to a
  // period of lateness: the capture cursor's, or what a first seat allows
  // for a phase it cannot know yet.
  const double least = 1000.0 * device.gapSeconds + 2.0 + 1000.0 * blockSamples / kRate;
  const auto delayHeld = static_cast<double>(device.delayMs);
  EXPECT_GE(delayMs, least - 0.5) << "written into the committed span";
  EXPECT_GE(delayMs, delayHeld - 2.0);
  EXPECT_LE(delayMs, std::max(least + 10.0, delayHeld) + 2.0);
  EXPECT_NEAR(manager.GetMeasuredDelay(), delayMs, 3.0) << "the measured delay handed to the manager";
}

INSTANTIATE_TEST_SUITE_P(
    Devices, PlayerOnACommittingDevice,
    ::testing::Values(CommittingDevice{"WindowsLike40msAhead", 40, 0.040, 0.010, 0.0, 0.0},
                      CommittingDevice{"WindowsLike40msAheadAtDelay100", 100, 0.040, 0.010, 0.0, 0.0},
                      CommittingDevice{"WindowsLike40msAheadAtDelay220", 220, 0.040, 0.010, 0.0, 0.0},
                      CommittingDevice{"WindowsLike30msAheadIn1msSteps", 40, 0.030, 0.001, 0.0, 0.0},
                      CommittingDevice{"WineLike10msAhead", 40, 0.010, 0.010, 0.0, 0.0},
                      CommittingDevice{"WineLike10msAheadAtDelay220", 220, 0.010, 0.010, 0.0, 0.0},
                      CommittingDevice{"WindowsLikeWithAStarvedThread", 40, 0.040, 0.010, 2.0, 0.045},
                      CommittingDevice{"WindowsLikeWithAStarvedThreadAtDelay100", 100, 0.040, 0.010, 2.0, 0.045},
                      // One block in 30 comes 6 ms late, just before a
                      // playback period: it lands short of the write cursor's
                      // line, and its Lock waits while the mixer moves the
                      // cursors on past its start.
                      CommittingDevice{"LateBlocksWhoseLockWaitsForTheMixer", 40, 0.030, 0.010, 0.0, 0.0, 0.003,
                                       0.0015, 30, 0.006}),
    [](const ::testing::TestParamInfo<CommittingDevice>& info) { return std::string(info.param.name); });

}  // namespace
