#include "support/FakeDirectSound.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

#include "engine/DeviceFactory.h"

namespace fakeds {

namespace {

std::atomic<FakeAudioDevices*> active{nullptr};

constexpr DWORD kNotInBuffer = 0xFFFFFFFF;

template <typename Interface>
HRESULT Hand(Interface* object, void** out) {
  object->AddRef();
  *out = object;
  return S_OK;
}

// Splits a region of a ring into its part up to the end and its wrapped
// part, as DirectSound's Lock does.
HRESULT LockRing(std::vector<std::uint8_t>& memory, DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes,
                 LPVOID* second, LPDWORD secondBytes) {
  if (memory.empty()) return DSERR_INVALIDCALL;
  if (first == nullptr || firstBytes == nullptr) return DSERR_INVALIDPARAM;
  const DWORD size = static_cast<DWORD>(memory.size());
  if (offset >= size || bytes == 0 || bytes > size) return DSERR_INVALIDPARAM;
  const DWORD upToEnd = std::min(bytes, size - offset);
  if (upToEnd < bytes && (second == nullptr || secondBytes == nullptr)) return DSERR_INVALIDPARAM;
  *first = memory.data() + offset;
  *firstBytes = upToEnd;
  if (second != nullptr) *second = upToEnd < bytes ? memory.data() : nullptr;
  if (secondBytes != nullptr) *secondBytes = bytes - upToEnd;
  return DS_OK;
}

// Records the parts handed back by Unlock (unless out is null); false when a
// part does not lie in the ring.
bool RecordUnlock(const std::vector<std::uint8_t>& memory, LPVOID first, DWORD firstBytes, LPVOID second,
                  DWORD secondBytes, std::vector<Region>* out) {
  bool valid = true;
  const auto record = [&](LPVOID part, DWORD partBytes) {
    if (part == nullptr) return;
    const auto* begin = memory.data();
    const auto* p = static_cast<const std::uint8_t*>(part);
    const bool inside = p >= begin && p + partBytes <= begin + memory.size();
    if (!inside) valid = false;
    if (out != nullptr) out->push_back(Region{inside ? static_cast<DWORD>(p - begin) : kNotInBuffer, partBytes});
  };
  record(first, firstBytes);
  record(second, secondBytes);
  return valid;
}

HRESULT CopyFormat(const std::optional<WAVEFORMATEX>& format, LPWAVEFORMATEX out, DWORD allocated, LPDWORD written) {
  if (!format) return DSERR_INVALIDCALL;
  if (written != nullptr) *written = sizeof(WAVEFORMATEX);
  if (out == nullptr) return written != nullptr ? DS_OK : DSERR_INVALIDPARAM;
  if (allocated < sizeof(WAVEFORMATEX)) return DSERR_INVALIDPARAM;
  *out = *format;
  return DS_OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// FakeObject

FakeObject::FakeObject(FakeAudioDevices& owner) : devices(owner) {}

ULONG FakeObject::References() const {
  auto lock = Inspect();
  return refs;
}

std::vector<std::string> FakeObject::Calls() const {
  auto lock = Inspect();
  return calls;
}

int FakeObject::CallCount(const std::string& method) const {
  auto lock = Inspect();
  return static_cast<int>(std::count(calls.begin(), calls.end(), method));
}

void FakeObject::ClearRecords() {
  auto lock = Inspect();
  calls.clear();
}

ULONG FakeObject::DoAddRef() {
  auto lock = Inspect();
  if (refs == 0) ++devices.callsAfterRelease;
  return ++refs;
}

ULONG FakeObject::DoRelease() {
  auto lock = Inspect();
  if (refs == 0) {
    ++devices.callsAfterRelease;
    return 0;
  }
  if (--refs == 0) OnFinalRelease();
  Changed();
  return refs;
}

std::unique_lock<std::recursive_mutex> FakeObject::Enter(const char* method) {
  std::unique_lock<std::recursive_mutex> lock(devices.mutex);
  if (refs == 0) ++devices.callsAfterRelease;
  if (devices.recording) calls.emplace_back(method);
  lastCallingThread = GetCurrentThreadId();
  devices.changed.notify_all();
  return lock;
}

DWORD FakeObject::LastCallingThread() const {
  auto lock = Inspect();
  return lastCallingThread;
}

bool FakeObject::RecordingOn() const { return devices.recording; }

std::unique_lock<std::recursive_mutex> FakeObject::Inspect() const {
  return std::unique_lock<std::recursive_mutex>(devices.mutex);
}

void FakeObject::Changed() { devices.changed.notify_all(); }

// ---------------------------------------------------------------------------
// FakePlaybackDevice

HWND FakePlaybackDevice::CooperativeWindow() const {
  auto lock = Inspect();
  return cooperativeWindow;
}

DWORD FakePlaybackDevice::CooperativeLevel() const {
  auto lock = Inspect();
  return cooperativeLevel;
}

HRESULT FakePlaybackDevice::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDirectSound) return Hand(static_cast<IDirectSound*>(this), object);
  return E_NOINTERFACE;
}

HRESULT FakePlaybackDevice::CreateSoundBuffer(LPCDSBUFFERDESC desc, LPLPDIRECTSOUNDBUFFER buffer, IUnknown* outer) {
  auto lock = Enter("CreateSoundBuffer");
  if (buffer == nullptr) return DSERR_INVALIDPARAM;
  *buffer = nullptr;
  if (desc == nullptr || desc->dwSize < sizeof(DSBUFFERDESC1)) return DSERR_INVALIDPARAM;
  if (outer != nullptr) return DSERR_NOAGGREGATION;
  const bool primary = (desc->dwFlags & DSBCAPS_PRIMARYBUFFER) != 0;
  const HRESULT result = primary ? devices.script.createPrimaryBuffer : devices.script.createSecondaryBuffer;
  if (FAILED(result)) return result;
  if (!primary && (desc->lpwfxFormat == nullptr || desc->dwBufferBytes < DSBSIZE_MIN || desc->dwBufferBytes > DSBSIZE_MAX)) {
    return DSERR_INVALIDPARAM;
  }
  auto created = std::make_unique<FakeSoundBuffer>(devices, *desc, devices.script);
  *buffer = devices.Adopt(std::move(created), primary ? devices.primaryBuffers : devices.secondaryBuffers);
  return DS_OK;
}

HRESULT FakePlaybackDevice::GetCaps(LPDSCAPS caps) {
  auto lock = Enter("GetCaps");
  if (caps == nullptr || caps->dwSize < sizeof(DSCAPS)) return DSERR_INVALIDPARAM;
  const DWORD size = caps->dwSize;
  std::memset(caps, 0, size);
  caps->dwSize = size;
  caps->dwFlags = DSCAPS_PRIMARYMONO | DSCAPS_PRIMARY16BIT | DSCAPS_SECONDARYMONO | DSCAPS_SECONDARY16BIT;
  return DS_OK;
}

HRESULT FakePlaybackDevice::DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER, LPLPDIRECTSOUNDBUFFER duplicate) {
  auto lock = Enter("DuplicateSoundBuffer");
  if (duplicate != nullptr) *duplicate = nullptr;
  return DSERR_UNSUPPORTED;
}

