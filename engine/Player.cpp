#include "engine/Player.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/ParameterRanges.h"
#include "engine/DeviceFactory.h"
#include "engine/RynManager.h"
#include "engine/VelException.h"
#include "engine/WaveFormat.h"

CPlayer::CPlayer(CRynManager& owner)
    : manager(owner),
      shiftStage(owner.GetFrequencyShift()),
      scheduler(2 * EngineWaveFormat().nAvgBytesPerSec, EngineWaveFormat().nSamplesPerSec) {
  InitDirectSound();
  OutputDebugStringA("CPlayer created");
}

CPlayer::~CPlayer() {
  secondaryBuffer.reset();
  primaryBuffer.reset();
  device.reset();
  OutputDebugStringA("CPlayer destroyed");
}

void CPlayer::InitDirectSound() {
  // A failure below unwinds the members, which releases whatever was
  // obtained, so a failed construction holds nothing. The out-parameter of a
  // failed creation carries no reference and is dropped unreleased.
  if (FAILED(CreatePlaybackDevice(device.put()))) {
    device.detach();
    throw CVelException(ERR_DIRECTX_INIT);
  }

  HWND window = GetForegroundWindow();
  if (window == nullptr) window = GetDesktopWindow();
  device->SetCooperativeLevel(window, DSSCL_PRIORITY);

  WAVEFORMATEX format = EngineWaveFormat();
  bytesPerSecond = format.nAvgBytesPerSec;

  DSBUFFERDESC primaryDesc{};
  primaryDesc.dwSize = sizeof primaryDesc;
  primaryDesc.dwFlags = DSBCAPS_PRIMARYBUFFER | DSBCAPS_CTRLVOLUME;
  if (FAILED(device->CreateSoundBuffer(&primaryDesc, primaryBuffer.put(), nullptr))) {
    primaryBuffer.detach();
    throw CVelException(ERR_PRIMARY_BUFFER);
  }

  bufferBytes = 2 * bytesPerSecond;
  DSBUFFERDESC secondaryDesc{};
  secondaryDesc.dwSize = sizeof secondaryDesc;
  secondaryDesc.dwFlags = DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_STICKYFOCUS;
  secondaryDesc.dwBufferBytes = bufferBytes;
  secondaryDesc.lpwfxFormat = &format;
  if (FAILED(device->CreateSoundBuffer(&secondaryDesc, secondaryBuffer.put(), nullptr))) {
    secondaryBuffer.detach();
    throw CVelException(ERR_SECONDARY_BUFFER);
  }
}

HRESULT CPlayer::Start() {
  SetVolume(manager.GetVolume());
  secondaryBuffer->SetCurrentPosition(0);
  started.store(true);
  return secondaryBuffer->Play(0, 0, DSBPLAY_LOOPING);
}

HRESULT CPlayer::Stop() {
  started.store(false);
  return secondaryBuffer->Stop();
}

void CPlayer::SetVolume(std::int32_t percent) {
  // Hundredths of a decibel: 100 % is no attenuation, 0 % the platform's
  // silence (-10000).
  static_assert(kVolumeRangePercent.low * 100 - 10000 >= DSBVOLUME_MIN &&
                    kVolumeRangePercent.high * 100 - 10000 <= DSBVOLUME_MAX,
                "every accepted volume maps onto the buffer's volume range");
  if (primaryBuffer->SetVolume(percent * 100 - 10000) != DS_OK) throw CVelException(ERR_SET_PARAMETER);
}

bool CPlayer::Write(void* block, std::uint32_t bytes, std::uint32_t lateBytes) {
  if (retired.load()) return false;
  // A block without a whole sample has no last sample to hold.
  if (block == nullptr || bytes < 2) return true;

  // The play cursor is read before the shift and the write cursor after it,
  // so the write cursor is as fresh as possible when the block is placed.
  DWORD play = 0;
  secondaryBuffer->GetCurrentPosition(&play, nullptr);
  if (retired.load()) return false;
  ShiftBlock(block, bytes);
  DWORD write = 0;
  secondaryBuffer->GetCurrentPosition(nullptr, &write);
  if (retired.load()) return false;

  const std::uint32_t samples = std::min(bytes / 2, DriftResampler::kMaxBlockSamples);
  const auto* input = static_cast<const std::int16_t*>(block);
  const StreamScheduler::Placement placement = scheduler.Place(
      {play, write, samples, lateBytes / 2, resampler.PendingSamples(), DeviceClockSeconds(), IsQuiet(input, samples)});
  const std::uint32_t produced =
      resampler.Process(input + placement.skipSamples, samples - placement.skipSamples, placement.step, output.data());
  if (placement.reseated || placement.skipSamples > 0) FadeInFromHeldSample(0, produced);
  // A block that cannot be written keeps its place in the stream all the
  // same, so the blocks after it are heard at their own time.
  WriteOutput(placement.writePosition, produced);
  scheduler.Advance(produced);
  if (produced > 0) heldSample = output[produced - 1];
  HoldLastSample((placement.writePosition + 2 * produced) % bufferBytes, 2 * samples);

  // The manager's figures belong to the run that plays now.
  if (retired.load()) return false;
  manager.SetMeasuredDelay(static_cast<std::int32_t>(scheduler.HeardDelayMs()));
  manager.SetStreamCounts(
      {scheduler.Reseats(), scheduler.Realignments(), scheduler.Stalls(), scheduler.CaptureSteps(), scheduler.Holds()});
  return true;
}

