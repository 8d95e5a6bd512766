#pragma once

// Scripted DirectSound devices for tests: real COM objects implementing
// IDirectSound, IDirectSoundBuffer (primary and secondary),
// IDirectSoundCapture, IDirectSoundCaptureBuffer and IDirectSoundNotify.
//
// A test creates one FakeAudioDevices; while it lives the engine's device
// factory hands out these objects instead of the platform's. The test scripts
// creation results, cursors, lock results, volume results and notifications,
// delivers captured segments, and inspects what the engine did: calls made,
// regions written into the playback ring, live COM references.
//
// Every object stays inspectable after its last Release (the installer owns
// the memory); a call on a released object is counted (CallsAfterRelease).
// All state is guarded by one lock, so tests may inspect and drive the fakes
// while the engine's threads use them.

#include <windows.h>

#include <dsound.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"

namespace fakeds {

class FakeAudioDevices;

// What happens when the engine creates something. Change it only while no
// engine call is in progress.
struct Script {
  HRESULT createPlayback = DS_OK;         // DirectSoundCreate
  HRESULT setCooperativeLevel = DS_OK;
  HRESULT createPrimaryBuffer = DS_OK;
  HRESULT createSecondaryBuffer = DS_OK;
  HRESULT primarySetVolume = DS_OK;       // initial SetVolume result of new primary buffers
  HRESULT play = DS_OK;                   // Play of new secondary buffers
  HRESULT createCapture = DS_OK;          // DirectSoundCaptureCreate
  HRESULT createCaptureBuffer = DS_OK;
  bool captureBufferHasNotify = true;     // QueryInterface(IID_IDirectSoundNotify) succeeds
  HRESULT setNotificationPositions = DS_OK;
  HRESULT startCapture = DS_OK;           // Start of new capture buffers
  int stallingCaptureBuffers = 0;         // so many capture buffers created next stay at position 0 once started
  bool signalStopPositionOnStop = true;   // Stop of a capturing buffer signals DSBPN_OFFSETSTOP
};

// One Lock call: what was asked and what was answered.
struct LockCall {
  DWORD offset;
  DWORD bytes;
  DWORD flags;
  HRESULT result;
};

// One part handed back by Unlock, as a byte range of the buffer.
struct Region {
  DWORD offset;
  DWORD bytes;
  bool operator==(const Region& other) const { return offset == other.offset && bytes == other.bytes; }
};

// Which outputs one GetCurrentPosition call asked for.
struct CursorRead {
  bool play;
  bool write;
};

// Reference counting and the shared lock of every fake object.
class FakeObject {
 public:
  FakeObject(const FakeObject&) = delete;
  FakeObject& operator=(const FakeObject&) = delete;
  virtual ~FakeObject() = default;

  ULONG References() const;
  // Names of the interface methods called so far, in order (not IUnknown's).
  std::vector<std::string> Calls() const;
  int CallCount(const std::string& method) const;
  // The thread of the latest interface call (not IUnknown's); 0 before one.
  DWORD LastCallingThread() const;
  // Forgets the recorded calls, locks, writes and cursor reads.
  virtual void ClearRecords();

 protected:
  explicit FakeObject(FakeAudioDevices& devices);
  ULONG DoAddRef();
  ULONG DoRelease();
  // Takes the shared lock, records the call and counts it when the object
  // was already released.
  std::unique_lock<std::recursive_mutex> Enter(const char* method);
  std::unique_lock<std::recursive_mutex> Inspect() const;
  void Changed();
  // Appends to one of the records, unless recording is off.
  template <typename T>
  void Record(std::vector<T>& records, const T& entry) {
    if (RecordingOn()) records.push_back(entry);
  }
  bool RecordingOn() const;
  virtual void OnFinalRelease() {}

  FakeAudioDevices& devices;
  ULONG refs = 1;
  std::vector<std::string> calls;
  DWORD lastCallingThread = 0;
};

class FakeSoundBuffer;

class FakePlaybackDevice final : public IDirectSound, public FakeObject {
 public:
  explicit FakePlaybackDevice(FakeAudioDevices& devices) : FakeObject(devices) {}

  HWND CooperativeWindow() const;
  DWORD CooperativeLevel() const;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return DoAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return DoRelease(); }
  HRESULT STDMETHODCALLTYPE CreateSoundBuffer(LPCDSBUFFERDESC desc, LPLPDIRECTSOUNDBUFFER buffer, IUnknown* outer) override;
  HRESULT STDMETHODCALLTYPE GetCaps(LPDSCAPS caps) override;
  HRESULT STDMETHODCALLTYPE DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER original, LPLPDIRECTSOUNDBUFFER duplicate) override;
  HRESULT STDMETHODCALLTYPE SetCooperativeLevel(HWND window, DWORD level) override;
  HRESULT STDMETHODCALLTYPE Compact() override;
  HRESULT STDMETHODCALLTYPE GetSpeakerConfig(LPDWORD config) override;
  HRESULT STDMETHODCALLTYPE SetSpeakerConfig(DWORD config) override;
  HRESULT STDMETHODCALLTYPE Initialize(LPCGUID device) override;

 private:
  HWND cooperativeWindow = nullptr;
  DWORD cooperativeLevel = 0;
};

