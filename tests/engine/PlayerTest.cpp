#include "engine/Player.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

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

  void Write(DWORD play, DWORD write, std::vector<std::uint8_t>& bytes) {
    secondary->SetCursors(play, write);
    player->Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  }

  // Moves the write point to `position` with two blocks: the first lands a
  // quarter ring before it, the second ends exactly at it.
  void PrimeWritePosition(DWORD position) {
    std::vector<std::uint8_t> filler(kBlock, 0);
    const DWORD play1 = (position + 2 * kRing - 4 * kBlock - kRing / 4) % kRing;
    Write(play1, play1 + 2, filler);
    const DWORD play2 = (position + kRing - 4 * kBlock) % kRing;
    Write(play2, (play2 + 2) % kRing, filler);
    ASSERT_FALSE(secondary->Locks().empty());
    ASSERT_EQ(secondary->Locks()[secondary->Locks().size() - 2].offset, (position + kRing - kBlock) % kRing);
    secondary->ClearRecords();
    manager.SetMeasuredDelay(kNotMeasured);
  }

  FakeAudioDevices devices;
  CRynManager manager;
  std::unique_ptr<CPlayer> player;
  FakeSoundBuffer* secondary = nullptr;
  std::vector<std::uint8_t> block = Ramp(kBlock);
};

TEST_F(PlayerWrite, ReadsThePlayCursorBeforeAndTheWriteCursorAfterTheShift) {
  Write(10000, 11764, block);
  const auto reads = secondary->CursorReads();
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_TRUE(reads[0].play && !reads[0].write);
  EXPECT_TRUE(!reads[1].play && reads[1].write);
}

TEST_F(PlayerWrite, BlockGoesToAWriteCursorMoreThanThreeBlocksAhead) {
  Write(10000, 11764, block);

  EXPECT_EQ(secondary->Writes(), (std::vector<Region>{{11764, 440}, {12204, 880}}));
  EXPECT_EQ(secondary->Bytes(11764, 440), block);
  // The fill holds the block's last sample; beyond it the ring is untouched.
  EXPECT_EQ(secondary->Bytes(12204, 880), Repeated(block[438], block[439], 880));
  EXPECT_EQ(secondary->Bytes(13084, 1)[0], FakeSoundBuffer::kUntouchedByte);
  EXPECT_EQ(secondary->Bytes(11763, 1)[0], FakeSoundBuffer::kUntouchedByte);
  EXPECT_EQ(manager.GetMeasuredDelay(), 49);
}

TEST_F(PlayerWrite, BlockGoesThreeBlocksAheadOfPlayWhenTheWriteCursorIsNear) {
  Write(10000, 10400, block);
  EXPECT_EQ(secondary->Locks()[0].offset, 11320u);
  EXPECT_EQ(secondary->Locks()[0].flags, 0u);
  EXPECT_EQ(manager.GetMeasuredDelay(), 39);
}

TEST_F(PlayerWrite, OddTargetIsRoundedDownToAWholeSample) {
  Write(10001, 10400, block);
  EXPECT_EQ(secondary->Locks()[0].offset, 11320u);
}

TEST_F(PlayerWrite, ConsecutiveBlocksStreamOnBehindEachOther) {
  Write(10000, 10400, block);
  Write(10440, 10840, block);
  EXPECT_EQ(secondary->Locks()[2].offset, 11760u);
  EXPECT_EQ(manager.GetMeasuredDelay(), (12200 - 10440) * 1000 / 44100);
}

TEST_F(PlayerWrite, WritePointFarAheadIsPulledBackToTheTarget) {
  PrimeWritePosition(20000);
  Write(10000, 11764, block);
  EXPECT_EQ(secondary->Locks()[0].offset, 11764u);
  EXPECT_EQ(manager.GetMeasuredDelay(), 49);
}

TEST_F(PlayerWrite, LeadOfExactlySixBlocksStaysAndOneSampleMorePullsBack) {
  PrimeWritePosition(12640);
  Write(10000, 10400, block);
  EXPECT_EQ(secondary->Locks()[0].offset, 12640u);
  EXPECT_EQ(manager.GetMeasuredDelay(), (13080 - 10000) * 1000 / 44100);

  PrimeWritePosition(12642);
  Write(10000, 10400, block);
  EXPECT_EQ(secondary->Locks()[0].offset, 11320u);
}

TEST_F(PlayerWrite, EqualCursorsPlaceTheBlockAtThePlayCursor) {
  Write(10000, 10000, block);
  EXPECT_EQ(secondary->Locks()[0].offset, 10000u);
  EXPECT_EQ(manager.GetMeasuredDelay(), 9);
}

TEST_F(PlayerWrite, BlockWrappingTheEndIsSplitAcrossTheRing) {
  PrimeWritePosition(88000);
  Write(86500, 87900, block);

  EXPECT_EQ(secondary->Writes(), (std::vector<Region>{{88000, 200}, {0, 240}, {240, 880}}));
  EXPECT_EQ(secondary->Bytes(88000, 200), Slice(block, 0, 200));
  EXPECT_EQ(secondary->Bytes(0, 240), Slice(block, 200, 240));
  EXPECT_EQ(manager.GetMeasuredDelay(), 43);
}

TEST_F(PlayerWrite, BlockEndingAtTheEndOfTheRingMovesTheWritePointToZero) {
  PrimeWritePosition(87760);
  Write(86400, 87600, block);
  EXPECT_EQ(secondary->Writes(), (std::vector<Region>{{87760, 440}, {0, 880}}));
  EXPECT_EQ(manager.GetMeasuredDelay(), 40);
}