HRESULT FakePlaybackDevice::SetCooperativeLevel(HWND window, DWORD level) {
  auto lock = Enter("SetCooperativeLevel");
  cooperativeWindow = window;
  cooperativeLevel = level;
  return devices.script.setCooperativeLevel;
}

HRESULT FakePlaybackDevice::Compact() {
  auto lock = Enter("Compact");
  return DS_OK;
}

HRESULT FakePlaybackDevice::GetSpeakerConfig(LPDWORD config) {
  auto lock = Enter("GetSpeakerConfig");
  if (config == nullptr) return DSERR_INVALIDPARAM;
  *config = DSSPEAKER_STEREO;
  return DS_OK;
}

HRESULT FakePlaybackDevice::SetSpeakerConfig(DWORD) {
  auto lock = Enter("SetSpeakerConfig");
  return DS_OK;
}

HRESULT FakePlaybackDevice::Initialize(LPCGUID) {
  auto lock = Enter("Initialize");
  return DSERR_ALREADYINITIALIZED;
}

// ---------------------------------------------------------------------------
// FakeSoundBuffer

FakeSoundBuffer::FakeSoundBuffer(FakeAudioDevices& owner, const DSBUFFERDESC& description, const Script& script)
    : FakeObject(owner),
      primary((description.dwFlags & DSBCAPS_PRIMARYBUFFER) != 0),
      desc(description),
      volumeResult(script.primarySetVolume),
      playResult(script.play) {
  if (description.lpwfxFormat != nullptr) format = *description.lpwfxFormat;
  desc.lpwfxFormat = nullptr;
  if (!primary) memory.assign(description.dwBufferBytes, kUntouchedByte);
}

DSBUFFERDESC FakeSoundBuffer::Desc() const {
  auto lock = Inspect();
  DSBUFFERDESC copy = desc;
  copy.lpwfxFormat = format ? const_cast<WAVEFORMATEX*>(&*format) : nullptr;
  return copy;
}

