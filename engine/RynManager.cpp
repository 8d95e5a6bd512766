#include "engine/RynManager.h"

#include "engine/Player.h"
#include "engine/Recorder.h"
#include "engine/ReportedDelay.h"
#include "engine/VelException.h"

namespace {

std::atomic<CRynManager*> moduleManager{nullptr};

constexpr std::int32_t kMinDelayMs = 40;
constexpr std::int32_t kMaxDelayMs = 220;
constexpr std::int32_t kMinFrequencyShift = -10;
constexpr std::int32_t kMaxFrequencyShift = 10;
constexpr std::int32_t kMinVolume = 0;
constexpr std::int32_t kMaxVolume = 100;

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
  const CRynManager* manager = moduleManager.load();
  return manager != nullptr && manager->IsRunning();
}

CRynManager::CRynManager() : stopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
  OutputDebugStringA("CRynManager created");
}

CRynManager::~CRynManager() {
  // Only managers other than the module's one are ever destroyed; one that
  // still runs is stopped so its listener never outlives the player.
  Stop();
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
  if (running.load()) return;

  auto newPlayer = std::make_unique<CPlayer>(*this);
  auto newRecorder = std::make_unique<CRecorder>(*this);
  newPlayer->Start();
  // The player exists and plays before the listener's thread starts, so no
  // segment ever arrives without a player.
  player = std::move(newPlayer);
  recorder = std::move(newRecorder);
  try {
    recorder->Start();
  } catch (...) {
    // Nothing of a failed start stays behind or keeps playing; the next
    // Start builds everything afresh.
    player->Stop();
    recorder.reset();
    player.reset();
    throw;
  }
  running.store(true);
}

void CRynManager::StopLocked() {
  if (!running.load()) return;
  // The stop event first: the listener's wait ends even if capture never
  // reports its stop, and it stays set while a segment is still handled.
  SetEvent(stopEvent.get());
  player->Stop();
  recorder->Stop();
  // The listener's thread has ended; nothing uses the player any more.
  player.reset();
  recorder.reset();
  running.store(false);
  ResetEvent(stopEvent.get());
}

void CRynManager::SetDelay(std::int32_t delayMs) {
  Require(delayMs >= kMinDelayMs && delayMs <= kMaxDelayMs);
  std::lock_guard<std::recursive_mutex> lock(hostLock);
  delay.store(delayMs);
  if (running.load()) {
    StopLocked();
    StartLocked();
  }
}

void CRynManager::SetFrequencyShift(std::int32_t shift) {
  Require(shift >= kMinFrequencyShift && shift <= kMaxFrequencyShift);
  std::lock_guard<std::recursive_mutex> lock(hostLock);
  frequencyShift.store(shift);
  if (running.load()) {
    StopLocked();
    StartLocked();
  }
}

void CRynManager::SetZelMode(std::int32_t mode) {
  Require(mode == 1 || mode == 2);
  std::lock_guard<std::recursive_mutex> lock(hostLock);
  zelMode.store(mode);
  if (running.load()) {
    StopLocked();
    StartLocked();
  }
}

void CRynManager::SetVolume(std::int32_t percent) {
  Require(percent >= kMinVolume && percent <= kMaxVolume);
  std::lock_guard<std::recursive_mutex> lock(hostLock);
  volume.store(percent);
  // A player exists exactly while the engine runs; the volume needs no
  // restart.
  if (player) player->SetVolume(percent);
}

std::int32_t CRynManager::GetReportedDelay() const noexcept {
  return ReportedDelay(delay.load(), measuredDelay.load());
}

void CRynManager::OnCapturedBlock(void* block, std::uint32_t bytes, std::uint32_t lateBytes) {
  // Called only between the player's creation and the join of the listener's
  // thread, so the player cannot change under it.
  if (player) player->Write(block, bytes, lateBytes);
  capturedBlocks.fetch_add(1, std::memory_order_relaxed);
}
