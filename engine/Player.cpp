#include "engine/Player.h"

#include <algorithm>
#include <cstring>

#include "engine/DeviceFactory.h"
#include "engine/RynManager.h"
#include "engine/VelException.h"
#include "engine/WaveFormat.h"
#include "engine/WriteAhead.h"

CPlayer::CPlayer(CRynManager& owner) : manager(owner), shiftStage(owner.GetFrequencyShift()) {
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
  if (primaryBuffer->SetVolume(percent * 100 - 10000) != DS_OK) throw CVelException(ERR_SET_PARAMETER);
}

void CPlayer::Write(void* block, std::uint32_t bytes) {
  // A block without a whole sample has no last sample to hold.
  if (block == nullptr || bytes < 2) return;

  // The play cursor is read before the shift and the write cursor after it,
  // so the write cursor is as fresh as possible when the block is placed.
  DWORD play = 0;
  secondaryBuffer->GetCurrentPosition(&play, nullptr);
  ShiftBlock(block, bytes);
  DWORD write = 0;
  secondaryBuffer->GetCurrentPosition(nullptr, &write);

  writePosition = NextWritePosition(play, write, writePosition, bytes, bufferBytes);
  const auto* samples = static_cast<const std::uint8_t*>(block);
  CopyBlock(samples, bytes);
  HoldLastSample(samples + bytes - 2, bytes);

  manager.SetMeasuredDelay(static_cast<std::int32_t>(MeasuredDelayMs(play, writePosition, bufferBytes, bytesPerSecond)));
}

// The shift and the method are read at every block: a host thread may have
// stored new ones that the restart has not reached yet.
void CPlayer::ShiftBlock(void* block, std::uint32_t bytes) {
  shiftStage.ShiftBlock(block, bytes, manager.GetFrequencyShift(), manager.GetZelMode());
}

HRESULT CPlayer::LockSecondary(DWORD offset, DWORD bytes, LockedRegion& region) {
  region = LockedRegion{};
  return secondaryBuffer->Lock(offset, bytes, &region.first, &region.firstBytes, &region.second, &region.secondBytes, 0);
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

void CPlayer::CopyBlock(const std::uint8_t* block, std::uint32_t bytes) {
  LockedRegion region;
  HRESULT result = LockSecondary(writePosition, bytes, region);
  if (result == DSERR_BUFFERLOST) {
    RestoreLostBuffer();
    result = LockSecondary(writePosition, bytes, region);
  }
  // A block that cannot be locked is not heard; the delay is still reported.
  if (FAILED(result)) return;

  const DWORD firstCopy = region.first != nullptr ? std::min<DWORD>(region.firstBytes, bytes) : 0;
  if (firstCopy > 0) std::memcpy(region.first, block, firstCopy);
  if (region.second != nullptr) {
    std::memcpy(region.second, block + firstCopy, std::min<DWORD>(region.secondBytes, bytes - firstCopy));
  }
  secondaryBuffer->Unlock(region.first, region.firstBytes, region.second, region.secondBytes);

  if (region.second != nullptr) {
    writePosition = region.secondBytes;
  } else {
    writePosition += region.firstBytes;
    if (writePosition == bufferBytes) writePosition = 0;
  }
}

void CPlayer::HoldLastSample(const std::uint8_t* lastSample, std::uint32_t bytes) {
  // Two block lengths after the block hold its last sample, so that a late
  // next block lets the play cursor run into that level rather than into the
  // audio left in the ring from two seconds earlier. The write point stays:
  // the next block overwrites the start of the fill.
  LockedRegion region;
  if (FAILED(LockSecondary(writePosition, 2 * bytes, region))) return;
  const auto fill = [lastSample](void* part, DWORD partBytes) {
    auto* out = static_cast<std::uint8_t*>(part);
    for (DWORD i = 0; i + 1 < partBytes; i += 2) {
      out[i] = lastSample[0];
      out[i + 1] = lastSample[1];
    }
  };
  fill(region.first, region.firstBytes);
  if (region.second != nullptr) fill(region.second, region.secondBytes);
  secondaryBuffer->Unlock(region.first, region.firstBytes, region.second, region.secondBytes);
}