std::optional<WAVEFORMATEX> FakeSoundBuffer::Format() const {
  auto lock = Inspect();
  return format;
}

void FakeSoundBuffer::SetCursors(DWORD play, DWORD write) {
  auto lock = Inspect();
  playCursor = play;
  writeCursor = write;
}

void FakeSoundBuffer::SetCursorResult(HRESULT result) {
  auto lock = Inspect();
  cursorResult = result;
}

void FakeSoundBuffer::ThrowOnNextCursorRead() {
  auto lock = Inspect();
  throwOnCursorRead = true;
}

void FakeSoundBuffer::QueueLockResults(std::vector<HRESULT> results) {
  auto lock = Inspect();
  lockResults.insert(lockResults.end(), results.begin(), results.end());
}

void FakeSoundBuffer::SetRestoreResult(HRESULT result) {
  auto lock = Inspect();
  restoreResult = result;
}

void FakeSoundBuffer::SetVolumeResult(HRESULT result) {
  auto lock = Inspect();
  volumeResult = result;
}

void FakeSoundBuffer::SetPlaying(bool isPlaying) {
  auto lock = Inspect();
  playing = isPlaying;
  Changed();
}

void FakeSoundBuffer::CloseCursorGate() {
  auto lock = Inspect();
  cursorGateClosed = true;
}

void FakeSoundBuffer::OpenCursorGate() {
  auto lock = Inspect();
  cursorGateClosed = false;
  Changed();
}

void FakeSoundBuffer::PlayCommitting(double gapSeconds, double period, double lockWait) {
  auto lock = Inspect();
  committing = true;
  committingSince = DeviceClockSeconds();
  periodSeconds = period;
  lockWaitSeconds = lockWait;
  mixedPeriods = 0.0;
  spanWrites.clear();
  gapSamples = static_cast<std::uint64_t>(std::lround(gapSeconds * format->nSamplesPerSec));
  committedSamples = 0;
  heard.clear();
  Mix();
}

double FakeSoundBuffer::CommittingSince() const {
  auto lock = Inspect();
  return committingSince;
}

std::vector<std::int16_t> FakeSoundBuffer::Heard() const {
  auto lock = Inspect();
  return heard;
}

std::vector<FakeSoundBuffer::SpanWrite> FakeSoundBuffer::SpanWrites() const {
  auto lock = Inspect();
  return spanWrites;
}

void FakeSoundBuffer::Mix(double aheadSeconds) {
  if (!committing) return;
  const double rate = format->nSamplesPerSec;
  mixedPeriods = std::max(
      mixedPeriods, std::floor((DeviceClockSeconds() + aheadSeconds - committingSince) / periodSeconds + 1e-6));
  const auto played = static_cast<std::uint64_t>(mixedPeriods * periodSeconds * rate);
  const std::uint64_t ringSamples = memory.size() / 2;
  for (; committedSamples < played + gapSamples; ++committedSamples) {
    std::int16_t sample = 0;
    std::memcpy(&sample, memory.data() + 2 * (committedSamples % ringSamples), 2);
    heard.push_back(sample);
  }
  playCursor = static_cast<DWORD>(2 * (played % ringSamples));
  writeCursor = static_cast<DWORD>(2 * (committedSamples % ringSamples));
}

bool FakeSoundBuffer::IsPlaying() const {
  auto lock = Inspect();
  return playing;
}

DWORD FakeSoundBuffer::PlayFlags() const {
  auto lock = Inspect();
  return playFlags;
}

std::vector<LONG> FakeSoundBuffer::Volumes() const {
  auto lock = Inspect();
  return volumes;
}

std::vector<DWORD> FakeSoundBuffer::PositionsSet() const {
  auto lock = Inspect();
  return positionsSet;
}

std::vector<LockCall> FakeSoundBuffer::Locks() const {
  auto lock = Inspect();
  return locks;
}

std::vector<Region> FakeSoundBuffer::Writes() const {
  auto lock = Inspect();
  return writes;
}

std::vector<CursorRead> FakeSoundBuffer::CursorReads() const {
  auto lock = Inspect();
  return cursorReads;
}

int FakeSoundBuffer::CursorReadsWaitingAtGate() const {
  auto lock = Inspect();
  return waitingAtCursorGate;
}

std::vector<std::uint8_t> FakeSoundBuffer::Bytes(DWORD offset, DWORD count) const {
  auto lock = Inspect();
  std::vector<std::uint8_t> out;
  if (memory.empty()) return out;
  out.reserve(count);
  for (DWORD i = 0; i < count; ++i) out.push_back(memory[(offset + i) % memory.size()]);
  return out;
}

