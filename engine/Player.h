#pragma once

#include <windows.h>

#include <dsound.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "common/ComPtr.h"
#include "engine/DriftResampler.h"
#include "engine/ShiftStage.h"
#include "engine/StreamScheduler.h"

class CRynManager;

// The playback side of the engine: the default playback device, its primary
// buffer (which carries the volume) and a two-second looping secondary buffer
// into which the captured stream is written a little ahead of the play
// cursor. Where the stream lands decides the delay the speaker hears: the
// scheduler places it by capture time and holds its lead over the play
// cursor, moving it back in quiet blocks when the output slipped, the
// resampler takes up the clocks' difference, and after each block the
// player tells the manager the delay it holds.
//
// Construction, Start, Stop, SetVolume and destruction run on host threads;
// Write runs on the capture listener's thread, one block at a time.
class CPlayer {
 public:
  explicit CPlayer(CRynManager& manager);
  CPlayer(const CPlayer&) = delete;
  CPlayer& operator=(const CPlayer&) = delete;
  virtual ~CPlayer();

  // Applies the manager's volume, rewinds and starts looping playback.
  // Returns the result of Play.
  HRESULT Start();
  // Stops playback; the buffer's content and the write point stay.
  HRESULT Stop();
  // Percent 0..100 onto the primary buffer; raises ERR_SET_PARAMETER when
  // the device refuses it.
  void SetVolume(std::int32_t percent);
  // Writes one captured block into the stream ahead of the play cursor and
  // reports the delay held. lateBytes is how much the capture device had
  // captured past the block's end when it was handed over. The block may be
  // rewritten in place by the shift stage. Allocates nothing. False when the
  // player was retired before the block was placed.
  bool Write(void* block, std::uint32_t bytes, std::uint32_t lateBytes);
  // For a player whose run was set aside while its listener may still be
  // inside Write: from the next step on, Write leaves the ring, the shift
  // stage (with the shared vocoder stream) and the manager alone.
  void Retire() noexcept { retired.store(true); }

 private:
  struct LockedRegion {
    void* first = nullptr;
    DWORD firstBytes = 0;
    void* second = nullptr;
    DWORD secondBytes = 0;
  };

  void InitDirectSound();
  void ShiftBlock(void* block, std::uint32_t bytes);
  // Whether nothing in the samples would be heard.
  static bool IsQuiet(const std::int16_t* samples, std::uint32_t count);
  HRESULT LockSecondary(DWORD offset, DWORD bytes, LockedRegion& region);
  void RestoreLostBuffer();
  // Fades the output's samples from `from` to `to` in from the level held.
  void FadeInFromHeldSample(std::uint32_t from, std::uint32_t to);
  // Bytes from `offset` on, of at most `bytes`, that lie where the device
  // has committed its output by now.
  DWORD CommittedBytes(std::uint32_t offset, DWORD bytes);
  // Writes `samples` of the output at `offset`, less what the device has
  // committed there by the time the ring is locked; false when the ring
  // could not be locked or the player was retired meanwhile.
  bool WriteOutput(std::uint32_t offset, std::uint32_t samples);
  void HoldLastSample(std::uint32_t offset, std::uint32_t bytes);

  CRynManager& manager;
  // Pitch factor fixed from the manager's shift at construction; its scratch
  // is made with the player.
  ShiftStage shiftStage;
  // Declared so that the members release in the platform's order: buffers
  // before their device.
  ComPtr<IDirectSound> device;
  ComPtr<IDirectSoundBuffer> primaryBuffer;
  ComPtr<IDirectSoundBuffer> secondaryBuffer;
  std::uint32_t bufferBytes = 0;
  std::uint32_t bytesPerSecond = 0;
  StreamScheduler scheduler;
  DriftResampler resampler;
  std::array<std::int16_t, DriftResampler::kMaxOutputSamples> output{};
  // The last sample written to the ring, held after it until the next block.
  std::int16_t heldSample = 0;
  // Whether playback is meant to run: a restored buffer is only restarted
  // between Start and Stop.
  std::atomic<bool> started{false};
  // Set once, from a host thread; Write checks it after every call into the
  // device, any of which may be where a stuck listener waited.
  std::atomic<bool> retired{false};
};