bool CPlayer::IsQuiet(const std::int16_t* samples, std::uint32_t count) {
  // About -40 dBFS: room noise, not a voice; a few milliseconds more or
  // less of it are not heard.
  constexpr int kQuietPeak = 328;
  return std::all_of(samples, samples + count, [](std::int16_t sample) { return std::abs(sample) <= kQuietPeak; });
}

// The shift and the method are read at every block: a host thread may have
// stored new ones that the restart has not reached yet.
void CPlayer::ShiftBlock(void* block, std::uint32_t bytes) {
  shiftStage.ShiftBlock(block, bytes, manager.GetFrequencyShift(), manager.GetZelMode());
}

HRESULT CPlayer::LockSecondary(DWORD offset, DWORD bytes, LockedRegion& region) {
  region = LockedRegion{};
  const HRESULT result =
      secondaryBuffer->Lock(offset, bytes, &region.first, &region.firstBytes, &region.second, &region.secondBytes, 0);
  // A player retired while it waited in Lock hands the region back untouched.
  if (SUCCEEDED(result) && retired.load()) {
    secondaryBuffer->Unlock(region.first, 0, region.second, 0);
    return E_ABORT;
  }
  return result;
}

void CPlayer::RestoreLostBuffer() {
  if (FAILED(secondaryBuffer->Restore()) || !started.load()) return;
  // A restored buffer may have stopped playing; without a new Play the user
  // would hear nothing until the next restart.
  DWORD status = 0;
  if (SUCCEEDED(secondaryBuffer->GetStatus(&status)) && (status & DSBSTATUS_PLAYING) == 0) {
    secondaryBuffer->Play(0, 0, DSBPLAY_LOOPING);
  }
}

void CPlayer::FadeInFromHeldSample(std::uint32_t from, std::uint32_t to) {
  // A raised-cosine ramp of about 1.5 ms from the level the ring holds to
  // the re-seated stream, so the jump is not heard as a click.
  constexpr std::uint32_t kFadeSamples = 32;
  const std::uint32_t fade = std::min(to - std::min(from, to), kFadeSamples);
  for (std::uint32_t i = 0; i < fade; ++i) {
    const float gain = 0.5f - 0.5f * std::cos(3.14159265f * static_cast<float>(i + 1) / (kFadeSamples + 1));
    const float held = heldSample;
    std::int16_t& sample = output[from + i];
    sample = static_cast<std::int16_t>(std::lrint(held + gain * (static_cast<float>(sample) - held)));
  }
}

DWORD CPlayer::CommittedBytes(std::uint32_t offset, DWORD bytes) {
  DWORD play = 0;
  DWORD write = 0;
  if (FAILED(secondaryBuffer->GetCurrentPosition(&play, &write))) return 0;
  const DWORD span = (write + bufferBytes - play) % bufferBytes;
  const DWORD into = (offset + bufferBytes - play) % bufferBytes;
  return into < span ? std::min(bytes, (span - into) & ~DWORD{1}) : 0;
}

bool CPlayer::WriteOutput(std::uint32_t offset, std::uint32_t samples) {
  if (samples == 0) return true;
  const DWORD bytes = 2 * samples;
  LockedRegion region;
  HRESULT result = LockSecondary(offset, bytes, region);
  if (result == DSERR_BUFFERLOST) {
    RestoreLostBuffer();
    result = LockSecondary(offset, bytes, region);
  }
  // A block that cannot be locked is not heard.
  if (FAILED(result)) return false;

  // The cursors may have moved on since they were read: a step of the
  // mixer may fall between the reading and the Lock, or the Lock may have
  // waited for the mixer. What the device has committed is handed back
  // unwritten (it plays the level held there), and the rest is heard at its
  // time.
  const DWORD committed = CommittedBytes(offset, bytes);
  if (retired.load()) {
    secondaryBuffer->Unlock(region.first, 0, region.second, 0);
    return false;
  }
  if (committed > 0) {
    secondaryBuffer->Unlock(region.first, 0, region.second, 0);
    scheduler.NoteCommittedOnWrite();
    if (committed == bytes) return true;
    FadeInFromHeldSample(committed / 2, samples);
    if (FAILED(LockSecondary((offset + committed) % bufferBytes, bytes - committed, region))) return false;
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(output.data()) + committed;
  const DWORD written = bytes - committed;
  const DWORD firstCopy = region.first != nullptr ? std::min<DWORD>(region.firstBytes, written) : 0;
  if (firstCopy > 0) std::memcpy(region.first, data, firstCopy);
  if (region.second != nullptr) {
    std::memcpy(region.second, data + firstCopy, std::min<DWORD>(region.secondBytes, written - firstCopy));
  }
  secondaryBuffer->Unlock(region.first, region.firstBytes, region.second, region.secondBytes);
  return true;
}

void CPlayer::HoldLastSample(std::uint32_t offset, std::uint32_t bytes) {
  // Two block lengths after the output hold its last sample, so that a late
  // next block lets the play cursor run into that level rather than into the
  // audio left in the ring from two seconds earlier. The next block
  // overwrites the start of the fill.
  LockedRegion region;
  if (FAILED(LockSecondary(offset, 2 * bytes, region))) return;
  const std::int16_t held = heldSample;
  const auto fill = [held](void* part, DWORD partBytes) {
    auto* out = static_cast<std::uint8_t*>(part);
    for (DWORD i = 0; i + 1 < partBytes; i += 2) std::memcpy(out + i, &held, 2);
  };
  fill(region.first, region.firstBytes);
  if (region.second != nullptr) fill(region.second, region.secondBytes);
  secondaryBuffer->Unlock(region.first, region.firstBytes, region.second, region.secondBytes);
}