TEST_F(PlayerWrite, TargetAtTheRingSizeWrapsToZero) {
  Write(86880, 87000, block);
  EXPECT_EQ(secondary->Locks()[0].offset, 0u);
  EXPECT_EQ(manager.GetMeasuredDelay(), 39);
}

TEST_F(PlayerWrite, WrappedTargetAheadOfAWritePointNearTheEndIsTaken) {
  // The write cursor has wrapped to 1064 while the write point still lies at
  // 88100: writing there would land behind the device's write cursor.
  PrimeWritePosition(88100);
  Write(87500, 1064, block);
  EXPECT_EQ(secondary->Writes(), (std::vector<Region>{{1064, 440}, {1504, 880}}));
  EXPECT_EQ(manager.GetMeasuredDelay(), 49);
}

TEST_F(PlayerWrite, TargetNearTheEndDoesNotPullAWrappedWritePointBack) {
  // The previous block ended at 300 after wrapping; the next one continues
  // there rather than jumping back to the target 87320.
  PrimeWritePosition(300);
  Write(86000, 87000, block);
  EXPECT_EQ(secondary->Locks()[0].offset, 300u);
  EXPECT_EQ(manager.GetMeasuredDelay(), 66);
}

TEST_F(PlayerWrite, LostBufferIsRestoredAndLockedOnceMore) {
  secondary->QueueLockResults({DSERR_BUFFERLOST});
  Write(10000, 11764, block);
  EXPECT_EQ(secondary->Calls(), (std::vector<std::string>{"GetCurrentPosition", "GetCurrentPosition", "Lock", "Restore",
                                                          "GetStatus", "Lock", "Unlock", "Lock", "Unlock"}));
  EXPECT_EQ(secondary->Bytes(11764, 440), block);
  EXPECT_EQ(manager.GetMeasuredDelay(), 49);
}

TEST_F(PlayerWrite, RestoredBufferThatStoppedPlayingIsStartedAgainLooping) {
  secondary->SetPlaying(false);
  secondary->QueueLockResults({DSERR_BUFFERLOST});
  Write(10000, 11764, block);
  EXPECT_EQ(secondary->CallCount("Play"), 1);
  EXPECT_TRUE(secondary->IsPlaying());
  EXPECT_EQ(secondary->PlayFlags(), static_cast<DWORD>(DSBPLAY_LOOPING));
  EXPECT_EQ(secondary->Bytes(11764, 440), block);
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
  // Two locks for the block (no further retry), one for the fill at the
  // unchanged write point.
  const auto locks = secondary->Locks();
  ASSERT_EQ(locks.size(), 3u);
  EXPECT_EQ(locks[2].offset, 11764u);
  EXPECT_EQ(locks[2].bytes, 880u);
  EXPECT_EQ(secondary->Bytes(11764, 1)[0], block[438]);
  EXPECT_EQ(manager.GetMeasuredDelay(), 40);  // 1764 bytes: the write point did not advance
}

TEST_F(PlayerWrite, OtherLockFailureDropsTheBlockWithoutRestoring) {
  secondary->QueueLockResults({DSERR_INVALIDCALL});
  Write(10000, 11764, block);
  EXPECT_EQ(secondary->CallCount("Restore"), 0);
  EXPECT_EQ(secondary->Writes(), (std::vector<Region>{{11764, 880}}));
  EXPECT_EQ(manager.GetMeasuredDelay(), 40);
}

TEST_F(PlayerWrite, FailedFillLockLeavesTheRingAfterTheBlockUntouched) {
  secondary->QueueLockResults({DS_OK, DSERR_INVALIDCALL});
  Write(10000, 11764, block);
  EXPECT_EQ(secondary->Writes(), (std::vector<Region>{{11764, 440}}));
  EXPECT_EQ(secondary->Bytes(12204, 1)[0], FakeSoundBuffer::kUntouchedByte);
  EXPECT_EQ(manager.GetMeasuredDelay(), 49);
}

TEST_F(PlayerWrite, WritePointOnThePlayCursorReportsTwoSeconds) {
  secondary->QueueLockResults({DSERR_INVALIDCALL});
  Write(10000, 10000, block);
  EXPECT_EQ(manager.GetMeasuredDelay(), 2000);
}

TEST_F(PlayerWrite, FailedCursorReadsCountAsZero) {
  secondary->SetCursorResult(DSERR_INVALIDCALL);
  Write(10000, 11764, block);
  EXPECT_EQ(secondary->Locks()[0].offset, 0u);
  EXPECT_EQ(manager.GetMeasuredDelay(), 9);
}

TEST_F(PlayerWrite, BlockShorterThanOneSampleIsIgnored) {
  secondary->SetCursors(10000, 11764);
  player->Write(block.data(), 1);
  player->Write(block.data(), 0);
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
  ShiftStage(10).ShiftBlock(expected.data(), kBlock, 10, 2);
  ASSERT_NE(expected, block) << "the resampler changes a ramp";
  Write(10000, 11764, block);
  EXPECT_EQ(block, expected) << "the block is shifted in place";
  EXPECT_EQ(secondary->Bytes(11764, kBlock), expected);
  const std::vector<std::uint8_t> fill = secondary->Bytes(11764 + kBlock, 2 * kBlock);
  for (std::size_t i = 0; i < fill.size(); i += 2) {
    ASSERT_EQ(fill[i], expected[kBlock - 2]) << i;
    ASSERT_EQ(fill[i + 1], expected[kBlock - 1]) << i;
  }
}

TEST_F(PlayerWrite, UnshiftedBlockIsWrittenUnchanged) {
  const std::vector<std::uint8_t> original = block;
  Write(10000, 11764, block);
  EXPECT_EQ(block, original);
}

}  // namespace
