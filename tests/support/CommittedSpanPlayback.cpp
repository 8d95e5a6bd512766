#include "support/CommittedSpanPlayback.h"

#include <windows.h>

#include <dsound.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "engine/DeviceFactory.h"
#include "engine/PcmFormat.h"
#include "support/ForwardingDevices.h"

namespace {

std::atomic<DWORD> gapBytes{0};
std::atomic<std::uint64_t> restoredBytes{0};
std::atomic<std::uint64_t> restoredBehindShownBytes{0};
std::atomic<std::uint64_t> locksHandedBack{0};

// A secondary buffer of the platform with Windows' committed span.
class CommittingBuffer final : public ForwardingSoundBuffer {
 public:
  explicit CommittingBuffer(IDirectSoundBuffer* platform) : ForwardingSoundBuffer(platform) {
    // A lock never spans more than the ring.
    before[0].resize(ringBytes);
    before[1].resize(ringBytes);
  }

  HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD play, LPDWORD write) override {
    DWORD playCursor = 0;
    DWORD writeCursor = 0;
    const HRESULT hr = Cursors(playCursor, writeCursor);
    if (play != nullptr) *play = playCursor;
    if (write != nullptr) {
      *write = writeCursor;
      shownWrite = writeCursor;
    }
    return hr;
  }

  // Notes where the committed span stands and what the locked parts hold,
  // so that Unlock can put back what was written into the span.
  HRESULT STDMETHODCALLTYPE Lock(DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes, LPVOID* second,
                                 LPDWORD secondBytes, DWORD flags) override {
    DWORD playCursor = 0;
    DWORD writeCursor = 0;
    Cursors(playCursor, writeCursor);
    const HRESULT hr = inner->Lock(offset, bytes, first, firstBytes, second, secondBytes, flags);
    if (FAILED(hr) || first == nullptr || firstBytes == nullptr || ringBytes == 0) return hr;
    if ((flags & DSBLOCK_FROMWRITECURSOR) != 0) offset = writeCursor;
    if ((flags & DSBLOCK_ENTIREBUFFER) != 0) offset = 0;
    committedFrom = playCursor;
    committedBytes = (writeCursor + ringBytes - playCursor) % ringBytes;
    // A write cursor shown before the Lock that the play cursor has passed
    // since leaves nothing of the span behind it.
    const DWORD shown = (shownWrite + ringBytes - playCursor) % ringBytes;
    committedBehindShown = shown <= committedBytes ? shown : 0;
    parts[0] = {static_cast<std::uint8_t*>(*first), offset, *firstBytes};
    parts[1] = {nullptr, 0, 0};
    if (second != nullptr && *second != nullptr && secondBytes != nullptr) {
      parts[1] = {static_cast<std::uint8_t*>(*second), 0, *secondBytes};
    }
    for (int i = 0; i < 2; ++i) {
      if (parts[i].data != nullptr) std::memcpy(before[i].data(), parts[i].data, parts[i].bytes);
    }
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Unlock(LPVOID first, DWORD firstBytes, LPVOID second, DWORD secondBytes) override {
    for (int i = 0; i < 2; ++i) {
      const Part& part = parts[i];
      if (part.data == nullptr || (part.data != first && part.data != second)) continue;
      // Unlock's counts are the bytes the caller wrote from each part's start.
      const DWORD written = part.data == first ? firstBytes : secondBytes;
      for (DWORD at = 0; at < part.bytes; ++at) {
        const DWORD intoSpan = (part.offset + at + ringBytes - committedFrom) % ringBytes;
        if (intoSpan >= committedBytes) continue;
        part.data[at] = before[i][at];
        if (at >= written) continue;
        restoredBytes.fetch_add(1, std::memory_order_relaxed);
        if (intoSpan < committedBehindShown) restoredBehindShownBytes.fetch_add(1, std::memory_order_relaxed);
      }
    }
    parts[0] = parts[1] = {nullptr, 0, 0};
    if (firstBytes == 0 && secondBytes == 0) locksHandedBack.fetch_add(1, std::memory_order_relaxed);
    return inner->Unlock(first, firstBytes, second, secondBytes);
  }

 private:
  // The platform's cursors, the write cursor at least the gap ahead.
  HRESULT Cursors(DWORD& playCursor, DWORD& writeCursor) {
    const HRESULT hr = inner->GetCurrentPosition(&playCursor, &writeCursor);
    if (SUCCEEDED(hr) && ringBytes > 0) {
      const DWORD gap = gapBytes.load();
      if ((writeCursor + ringBytes - playCursor) % ringBytes < gap) writeCursor = (playCursor + gap) % ringBytes;
    }
    return hr;
  }

  // One part of a lock: where the caller writes, and where that lies in the ring.
  struct Part {
    std::uint8_t* data;
    DWORD offset;
    DWORD bytes;
  };

  DWORD shownWrite = 0;  // the write cursor as the caller last read it
  DWORD committedFrom = 0;
  DWORD committedBytes = 0;
  DWORD committedBehindShown = 0;  // of the span at the Lock: what lay behind the write cursor shown
  Part parts[2] = {{nullptr, 0, 0}, {nullptr, 0, 0}};
  std::vector<std::uint8_t> before[2];
};

}  // namespace

CommittedSpanPlayback::CommittedSpanPlayback(double gapMs) {
  gapBytes = static_cast<DWORD>(gapMs * PcmFormat::kBytesPerSecond / 1000.0) & ~1u;
  ResetRestoredBytes();
  SetDeviceFactory(Devices());
}

DeviceFactory CommittedSpanPlayback::Devices() {
  return {CreateWrappingPlayback<CommittingBuffer>, DefaultDeviceFactory().createCapture, nullptr};
}

CommittedSpanPlayback::~CommittedSpanPlayback() { ResetDeviceFactory(); }

std::uint64_t CommittedSpanPlayback::RestoredBytes() const { return restoredBytes.load(); }

std::uint64_t CommittedSpanPlayback::RestoredBehindShownBytes() const { return restoredBehindShownBytes.load(); }

std::uint64_t CommittedSpanPlayback::LocksHandedBack() const { return locksHandedBack.load(); }

void CommittedSpanPlayback::ResetRestoredBytes() {
  restoredBytes = 0;
  restoredBehindShownBytes = 0;
  locksHandedBack = 0;
}