// A primary buffer (no memory; carries the volume) or a secondary buffer (a
// ring whose bytes start as kUntouchedByte).
class FakeSoundBuffer final : public IDirectSoundBuffer, public FakeObject {
 public:
  static constexpr std::uint8_t kUntouchedByte = 0xEE;

  FakeSoundBuffer(FakeAudioDevices& devices, const DSBUFFERDESC& desc, const Script& script);

  bool IsPrimary() const { return primary; }
  DSBUFFERDESC Desc() const;
  std::optional<WAVEFORMATEX> Format() const;

  // Scripting.
  void SetCursors(DWORD play, DWORD write);
  void SetCursorResult(HRESULT result);       // a failing read writes no output
  void ThrowOnNextCursorRead();               // std::bad_alloc out of the next GetCurrentPosition
  void QueueLockResults(std::vector<HRESULT> results);  // answers of the next Lock calls; DS_OK after
  void SetRestoreResult(HRESULT result);
  void SetVolumeResult(HRESULT result);
  void SetPlaying(bool playing);              // e.g. a lost buffer that stopped
  // While closed, GetCurrentPosition waits (the listener's thread then sits
  // in the player's cursor read).
  void CloseCursorGate();
  void OpenCursorGate();
  // From now on the buffer plays by itself, as a device that honours the
  // committed span: both cursors move in steps of `periodSeconds` on the
  // engine's device clock, the write cursor `gapSeconds` ahead of the
  // play cursor, and each ring sample is heard as the ring holds it when the
  // write cursor passes it; what is written behind the write cursor is not
  // heard. The ring holds 16-bit mono samples at the buffer's rate. A Lock
  // that comes less than `lockWaitSeconds` before the next period returns
  // after it has been mixed, as a Lock that waits while the mixer holds the
  // buffer does: the cursors may have moved on since they were read.
  void PlayCommitting(double gapSeconds, double periodSeconds, double lockWaitSeconds = 0.0);

