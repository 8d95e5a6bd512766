#pragma once

// Windows' playback contract laid over the platform's own devices. Windows
// documents the span between a buffer's play and write cursors as already
// committed to be played, not to be changed safely, and that span is
// commonly some 30 ms wide; under Wine the write cursor runs a period ahead
// and what is written behind it is still mixed. While a
// CommittedSpanPlayback lives, the engine's playback devices come from the
// platform wrapped so that every secondary buffer reports its write cursor
// at least `gapMs` ahead of its play cursor, and whatever a Lock/Unlock
// writes into the span between the two cursors (as they stood at the Lock)
// is put back as it was: it is never heard.

#include <cstdint>

#include "engine/DeviceFactory.h"

class CommittedSpanPlayback {
 public:
  explicit CommittedSpanPlayback(double gapMs);
  CommittedSpanPlayback(const CommittedSpanPlayback&) = delete;
  CommittedSpanPlayback& operator=(const CommittedSpanPlayback&) = delete;
  // The platform's devices again, for devices created from now on.
  ~CommittedSpanPlayback();

  // The creation functions it installed, for a wrapper of its own devices.
  static DeviceFactory Devices();

  // Bytes written into the committed span (as Unlock counts them) and put
  // back, since `ResetRestoredBytes`.
  std::uint64_t RestoredBytes() const;
  // Of those, the bytes that lay behind the write cursor the buffer showed
  // its caller last; the rest the cursor passed between that reading and
  // the Lock.
  std::uint64_t RestoredBehindShownBytes() const;
  // Locks the caller unlocked with nothing written: the engine found that
  // the device had committed the block's place after it read the cursors.
  std::uint64_t LocksHandedBack() const;
  // Starts all three counts afresh.
  void ResetRestoredBytes();
};
