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
    const HRESULT hr = inner->GetCurrentPosition(&playCursor, &writeCursor);
    if (SUCCEEDED(hr) && ringBytes > 0) {
      const DWORD gap = gapBytes.load();
      if ((writeCursor + ringBytes - playCursor) % ringBytes < gap) writeCursor = (playCursor + gap) % ringBytes;
    }
    if (play != nullptr) *play = playCursor;
    if (write != nullptr) *write = writeCursor;
    return hr;
  }

  // Notes where the committed span stands and what the locked parts hold,
  // so that Unlock can put back what was written into the span.
  HRESULT STDMETHODCALLTYPE Lock(DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes, LPVOID* second,
                                 LPDWORD secondBytes, DWORD flags) override {
    DWORD playCursor = 0;
    DWORD writeCursor = 0;
    GetCurrentPosition(&playCursor, &writeCursor);
    const HRESULT hr = inner->Lock(offset, bytes, first, firstBytes, second, secondBytes, flags);
    if (FAILED(hr) || first == nullptr || firstBytes == nullptr || ringBytes == 0) return hr;
    if ((flags & DSBLOCK_FROMWRITECURSOR) != 0) offset = writeCursor;
    if ((flags & DSBLOCK_ENTIREBUFFER) != 0) offset = 0;
    committedFrom = playCursor;
    committedBytes = (writeCursor + ringBytes - playCursor) % ringBytes;
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
      for (DWORD at = 0; at < part.bytes; ++at) {
        if ((part.offset + at + ringBytes - committedFrom) % ringBytes < committedBytes) {
          part.data[at] = before[i][at];
          restoredBytes.fetch_add(1, std::memory_order_relaxed);
        }
      }
    }
    parts[0] = parts[1] = {nullptr, 0, 0};
    return inner->Unlock(first, firstBytes, second, secondBytes);
  }

 private:
  // One part of a lock: where the caller writes, and where that lies in the ring.
  struct Part {
    std::uint8_t* data;
    DWORD offset;
    DWORD bytes;
  };

  DWORD committedFrom = 0;
  DWORD committedBytes = 0;
  Part parts[2] = {{nullptr, 0, 0}, {nullptr, 0, 0}};
  std::vector<std::uint8_t> before[2];
};

}  // namespace

CommittedSpanPlayback::CommittedSpanPlayback(double gapMs) {
  gapBytes = static_cast<DWORD>(gapMs * PcmFormat::kBytesPerSecond / 1000.0) & ~1u;
  restoredBytes = 0;
  SetDeviceFactory(Devices());
}

DeviceFactory CommittedSpanPlayback::Devices() {
  return {CreateWrappingPlayback<CommittingBuffer>, DefaultDeviceFactory().createCapture, nullptr};
}

CommittedSpanPlayback::~CommittedSpanPlayback() { ResetDeviceFactory(); }

std::uint64_t CommittedSpanPlayback::RestoredBytes() const { return restoredBytes.load(); }

void CommittedSpanPlayback::ResetRestoredBytes() { restoredBytes = 0; }