  // Inspection.
  bool IsPlaying() const;
  DWORD PlayFlags() const;
  std::vector<LONG> Volumes() const;          // every SetVolume argument, in order
  std::vector<DWORD> PositionsSet() const;    // every SetCurrentPosition argument
  std::vector<LockCall> Locks() const;
  std::vector<Region> Writes() const;         // every part handed back by Unlock
  std::vector<CursorRead> CursorReads() const;
  int CursorReadsWaitingAtGate() const;
  std::vector<std::uint8_t> Bytes(DWORD offset, DWORD count) const;  // wraps around the ring
  // While playing committed: when it started, in seconds on the device
  // clock, and the samples heard since, from ring offset 0 on; sample i is
  // heard i samples after the start.
  double CommittingSince() const;
  std::vector<std::int16_t> Heard() const;
  // While playing committed: every Unlock that handed back bytes lying in
  // the committed span as it stood at the Lock (those are never heard).
  struct SpanWrite {
    double seconds;  // on the device clock
    DWORD bytes;
  };
  std::vector<SpanWrite> SpanWrites() const;
  void ClearRecords() override;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return DoAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return DoRelease(); }
  HRESULT STDMETHODCALLTYPE GetCaps(LPDSBCAPS caps) override;
  HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD play, LPDWORD write) override;
  HRESULT STDMETHODCALLTYPE GetFormat(LPWAVEFORMATEX format, DWORD allocated, LPDWORD written) override;
  HRESULT STDMETHODCALLTYPE GetVolume(LPLONG volume) override;
  HRESULT STDMETHODCALLTYPE GetPan(LPLONG pan) override;
  HRESULT STDMETHODCALLTYPE GetFrequency(LPDWORD frequency) override;
  HRESULT STDMETHODCALLTYPE GetStatus(LPDWORD status) override;
  HRESULT STDMETHODCALLTYPE Initialize(LPDIRECTSOUND device, LPCDSBUFFERDESC desc) override;
  HRESULT STDMETHODCALLTYPE Lock(DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes, LPVOID* second,
                                 LPDWORD secondBytes, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Play(DWORD reserved, DWORD priority, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE SetCurrentPosition(DWORD position) override;
  HRESULT STDMETHODCALLTYPE SetFormat(LPCWAVEFORMATEX format) override;
  HRESULT STDMETHODCALLTYPE SetVolume(LONG volume) override;
  HRESULT STDMETHODCALLTYPE SetPan(LONG pan) override;
  HRESULT STDMETHODCALLTYPE SetFrequency(DWORD frequency) override;
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE Unlock(LPVOID first, DWORD firstBytes, LPVOID second, DWORD secondBytes) override;
  HRESULT STDMETHODCALLTYPE Restore() override;

 private:
  const bool primary;
  DSBUFFERDESC desc;
  std::optional<WAVEFORMATEX> format;
  std::vector<std::uint8_t> memory;
  DWORD playCursor = 0;
  DWORD writeCursor = 0;
  HRESULT cursorResult = DS_OK;
  bool throwOnCursorRead = false;
  std::deque<HRESULT> lockResults;
  bool cursorGateClosed = false;
  int waitingAtCursorGate = 0;
  HRESULT restoreResult = DS_OK;
  HRESULT volumeResult;
  const HRESULT playResult;
  // Moves the cursors of a buffer that plays committed to now, or to the
  // period that begins within `aheadSeconds`, and hears what the write
  // cursor passed. The cursors never move back.
  void Mix(double aheadSeconds = 0.0);
  bool committing = false;
  double committingSince = 0.0;
  double periodSeconds = 0.0;
  double lockWaitSeconds = 0.0;
  double mixedPeriods = 0.0;
  DWORD lockedSpanFrom = 0;   // the committed span at the last Lock: its start,
  DWORD lockedSpanBytes = 0;  // and its length
  std::vector<SpanWrite> spanWrites;
  std::uint64_t gapSamples = 0;
  std::uint64_t committedSamples = 0;  // heard so far, unwrapped
  std::vector<std::int16_t> heard;
  LONG volume = 0;
  bool playing = false;
  DWORD playFlags = 0;
  std::vector<LONG> volumes;
  std::vector<DWORD> positionsSet;
  std::vector<LockCall> locks;
  std::vector<Region> writes;
  std::vector<CursorRead> cursorReads;
};

class FakeCaptureBuffer;

class FakeCaptureDevice final : public IDirectSoundCapture, public FakeObject {
 public:
  explicit FakeCaptureDevice(FakeAudioDevices& devices) : FakeObject(devices) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return DoAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return DoRelease(); }
  HRESULT STDMETHODCALLTYPE CreateCaptureBuffer(LPCDSCBUFFERDESC desc, LPDIRECTSOUNDCAPTUREBUFFER* buffer,
                                                LPUNKNOWN outer) override;
  HRESULT STDMETHODCALLTYPE GetCaps(LPDSCCAPS caps) override;
  HRESULT STDMETHODCALLTYPE Initialize(LPCGUID device) override;
};

// A looping capture buffer with its notification interface. The fake keeps
// its own duplicates of the notification events, so driving it never
// touches a handle the engine has closed.
class FakeCaptureBuffer final : public IDirectSoundCaptureBuffer, public IDirectSoundNotify, public FakeObject {
 public:
  FakeCaptureBuffer(FakeAudioDevices& devices, const DSCBUFFERDESC& desc, const Script& script);

  DSCBUFFERDESC Desc() const;
  std::optional<WAVEFORMATEX> Format() const;

  // Scripting.
  void QueueLockResults(std::vector<HRESULT> results);
  void SetNotificationResult(HRESULT result);
  // While closed, Lock waits (the listener's thread then sits in Lock).
  void CloseLockGate();
  void OpenLockGate();

  // Driving. A started buffer has captured a sample unless the script
  // made it stall. DeliverSegment fills the bytes of the segment that notification
  // `entry` closes (just past the previous position up to and including its
  // own), moves the capture and read cursors just past it and signals its
  // event; false when there is no such entry or the buffer was released.
  bool DeliverSegment(DWORD entry, const std::vector<std::uint8_t>& bytes);
  bool DeliverSegment(DWORD entry, std::uint8_t fill);
  // Signals the DSBPN_OFFSETSTOP event(s) without stopping capture.
  bool SignalStopPosition();

