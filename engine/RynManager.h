#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/ShiftMethod.h"
#include "common/UniqueHandle.h"
#include "engine/CaptureTimeouts.h"

class CPlayer;
class CRecorder;

// The one engine manager of the module: holds the four parameters, builds,
// starts, stops and destroys the player and the recorder, and relays captured
// blocks from the capture listener to the player.
//
// Host operations are serialised by one lock. The capture listener's thread
// never takes it: it calls OnCapturedBlock, SetMeasuredDelay and the getters,
// which read atomics.
//
// A listener whose thread does not end when the engine stops (stuck in a
// driver call) keeps its run's player and recorder alive: they are set
// aside, never freed under the thread, and freed by any later Start or Stop
// once the thread has ended. Blocks it still hands over reach nobody.
class CRynManager {
 public:
  // Created on the first call (safely under concurrent first calls) and never
  // destroyed while the module is loaded.
  static CRynManager& GetInstance();
  // Whether the module's one manager exists and its engine runs; never
  // creates the manager. The module stays loaded while this holds.
  static bool IsModuleEngineRunning() noexcept;
  // The module's one manager, or null before its first use; never creates it.
  static const CRynManager* FindInstance() noexcept;

  CRynManager();
  CRynManager(const CRynManager&) = delete;
  CRynManager& operator=(const CRynManager&) = delete;
  virtual ~CRynManager();

  void Start();
  void Stop();

  void SetDelay(std::int32_t delayMs);
  void SetFrequencyShift(std::int32_t shift);
  void SetVolume(std::int32_t percent);
  // The "ZEL_MODE" value: 1 or 2 (ShiftMethod).
  void SetZelMode(std::int32_t mode);
  // The capture side's waits for the recorders that later starts build (a
  // running engine keeps its own); the module's manager keeps the defaults,
  // tests shorten them.
  void SetCaptureTimeouts(const CaptureTimeouts& timeouts);

  std::int32_t GetDelay() const noexcept { return delay.load(); }
  std::int32_t GetFrequencyShift() const noexcept { return frequencyShift.load(); }
  std::int32_t GetVolume() const noexcept { return volume.load(); }
  ShiftMethod GetZelMode() const noexcept { return zelMode.load(); }
  bool IsRunning() const noexcept { return running.load(); }

  std::int32_t GetReportedDelay() const noexcept;
  // The player's last measurement, unchanged.
  std::int32_t GetMeasuredDelay() const noexcept { return measuredDelay.load(); }
  void SetMeasuredDelay(std::int32_t delayMs) noexcept { measuredDelay.store(delayMs); }

  // Listener thread: hands one captured block of the source recorder to the
  // player of the same run, with the bytes captured since the block's end
  // when it was handed over. Blocks of any other recorder are dropped.
  void OnCapturedBlock(const CRecorder& source, void* block, std::uint32_t bytes, std::uint32_t lateBytes);
  // Blocks handed to the player since the manager was created: set against
  // the time the engine ran, it shows whether capture segments were lost.
  std::uint64_t GetCapturedBlockCount() const noexcept { return capturedBlocks.load(); }

  // When the current run's first block reached the player, in
  // performance-counter ticks; 0 until then.
  std::int64_t GetFirstBlockTicks() const noexcept { return firstBlockTicks.load(); }
  // Listener thread: a capture that did not start delivering was restarted.
  void CountCaptureRestart() noexcept { captureRestarts.fetch_add(1, std::memory_order_relaxed); }
  // Captures restarted since the manager was created.
  std::uint64_t GetCaptureRestartCount() const noexcept { return captureRestarts.load(); }

  // How the current run's stream has gone: the times it was re-seated in
  // the playback ring (each one a jump of what is heard), and the times it
  // was moved back to its delay in a quiet block after the output or the
  // capture slipped, the stalls of the play cursor it saw, the steps ahead
  // of the capture device it saw, and the times it held the play line on
  // its hull (capture and playback on two clocks). Set by the player with
  // every block.
  struct StreamCounts {
    std::uint32_t reseats = 0;
    std::uint32_t realignments = 0;
    std::uint32_t stalls = 0;
    std::uint32_t captureSteps = 0;
    std::uint32_t holds = 0;
  };
  void SetStreamCounts(StreamCounts counts) noexcept {
    streamReseats.store(counts.reseats, std::memory_order_relaxed);
    streamRealignments.store(counts.realignments, std::memory_order_relaxed);
    streamStalls.store(counts.stalls, std::memory_order_relaxed);
    streamCaptureSteps.store(counts.captureSteps, std::memory_order_relaxed);
    streamHolds.store(counts.holds, std::memory_order_relaxed);
  }
  StreamCounts GetStreamCounts() const noexcept {
    return {streamReseats.load(), streamRealignments.load(), streamStalls.load(), streamCaptureSteps.load(),
            streamHolds.load()};
  }

  // Module-wide manual-reset event, signalled for the duration of Stop.
  HANDLE GetStopEvent() const noexcept { return stopEvent.get(); }

 private:
  // The player and the recorder of one start of the engine.
  struct EngineRun {
    EngineRun() noexcept;
    EngineRun(const EngineRun&) = delete;
    EngineRun& operator=(const EngineRun&) = delete;
    // The player first, then the recorder.
    ~EngineRun();

    std::unique_ptr<CPlayer> player;
    std::unique_ptr<CRecorder> recorder;
    // Chains the runs set aside with a stuck listener.
    std::unique_ptr<EngineRun> nextSetAside;
  };

  void StartLocked();
  void StopLocked();
  // Ends the current run: freed when its listener has ended, set aside
  // otherwise.
  void EndRun() noexcept;
  // Frees the runs set aside whose listener has ended since.
  void FreeEndedRuns() noexcept;

  std::atomic<std::int32_t> delay{40};
  std::atomic<std::int32_t> frequencyShift{0};
  std::atomic<std::int32_t> volume{100};
  // Read and written under the host lock.
  CaptureTimeouts captureTimeouts;
  std::unique_ptr<EngineRun> run;
  // The player and the recorder of the run whose blocks are played, from
  // just before its listener starts until the run ends; read by the
  // listener's thread without a lock.
  std::atomic<CPlayer*> playingPlayer{nullptr};
  std::atomic<const CRecorder*> playingRecorder{nullptr};
  std::unique_ptr<EngineRun> setAside;
  std::atomic<bool> running{false};
  std::atomic<std::int32_t> measuredDelay{0};
  std::atomic<ShiftMethod> zelMode{ShiftMethod::PhaseVocoder};
  std::atomic<std::uint64_t> capturedBlocks{0};
  std::atomic<std::int64_t> firstBlockTicks{0};
  std::atomic<std::uint64_t> captureRestarts{0};
  std::atomic<std::uint32_t> streamReseats{0};
  std::atomic<std::uint32_t> streamRealignments{0};
  std::atomic<std::uint32_t> streamStalls{0};
  std::atomic<std::uint32_t> streamCaptureSteps{0};
  std::atomic<std::uint32_t> streamHolds{0};
  UniqueHandle stopEvent;
  std::recursive_mutex hostLock;
};