void FakeSoundBuffer::ClearRecords() {
  auto lock = Inspect();
  FakeObject::ClearRecords();
  volumes.clear();
  positionsSet.clear();
  locks.clear();
  writes.clear();
  cursorReads.clear();
}

HRESULT FakeSoundBuffer::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDirectSoundBuffer) return Hand(static_cast<IDirectSoundBuffer*>(this), object);
  return E_NOINTERFACE;
}

HRESULT FakeSoundBuffer::GetCaps(LPDSBCAPS caps) {
  auto lock = Enter("GetCaps");
  if (caps == nullptr || caps->dwSize < sizeof(DSBCAPS)) return DSERR_INVALIDPARAM;
  caps->dwFlags = desc.dwFlags;
  caps->dwBufferBytes = static_cast<DWORD>(memory.size());
  caps->dwUnlockTransferRate = 0;
  caps->dwPlayCpuOverhead = 0;
  return DS_OK;
}

HRESULT FakeSoundBuffer::GetCurrentPosition(LPDWORD play, LPDWORD write) {
  auto lock = Enter("GetCurrentPosition");
  if (cursorGateClosed) {
    ++waitingAtCursorGate;
    Changed();
    devices.changed.wait(lock, [this] { return !cursorGateClosed; });
    --waitingAtCursorGate;
  }
  Record(cursorReads, CursorRead{play != nullptr, write != nullptr});
  if (throwOnCursorRead) {
    throwOnCursorRead = false;
    throw std::bad_alloc();
  }
  if (FAILED(cursorResult)) return cursorResult;
  Mix();
  if (play != nullptr) *play = playCursor;
  if (write != nullptr) *write = writeCursor;
  return DS_OK;
}

HRESULT FakeSoundBuffer::GetFormat(LPWAVEFORMATEX out, DWORD allocated, LPDWORD written) {
  auto lock = Enter("GetFormat");
  return CopyFormat(format, out, allocated, written);
}

HRESULT FakeSoundBuffer::GetVolume(LPLONG out) {
  auto lock = Enter("GetVolume");
  if (out == nullptr) return DSERR_INVALIDPARAM;
  *out = volume;
  return DS_OK;
}

HRESULT FakeSoundBuffer::GetPan(LPLONG pan) {
  auto lock = Enter("GetPan");
  if (pan != nullptr) *pan = 0;
  return DSERR_CONTROLUNAVAIL;
}

HRESULT FakeSoundBuffer::GetFrequency(LPDWORD frequency) {
  auto lock = Enter("GetFrequency");
  if (frequency != nullptr) *frequency = 0;
  return DSERR_CONTROLUNAVAIL;
}

HRESULT FakeSoundBuffer::GetStatus(LPDWORD status) {
  auto lock = Enter("GetStatus");
  if (status == nullptr) return DSERR_INVALIDPARAM;
  *status = playing ? (DSBSTATUS_PLAYING | (playFlags & DSBPLAY_LOOPING ? DSBSTATUS_LOOPING : 0)) : 0;
  return DS_OK;
}

HRESULT FakeSoundBuffer::Initialize(LPDIRECTSOUND, LPCDSBUFFERDESC) {
  auto lock = Enter("Initialize");
  return DSERR_ALREADYINITIALIZED;
}

HRESULT FakeSoundBuffer::Lock(DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes, LPVOID* second,
                              LPDWORD secondBytes, DWORD flags) {
  auto lock = Enter("Lock");
  Mix(lockWaitSeconds);
  lockedSpanFrom = playCursor;
  lockedSpanBytes = committing ? (writeCursor + static_cast<DWORD>(memory.size()) - playCursor) %
                                     static_cast<DWORD>(memory.size())
                               : 0;
  HRESULT result = DS_OK;
  if (!lockResults.empty()) {
    result = lockResults.front();
    lockResults.pop_front();
  }
  if (SUCCEEDED(result)) result = LockRing(memory, offset, bytes, first, firstBytes, second, secondBytes);
  Record(locks, LockCall{offset, bytes, flags, result});
  return result;
}

HRESULT FakeSoundBuffer::Play(DWORD, DWORD, DWORD flags) {
  auto lock = Enter("Play");
  if (primary && (flags & DSBPLAY_LOOPING) == 0) return DSERR_INVALIDPARAM;
  if (FAILED(playResult)) return playResult;
  playing = true;
  playFlags = flags;
  return DS_OK;
}

HRESULT FakeSoundBuffer::SetCurrentPosition(DWORD position) {
  auto lock = Enter("SetCurrentPosition");
  positionsSet.push_back(position);
  if (primary) return DSERR_INVALIDCALL;
  if (position >= memory.size()) return DSERR_INVALIDPARAM;
  playCursor = position;
  return DS_OK;
}

