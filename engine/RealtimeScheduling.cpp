#include "engine/RealtimeScheduling.h"

#include <atomic>
#include <cstdio>

namespace {

// The class scheduler's task for low-latency audio: the highest of its
// audio classes, meant for threads that must meet every period.
constexpr wchar_t kTaskName[] = L"Pro Audio";

std::atomic<const AvrtFunctions*> replacement{nullptr};
// Whether a failed join has been written since the functions were last set.
std::atomic<bool> failureWritten{false};

// avrt.dll by its full path in the system folder, so a file of that name
// beside the host is never loaded; its functions, or null members without
// it.
AvrtFunctions LoadAvrt(UniqueLibrary& library) noexcept {
  if (const AvrtFunctions* installed = replacement.load()) return *installed;
  constexpr wchar_t kFile[] = L"\\avrt.dll";
  wchar_t path[MAX_PATH];
  const UINT folder = GetSystemDirectoryW(path, MAX_PATH);
  if (folder == 0 || folder + sizeof kFile / sizeof kFile[0] > MAX_PATH) return AvrtFunctions{};
  lstrcpyW(path + folder, kFile);
  library.reset(LoadLibraryW(path));
  if (!library) return AvrtFunctions{};
  return AvrtFunctions{
      reinterpret_cast<decltype(AvrtFunctions::setMmThreadCharacteristics)>(
          reinterpret_cast<void (*)()>(GetProcAddress(library.get(), "AvSetMmThreadCharacteristicsW"))),
      reinterpret_cast<decltype(AvrtFunctions::revertMmThreadCharacteristics)>(
          reinterpret_cast<void (*)()>(GetProcAddress(library.get(), "AvRevertMmThreadCharacteristics")))};
}

}  // namespace

void SetAvrtFunctions(const AvrtFunctions* functions) noexcept {
  replacement.store(functions);
  failureWritten.store(false);
}

CRealtimeScheduling::CRealtimeScheduling() noexcept : functions(LoadAvrt(avrt)) {
  if (functions.setMmThreadCharacteristics == nullptr || functions.revertMmThreadCharacteristics == nullptr) {
    RaisePriority("avrt.dll or its functions are missing", GetLastError());
    return;
  }
  DWORD taskIndex = 0;
  task = functions.setMmThreadCharacteristics(kTaskName, &taskIndex);
  if (task == nullptr) RaisePriority("AvSetMmThreadCharacteristicsW failed", GetLastError());
}

CRealtimeScheduling::~CRealtimeScheduling() {
  if (task != nullptr) {
    functions.revertMmThreadCharacteristics(task);
  } else if (previousPriority != THREAD_PRIORITY_ERROR_RETURN) {
    SetThreadPriority(GetCurrentThread(), previousPriority);
  }
}

void CRealtimeScheduling::RaisePriority(const char* reason, DWORD error) noexcept {
  const int current = GetThreadPriority(GetCurrentThread());
  const bool raised = current != THREAD_PRIORITY_ERROR_RETURN &&
                      SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  if (raised) previousPriority = current;
  if (failureWritten.exchange(true)) return;
  // Formatted on the stack: the line costs no allocation on the audio thread.
  char line[160];
  std::snprintf(line, sizeof line, "CRealtimeScheduling: no Pro Audio task (%s, error %lu); %s", reason,
                static_cast<unsigned long>(error),
                raised ? "time-critical priority instead" : "time-critical priority refused too");
  OutputDebugStringA(line);
}
