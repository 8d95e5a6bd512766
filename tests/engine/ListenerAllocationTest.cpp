// Counts the heap allocations and frees made on the listener's thread while
// it listens, through this program's replacement of the global operator
// new and delete. The listening span is marked by the class scheduler's
// join and leave, which the listener makes on its own thread first and
// last (avrt's functions are replaced here). malloc is left alone: it comes
// from the C runtime DLL, whose own callers would free what a replacement
// here allocated.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "engine/RealtimeScheduling.h"
#include "engine/RynManager.h"
#include "support/FakeDirectSound.h"
#include "support/StdoutCapture.h"

namespace {

std::atomic<DWORD> listeningThread{0};
std::atomic<int> listenings{0};
std::atomic<int> allocations{0};
std::atomic<int> frees{0};

bool OnListeningThread() noexcept {
  const DWORD thread = listeningThread.load(std::memory_order_relaxed);
  return thread != 0 && thread == GetCurrentThreadId();
}

void* Allocate(std::size_t size) {
  if (OnListeningThread()) allocations.fetch_add(1);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
  if (OnListeningThread()) allocations.fetch_add(1);
  if (void* memory = _aligned_malloc(size == 0 ? 1 : size, static_cast<std::size_t>(alignment))) return memory;
  throw std::bad_alloc();
}

void Free(void* memory) noexcept {
  if (memory != nullptr && OnListeningThread()) frees.fetch_add(1);
  std::free(memory);
}

void FreeAligned(void* memory) noexcept {
  if (memory != nullptr && OnListeningThread()) frees.fetch_add(1);
  _aligned_free(memory);
}

HANDLE WINAPI JoinTask(LPCWSTR, LPDWORD index) {
  listeningThread.store(GetCurrentThreadId());
  listenings.fetch_add(1);
  *index = 1;
  return reinterpret_cast<HANDLE>(0x7A5C);
}

BOOL WINAPI LeaveTask(HANDLE) {
  listeningThread.store(0);
  return TRUE;
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void* operator new(std::size_t size, std::align_val_t alignment) { return AllocateAligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return AllocateAligned(size, alignment); }
void operator delete(void* memory) noexcept { Free(memory); }
void operator delete[](void* memory) noexcept { Free(memory); }
void operator delete(void* memory, std::size_t) noexcept { Free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { Free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { Free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { Free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { FreeAligned(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { FreeAligned(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { FreeAligned(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { FreeAligned(memory); }

namespace {

using fakeds::FakeAudioDevices;
using fakeds::FakeCaptureBuffer;

constexpr int kBlocksPerRun = 300;

// Each shift method (none, phase vocoder, resampling) at the shortest and
// the longest delay: hundreds of segments after Start, from the first on,
// with neither an allocation nor a free on the listener's thread.
TEST(ListenerAllocation, NoneWhileListeningInAnyMethodOrDelay) {
  const AvrtFunctions markers{&JoinTask, &LeaveTask};
  SetAvrtFunctions(&markers);
  StdoutCapture out;
  FakeAudioDevices devices;
  // The fakes' own records would allocate on the listener's thread.
  devices.SetRecording(false);
  CRynManager manager;
  struct Method {
    const char* name;
    std::int32_t shift;
    std::int32_t zelMode;
  };
  for (const Method method : {Method{"none", 0, 1}, Method{"vocoder", 5, 1}, Method{"resampling", -5, 2}}) {
    for (const std::int32_t delay : {40, 220}) {
      manager.SetDelay(delay);
      manager.SetFrequencyShift(method.shift);
      manager.SetZelMode(method.zelMode);
      allocations = 0;
      frees = 0;
      const int listeningsBefore = listenings.load();
      const std::uint64_t blocksBefore = manager.GetCapturedBlockCount();
      manager.Start();
      FakeCaptureBuffer* capture = devices.CaptureBuffer();
      for (int block = 0; block < kBlocksPerRun; ++block) {
        ASSERT_TRUE(capture->DeliverSegment(static_cast<DWORD>(block % 16), static_cast<std::uint8_t>(block)));
        ASSERT_TRUE(devices.WaitUntil([&] { return manager.GetCapturedBlockCount() == blocksBefore + block + 1; }))
            << method.name << " at " << delay << " ms, block " << block;
      }
      manager.Stop();
      EXPECT_EQ(listeningsBefore + 1, listenings.load()) << method.name << " at " << delay << " ms";
      EXPECT_EQ(0, allocations.load()) << method.name << " at " << delay << " ms";
      EXPECT_EQ(0, frees.load()) << method.name << " at " << delay << " ms";
    }
  }
  SetAvrtFunctions(nullptr);
}

}  // namespace