HRESULT FakeSoundBuffer::SetFormat(LPCWAVEFORMATEX newFormat) {
  auto lock = Enter("SetFormat");
  if (!primary) return DSERR_INVALIDCALL;
  if (newFormat == nullptr) return DSERR_INVALIDPARAM;
  format = *newFormat;
  return DS_OK;
}

HRESULT FakeSoundBuffer::SetVolume(LONG newVolume) {
  auto lock = Enter("SetVolume");
  volumes.push_back(newVolume);
  if (volumeResult != DS_OK) return volumeResult;
  if ((desc.dwFlags & DSBCAPS_CTRLVOLUME) == 0) return DSERR_CONTROLUNAVAIL;
  if (newVolume < DSBVOLUME_MIN || newVolume > DSBVOLUME_MAX) return DSERR_INVALIDPARAM;
  volume = newVolume;
  return DS_OK;
}

HRESULT FakeSoundBuffer::SetPan(LONG) {
  auto lock = Enter("SetPan");
  return DSERR_CONTROLUNAVAIL;
}

HRESULT FakeSoundBuffer::SetFrequency(DWORD) {
  auto lock = Enter("SetFrequency");
  return DSERR_CONTROLUNAVAIL;
}

HRESULT FakeSoundBuffer::Stop() {
  auto lock = Enter("Stop");
  playing = false;
  return DS_OK;
}

HRESULT FakeSoundBuffer::Unlock(LPVOID first, DWORD firstBytes, LPVOID second, DWORD secondBytes) {
  auto lock = Enter("Unlock");
  if (committing) {
    DWORD inSpan = 0;
    const auto size = static_cast<DWORD>(memory.size());
    const auto count = [&](LPVOID part, DWORD partBytes) {
      const auto* p = static_cast<const std::uint8_t*>(part);
      if (p == nullptr || p < memory.data() || p + partBytes > memory.data() + size) return;
      const auto offset = static_cast<DWORD>(p - memory.data());
      for (DWORD at = 0; at < partBytes; ++at) inSpan += (offset + at + size - lockedSpanFrom) % size < lockedSpanBytes;
    };
    count(first, firstBytes);
    count(second, secondBytes);
    if (inSpan > 0) spanWrites.push_back({DeviceClockSeconds(), inSpan});
  }
  Mix();
  return RecordUnlock(memory, first, firstBytes, second, secondBytes, RecordingOn() ? &writes : nullptr)
             ? DS_OK
             : DSERR_INVALIDPARAM;
}

HRESULT FakeSoundBuffer::Restore() {
  auto lock = Enter("Restore");
  return restoreResult;
}

// ---------------------------------------------------------------------------
// FakeCaptureDevice

HRESULT FakeCaptureDevice::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDirectSoundCapture) return Hand(static_cast<IDirectSoundCapture*>(this), object);
  return E_NOINTERFACE;
}

HRESULT FakeCaptureDevice::CreateCaptureBuffer(LPCDSCBUFFERDESC desc, LPDIRECTSOUNDCAPTUREBUFFER* buffer,
                                               LPUNKNOWN outer) {
  auto lock = Enter("CreateCaptureBuffer");
  if (buffer == nullptr) return DSERR_INVALIDPARAM;
  *buffer = nullptr;
  if (desc == nullptr || desc->dwSize < sizeof(DSCBUFFERDESC1) || desc->lpwfxFormat == nullptr ||
      desc->dwBufferBytes == 0) {
    return DSERR_INVALIDPARAM;
  }
  if (outer != nullptr) return DSERR_NOAGGREGATION;
  if (FAILED(devices.script.createCaptureBuffer)) return devices.script.createCaptureBuffer;
  auto created = std::make_unique<FakeCaptureBuffer>(devices, *desc, devices.script);
  if (devices.script.stallingCaptureBuffers > 0) --devices.script.stallingCaptureBuffers;
  *buffer = devices.Adopt(std::move(created), devices.captureBuffers);
  return DS_OK;
}

HRESULT FakeCaptureDevice::GetCaps(LPDSCCAPS caps) {
  auto lock = Enter("GetCaps");
  if (caps == nullptr || caps->dwSize < sizeof(DSCCAPS)) return DSERR_INVALIDPARAM;
  caps->dwFlags = 0;
  caps->dwFormats = WAVE_FORMAT_2M16;
  caps->dwChannels = 1;
  return DS_OK;
}

HRESULT FakeCaptureDevice::Initialize(LPCGUID) {
  auto lock = Enter("Initialize");
  return DSERR_ALREADYINITIALIZED;
}

