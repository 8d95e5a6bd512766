#include "engine/RynManager.h"

#include "common/ParameterRanges.h"
#include "engine/Player.h"
#include "engine/Recorder.h"
#include "engine/ReportedDelay.h"
#include "engine/VelException.h"

namespace {

std::atomic<CRynManager*> moduleManager{nullptr};

std::int64_t Now() noexcept {
  LARGE_INTEGER ticks;
  QueryPerformanceCounter(&ticks);
  return ticks.QuadPart;
}

void Require(bool valid) {
  if (!valid) throw CVelException(ERR_INVALID_PARAMETER);
}

}  // namespace

CRynManager& CRynManager::GetInstance() {
  // Deliberately never destroyed: a host thread may still reach it while the
  // module unloads.
  static CRynManager* const instance = [] {
    auto* created = new CRynManager();
    moduleManager.store(created);
    return created;
  }();
  return *instance;
}

bool CRynManager::IsModuleEngineRunning() noexcept {
  const CRynManager* manager = FindInstance();
  return manager != nullptr && manager->IsRunning();
}

const CRynManager* CRynManager::FindInstance() noexcept { return moduleManager.load(); }

CRynManager::EngineRun::EngineRun() noexcept = default;

CRynManager::EngineRun::~EngineRun() {
  player.reset();
  recorder.reset();
}

CRynManager::CRynManager() : stopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
  OutputDebugStringA("CRynManager created");
}

CRynManager::~CRynManager() {
  // Only managers other than the module's one are ever destroyed; one that
  // still runs is stopped so its listener never outlives the player.
  try {
    Stop();
  } catch (const CVelException&) {
    // A stuck listener: its run is set aside and awaited below.
  }
  // Freeing a run waits for its listener, which still waits on the stop
  // event: the runs go before the event.
  setAside.reset();
  stopEvent.reset();
  OutputDebugStringA("CRynManager destroyed");
}

void CRynManager::Start() {
  std::lock_guard<std::recursive_mutex> lock(hostLock);
  StartLocked();
}

void CRynManager::Stop() {
  std::lock_guard<std::recursive_mutex> lock(hostLock);
  StopLocked();
}

void CRynManager::StartLocked() {
  FreeEndedRuns();
  if (running.load()) return;

  auto next = std::make_unique<EngineRun>();
  next->player = std::make_unique<CPlayer>(*this);
  next->recorder = std::make_unique<CRecorder>(*this, captureTimeouts);
  // A stream that does not play would have the host believe that feedback
  // runs while nothing is heard. The streaming buffer is what failed.
  if (FAILED(next->player->Start())) {
    next->player->Stop();
    throw CVelException(ERR_SECONDARY_BUFFER);
  }
  // The player exists and plays before the listener's thread starts, so no
  // segment ever arrives without a player.
  run = std::move(next);
  firstBlockTicks.store(0);
  playingPlayer.store(run->player.get());
  playingRecorder.store(run->recorder.get());
  try {
    run->recorder->Start();
  } catch (...) {
    // Nothing of a failed start stays behind or keeps playing; the next
    // Start builds everything afresh.
    run->player->Stop();
    EndRun();
    throw;
  }
  running.store(true);
}

void CRynManager::StopLocked() {
  FreeEndedRuns();
  if (!running.load()) return;
  // The stop event first: the listener's wait ends even if capture never
  // reports its stop, and it stays set while a segment is still handled.
  SetEvent(stopEvent.get());
  run->player->Stop();
  // Stopped either way: when the listener's thread does not end, its run is
  // set aside and the failure passes to the host.
  const auto finish = [this] {
    EndRun();
    running.store(false);
    ResetEvent(stopEvent.get());
  };
  try {
    run->recorder->Stop();
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

void CRynManager::EndRun() noexcept {
  // Unpublished in the reverse order of OnCapturedBlock's reads.
  playingRecorder.store(nullptr);
  playingPlayer.store(nullptr);
  if (run->recorder->IsListening()) {
    // Its thread may still be inside the player; from its next step on it
    // leaves the player, the shift stage and the shared vocoder stream to
    // the runs that follow.
    run->player->Retire();
    run->nextSetAside = std::move(setAside);
    setAside = std::move(run);
  }
  run.reset();
}

void CRynManager::FreeEndedRuns() noexcept {
  std::unique_ptr<EngineRun>* link = &setAside;
  while (*link) {
    if ((*link)->recorder->IsListening()) {
      link = &(*link)->nextSetAside;
      continue;
    }
    const std::unique_ptr<EngineRun> ended = std::move(*link);
    *link = std::move(ended->nextSetAside);
  }
}

void CRynManager::SetDelay(std::int32_t delayMs) {
  Require(kDelayRangeMs.Contains(delayMs));
  std::lock_guard<std::recursive_mutex> lock(hostLock);
  delay.store(delayMs);
  if (running.load()) {
    StopLocked();
    StartLocked();
  }
}

void CRynManager::SetFrequencyShift(std::int32_t shift) {
  Require(kFrequencyShiftRange.Contains(shift));
  std::lock_guard<std::recursive_mutex> lock(hostLock);
  frequencyShift.store(shift);
  if (running.load()) {
    StopLocked();
    StartLocked();
  }
}

void CRynManager::SetZelMode(std::int32_t mode) {
  const std::optional<ShiftMethod> method = ShiftMethodOfZelMode(mode);
  Require(method.has_value());
  std::lock_guard<std::recursive_mutex> lock(hostLock);
  zelMode.store(*method);
  if (running.load()) {
    StopLocked();
    StartLocked();
  }
}

void CRynManager::SetCaptureTimeouts(const CaptureTimeouts& timeouts) {
  std::lock_guard<std::recursive_mutex> lock(hostLock);
  captureTimeouts = timeouts;
}

void CRynManager::SetVolume(std::int32_t percent) {
  Require(kVolumeRangePercent.Contains(percent));
  std::lock_guard<std::recursive_mutex> lock(hostLock);
  volume.store(percent);
  // A player exists exactly while the engine runs; the volume needs no
  // restart.
  if (run) run->player->SetVolume(percent);
}

std::int32_t CRynManager::GetReportedDelay() const noexcept {
  return ReportedDelay(delay.load(), measuredDelay.load());
}

void CRynManager::OnCapturedBlock(const CRecorder& source, void* block, std::uint32_t bytes,
                                  std::uint32_t lateBytes) {
  // The player is read before the recorder, the reverse of the order in
  // which a run is published: a recorder that matches vouches for the player
  // read before it, which lives until this listener has ended. A listener
  // whose run was set aside never matches, so it never reaches a newer run.
  CPlayer* const player = playingPlayer.load();
  if (player == nullptr || playingRecorder.load() != &source) return;
  if (!player->Write(block, bytes, lateBytes)) return;
  capturedBlocks.fetch_add(1, std::memory_order_relaxed);
  if (firstBlockTicks.load(std::memory_order_relaxed) == 0) firstBlockTicks.store(Now());
}