  // Inspection.
  std::vector<DSBPOSITIONNOTIFY> Notifications() const;  // as the engine handed them over
  bool IsCapturing() const;
  DWORD StartFlags() const;
  int LocksWaitingAtGate() const;
  std::vector<LockCall> Locks() const;
  std::vector<Region> Unlocks() const;
  void ClearRecords() override;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return DoAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return DoRelease(); }
  HRESULT STDMETHODCALLTYPE GetCaps(LPDSCBCAPS caps) override;
  HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD capture, LPDWORD read) override;
  HRESULT STDMETHODCALLTYPE GetFormat(LPWAVEFORMATEX format, DWORD allocated, LPDWORD written) override;
  HRESULT STDMETHODCALLTYPE GetStatus(LPDWORD status) override;
  HRESULT STDMETHODCALLTYPE Initialize(LPDIRECTSOUNDCAPTURE device, LPCDSCBUFFERDESC desc) override;
  HRESULT STDMETHODCALLTYPE Lock(DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes, LPVOID* second,
                                 LPDWORD secondBytes, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Start(DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE Unlock(LPVOID first, DWORD firstBytes, LPVOID second, DWORD secondBytes) override;
  HRESULT STDMETHODCALLTYPE SetNotificationPositions(DWORD count, LPCDSBPOSITIONNOTIFY positions) override;

 private:
  void OnFinalRelease() override;
  bool SignalStopPositionLocked();

  DSCBUFFERDESC desc;
  std::optional<WAVEFORMATEX> format;
  std::vector<std::uint8_t> memory;
  const bool hasNotify;
  const bool signalStopOnStop;
  const HRESULT startResult;
  const bool stalls;
  HRESULT notificationResult;
  std::deque<HRESULT> lockResults;
  bool gateClosed = false;
  int waitingAtGate = 0;
  bool capturing = false;
  DWORD startFlags = 0;
  DWORD capturePosition = 0;
  std::vector<DSBPOSITIONNOTIFY> notifications;
  std::vector<UniqueHandle> notificationEvents;  // duplicates, parallel to notifications
  std::vector<LockCall> locks;
  std::vector<Region> unlocks;
};

// Installs the fake creation functions for its lifetime (one at a time) and
// owns every fake object created meanwhile. Destroy it only after the engine
// has released its devices.
class FakeAudioDevices {
 public:
  FakeAudioDevices();
  FakeAudioDevices(const FakeAudioDevices&) = delete;
  FakeAudioDevices& operator=(const FakeAudioDevices&) = delete;
  ~FakeAudioDevices();

  Script script;

  // Installs the clock the engine and the fakes read from now on, for a
  // device that plays by simulated time; the performance counter by default.
  void UseClock(double (*clockSeconds)() noexcept);

  // Off: the fakes record no calls, locks, writes or cursor reads, so a
  // thread that calls them allocates nothing in them. On by default.
  void SetRecording(bool on);

  // The most recently created object of each kind; null before the first.
  FakePlaybackDevice* PlaybackDevice() const;
  FakeSoundBuffer* PrimaryBuffer() const;
  FakeSoundBuffer* SecondaryBuffer() const;
  FakeCaptureDevice* CaptureDevice() const;
  FakeCaptureBuffer* CaptureBuffer() const;

  struct Counts {
    int playbackDevices;
    int primaryBuffers;
    int secondaryBuffers;
    int captureDevices;
    int captureBuffers;
  };
  // How many objects of each kind were handed out so far and not discarded.
  Counts Created() const;
  // Sum of the reference counts of every fake object: 0 when the engine
  // holds nothing.
  ULONG LiveReferences() const;
  int CallsAfterRelease() const;
  // Destroys every object the engine has released and forgets it, so that
  // long runs do not keep thousands of buffers. Pointers to those objects
  // become invalid: call it only where nobody else holds one, and only
  // while no released object can be called again.
  void DiscardReleased();

  // Waits until condition() holds, re-checking whenever a fake changes and
  // at least every 10 ms. The condition runs under the fakes' lock and may
  // use their accessors.
  bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 5000) const;

 private:
  friend class FakeObject;
  friend class FakePlaybackDevice;
  friend class FakeCaptureDevice;
  friend class FakeSoundBuffer;
  friend class FakeCaptureBuffer;

  static HRESULT WINAPI CreatePlayback(LPCGUID device, LPDIRECTSOUND* created, LPUNKNOWN outer);
  static HRESULT WINAPI CreateCapture(LPCGUID device, LPDIRECTSOUNDCAPTURE* created, LPUNKNOWN outer);
  template <typename T>
  T* Adopt(std::unique_ptr<T> object, std::vector<T*>& kind);

  mutable std::recursive_mutex mutex;
  mutable std::condition_variable_any changed;
  int callsAfterRelease = 0;
  bool recording = true;
  std::vector<std::unique_ptr<FakeObject>> objects;
  std::vector<FakePlaybackDevice*> playbackDevices;
  std::vector<FakeSoundBuffer*> primaryBuffers;
  std::vector<FakeSoundBuffer*> secondaryBuffers;
  std::vector<FakeCaptureDevice*> captureDevices;
  std::vector<FakeCaptureBuffer*> captureBuffers;
};

}  // namespace fakeds