// ---------------------------------------------------------------------------
// FakeCaptureBuffer

FakeCaptureBuffer::FakeCaptureBuffer(FakeAudioDevices& owner, const DSCBUFFERDESC& description, const Script& script)
    : FakeObject(owner),
      desc(description),
      format(*description.lpwfxFormat),
      memory(description.dwBufferBytes, 0),
      hasNotify(script.captureBufferHasNotify),
      signalStopOnStop(script.signalStopPositionOnStop),
      startResult(script.startCapture),
      stalls(script.stallingCaptureBuffers > 0),
      notificationResult(script.setNotificationPositions) {
  desc.lpwfxFormat = nullptr;
}

DSCBUFFERDESC FakeCaptureBuffer::Desc() const {
  auto lock = Inspect();
  DSCBUFFERDESC copy = desc;
  copy.lpwfxFormat = format ? const_cast<WAVEFORMATEX*>(&*format) : nullptr;
  return copy;
}

std::optional<WAVEFORMATEX> FakeCaptureBuffer::Format() const {
  auto lock = Inspect();
  return format;
}

void FakeCaptureBuffer::QueueLockResults(std::vector<HRESULT> results) {
  auto lock = Inspect();
  lockResults.insert(lockResults.end(), results.begin(), results.end());
}

void FakeCaptureBuffer::SetNotificationResult(HRESULT result) {
  auto lock = Inspect();
  notificationResult = result;
}

void FakeCaptureBuffer::CloseLockGate() {
  auto lock = Inspect();
  gateClosed = true;
}

void FakeCaptureBuffer::OpenLockGate() {
  auto lock = Inspect();
  gateClosed = false;
  Changed();
}

bool FakeCaptureBuffer::DeliverSegment(DWORD entry, const std::vector<std::uint8_t>& bytes) {
  auto lock = Inspect();
  if (refs == 0 || entry >= notifications.size()) return false;
  const DWORD end = notifications[entry].dwOffset;
  if (end >= memory.size()) return false;
  DWORD begin = 0;
  for (const DSBPOSITIONNOTIFY& other : notifications) {
    if (other.dwOffset < end && other.dwOffset + 1 > begin) begin = other.dwOffset + 1;
  }
  const std::size_t count = std::min<std::size_t>(bytes.size(), end + 1 - begin);
  std::copy_n(bytes.begin(), count, memory.begin() + begin);
  capturePosition = static_cast<DWORD>((end + 1) % memory.size());
  SetEvent(notificationEvents[entry].get());
  Changed();
  return true;
}

bool FakeCaptureBuffer::DeliverSegment(DWORD entry, std::uint8_t fill) {
  auto lock = Inspect();
  return DeliverSegment(entry, std::vector<std::uint8_t>(memory.size(), fill));
}

bool FakeCaptureBuffer::SignalStopPosition() {
  auto lock = Inspect();
  return refs != 0 && SignalStopPositionLocked();
}

bool FakeCaptureBuffer::SignalStopPositionLocked() {
  bool signalled = false;
  for (std::size_t i = 0; i < notifications.size(); ++i) {
    if (notifications[i].dwOffset == static_cast<DWORD>(DSBPN_OFFSETSTOP)) {
      SetEvent(notificationEvents[i].get());
      signalled = true;
    }
  }
  Changed();
  return signalled;
}

std::vector<DSBPOSITIONNOTIFY> FakeCaptureBuffer::Notifications() const {
  auto lock = Inspect();
  return notifications;
}

bool FakeCaptureBuffer::IsCapturing() const {
  auto lock = Inspect();
  return capturing;
}

DWORD FakeCaptureBuffer::StartFlags() const {
  auto lock = Inspect();
  return startFlags;
}

int FakeCaptureBuffer::LocksWaitingAtGate() const {
  auto lock = Inspect();
  return waitingAtGate;
}

std::vector<LockCall> FakeCaptureBuffer::Locks() const {
  auto lock = Inspect();
  return locks;
}

std::vector<Region> FakeCaptureBuffer::Unlocks() const {
  auto lock = Inspect();
  return unlocks;
}

void FakeCaptureBuffer::ClearRecords() {
  auto lock = Inspect();
  FakeObject::ClearRecords();
  locks.clear();
  unlocks.clear();
}

HRESULT FakeCaptureBuffer::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDirectSoundCaptureBuffer) {
    return Hand(static_cast<IDirectSoundCaptureBuffer*>(this), object);
  }
  if (riid == IID_IDirectSoundNotify && hasNotify) return Hand(static_cast<IDirectSoundNotify*>(this), object);
  return E_NOINTERFACE;
}

HRESULT FakeCaptureBuffer::GetCaps(LPDSCBCAPS caps) {
  auto lock = Enter("GetCaps");
  if (caps == nullptr || caps->dwSize < sizeof(DSCBCAPS)) return DSERR_INVALIDPARAM;
  caps->dwFlags = desc.dwFlags;
  caps->dwBufferBytes = desc.dwBufferBytes;
  caps->dwReserved = 0;
  return DS_OK;
}

HRESULT FakeCaptureBuffer::GetCurrentPosition(LPDWORD capture, LPDWORD read) {
  auto lock = Enter("GetCurrentPosition");
  if (capture != nullptr) *capture = capturePosition;
  if (read != nullptr) *read = capturePosition;
  return DS_OK;
}

HRESULT FakeCaptureBuffer::GetFormat(LPWAVEFORMATEX out, DWORD allocated, LPDWORD written) {
  auto lock = Enter("GetFormat");
  return CopyFormat(format, out, allocated, written);
}

HRESULT FakeCaptureBuffer::GetStatus(LPDWORD status) {
  auto lock = Enter("GetStatus");
  if (status == nullptr) return DSERR_INVALIDPARAM;
  *status = capturing ? (DSCBSTATUS_CAPTURING | (startFlags & DSCBSTART_LOOPING ? DSCBSTATUS_LOOPING : 0)) : 0;
  return DS_OK;
}

HRESULT FakeCaptureBuffer::Initialize(LPDIRECTSOUNDCAPTURE, LPCDSCBUFFERDESC) {
  auto lock = Enter("Initialize");
  return DSERR_ALREADYINITIALIZED;
}

HRESULT FakeCaptureBuffer::Lock(DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes, LPVOID* second,
                                LPDWORD secondBytes, DWORD flags) {
  auto lock = Enter("Lock");
  ++waitingAtGate;
  devices.changed.wait(lock, [this] { return !gateClosed; });
  --waitingAtGate;
  HRESULT result = DS_OK;
  if (!lockResults.empty()) {
    result = lockResults.front();
    lockResults.pop_front();
  }
  if (SUCCEEDED(result)) result = LockRing(memory, offset, bytes, first, firstBytes, second, secondBytes);
  Record(locks, LockCall{offset, bytes, flags, result});
  Changed();
  return result;
}

HRESULT FakeCaptureBuffer::Start(DWORD flags) {
  auto lock = Enter("Start");
  if (FAILED(startResult)) return startResult;
  capturing = true;
  startFlags = flags;
  if (!stalls && capturePosition == 0) capturePosition = format->nBlockAlign;
  return DS_OK;
}

HRESULT FakeCaptureBuffer::Stop() {
  auto lock = Enter("Stop");
  if (capturing) {
    capturing = false;
    if (signalStopOnStop) SignalStopPositionLocked();
  }
  return DS_OK;
}

HRESULT FakeCaptureBuffer::Unlock(LPVOID first, DWORD firstBytes, LPVOID second, DWORD secondBytes) {
  auto lock = Enter("Unlock");
  const bool valid = RecordUnlock(memory, first, firstBytes, second, secondBytes, RecordingOn() ? &unlocks : nullptr);
  Changed();
  return valid ? DS_OK : DSERR_INVALIDPARAM;
}

HRESULT FakeCaptureBuffer::SetNotificationPositions(DWORD count, LPCDSBPOSITIONNOTIFY positions) {
  auto lock = Enter("SetNotificationPositions");
  if (FAILED(notificationResult)) return notificationResult;
  if (capturing) return DSERR_INVALIDCALL;
  if (count > 0 && positions == nullptr) return DSERR_INVALIDPARAM;
  std::vector<DSBPOSITIONNOTIFY> given(positions, positions + count);
  std::vector<UniqueHandle> duplicates;
  for (const DSBPOSITIONNOTIFY& position : given) {
    if (position.dwOffset >= memory.size() && position.dwOffset != static_cast<DWORD>(DSBPN_OFFSETSTOP)) {
      return DSERR_INVALIDPARAM;
    }
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), position.hEventNotify, GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
      return DSERR_INVALIDPARAM;
    }
    duplicates.emplace_back(duplicate);
  }
  notifications = std::move(given);
  notificationEvents = std::move(duplicates);
  return DS_OK;
}

void FakeCaptureBuffer::OnFinalRelease() { notificationEvents.clear(); }

// ---------------------------------------------------------------------------
// FakeAudioDevices

void FakeAudioDevices::SetRecording(bool on) {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  recording = on;
}

FakeAudioDevices::FakeAudioDevices() {
  FakeAudioDevices* expected = nullptr;
  if (!active.compare_exchange_strong(expected, this)) throw std::logic_error("fake audio devices already installed");
  SetDeviceFactory(DeviceFactory{&FakeAudioDevices::CreatePlayback, &FakeAudioDevices::CreateCapture, nullptr});
}

void FakeAudioDevices::UseClock(double (*clockSeconds)() noexcept) {
  SetDeviceFactory(DeviceFactory{&FakeAudioDevices::CreatePlayback, &FakeAudioDevices::CreateCapture, clockSeconds});
}

FakeAudioDevices::~FakeAudioDevices() {
  ResetDeviceFactory();
  active.store(nullptr);
}

template <typename T>
T* FakeAudioDevices::Adopt(std::unique_ptr<T> object, std::vector<T*>& kind) {
  T* raw = object.get();
  objects.push_back(std::move(object));
  kind.push_back(raw);
  changed.notify_all();
  return raw;
}

HRESULT WINAPI FakeAudioDevices::CreatePlayback(LPCGUID device, LPDIRECTSOUND* created, LPUNKNOWN outer) {
  FakeAudioDevices* self = active.load();
  if (created == nullptr) return DSERR_INVALIDPARAM;
  *created = nullptr;
  if (self == nullptr) return DSERR_NODRIVER;
  if (outer != nullptr) return DSERR_NOAGGREGATION;
  if (device != nullptr) return DSERR_NODRIVER;
  std::lock_guard<std::recursive_mutex> lock(self->mutex);
  if (FAILED(self->script.createPlayback)) return self->script.createPlayback;
  *created = self->Adopt(std::make_unique<FakePlaybackDevice>(*self), self->playbackDevices);
  return DS_OK;
}

HRESULT WINAPI FakeAudioDevices::CreateCapture(LPCGUID device, LPDIRECTSOUNDCAPTURE* created, LPUNKNOWN outer) {
  FakeAudioDevices* self = active.load();
  if (created == nullptr) return DSERR_INVALIDPARAM;
  *created = nullptr;
  if (self == nullptr) return DSERR_NODRIVER;
  if (outer != nullptr) return DSERR_NOAGGREGATION;
  if (device != nullptr) return DSERR_NODRIVER;
  std::lock_guard<std::recursive_mutex> lock(self->mutex);
  if (FAILED(self->script.createCapture)) return self->script.createCapture;
  *created = self->Adopt(std::make_unique<FakeCaptureDevice>(*self), self->captureDevices);
  return DS_OK;
}

namespace {

template <typename T>
T* Last(const std::vector<T*>& kind) {
  return kind.empty() ? nullptr : kind.back();
}

}  // namespace

FakePlaybackDevice* FakeAudioDevices::PlaybackDevice() const {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return Last(playbackDevices);
}

FakeSoundBuffer* FakeAudioDevices::PrimaryBuffer() const {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return Last(primaryBuffers);
}

FakeSoundBuffer* FakeAudioDevices::SecondaryBuffer() const {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return Last(secondaryBuffers);
}

FakeCaptureDevice* FakeAudioDevices::CaptureDevice() const {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return Last(captureDevices);
}

FakeCaptureBuffer* FakeAudioDevices::CaptureBuffer() const {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return Last(captureBuffers);
}

FakeAudioDevices::Counts FakeAudioDevices::Created() const {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return Counts{static_cast<int>(playbackDevices.size()), static_cast<int>(primaryBuffers.size()),
                static_cast<int>(secondaryBuffers.size()), static_cast<int>(captureDevices.size()),
                static_cast<int>(captureBuffers.size())};
}

ULONG FakeAudioDevices::LiveReferences() const {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  ULONG total = 0;
  for (const auto& object : objects) total += object->References();
  return total;
}

int FakeAudioDevices::CallsAfterRelease() const {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  return callsAfterRelease;
}

void FakeAudioDevices::DiscardReleased() {
  std::lock_guard<std::recursive_mutex> lock(mutex);
  const auto released = [](const auto* object) { return object->References() == 0; };
  const auto forget = [&](auto& kind) { kind.erase(std::remove_if(kind.begin(), kind.end(), released), kind.end()); };
  forget(playbackDevices);
  forget(primaryBuffers);
  forget(secondaryBuffers);
  forget(captureDevices);
  forget(captureBuffers);
  objects.erase(std::remove_if(objects.begin(), objects.end(), [&](const auto& object) { return released(object.get()); }),
                objects.end());
}

bool FakeAudioDevices::WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::recursive_mutex> lock(mutex);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    changed.wait_for(lock, std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace fakeds
