#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/UniqueHandle.h"

// How worker threads are created: by default the runtime library's
// _beginthreadex, which returns the thread's handle or 0 with errno set.
// Tests install a function that fails, to see a thread that cannot start;
// nothing else about the thread is replaceable.
using ThreadStartFunction = std::uintptr_t (*)(void* security, unsigned stackSize,
                                               unsigned(__stdcall* entry)(void*), void* argument,
                                               unsigned flags, unsigned* threadId);
// Replaces the function for threads started from now on; null restores the
// runtime library's.
void SetThreadStartFunction(ThreadStartFunction start) noexcept;

// Base of an object that owns one thread. The thread runs ThreadMain inside
// the multithreaded COM apartment and logs its start and end to standard
// output. The owner starts it once, makes the body end, waits, and destroys
// the object only after its thread has ended.
class CWorkerThread {
 public:
  explicit CWorkerThread(const char* name);
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;
  virtual ~CWorkerThread();

  // 0 on success; 11 (EAGAIN) or 22 (EINVAL) from the runtime library, or
  // E_FAIL for any other failure to create the thread.
  std::int32_t Start();
  // 0 once the thread has ended (or never ran), E_FAIL on a time-out.
  std::int32_t Wait(DWORD timeoutMs);

  // Whether a thread was started and has not finished its body yet.
  bool IsRunning() const noexcept { return threadHandle.load() != -1; }

 protected:
  virtual void ThreadMain() = 0;

  // When true the thread destroys the object after ThreadMain; only for
  // objects that nobody waits for or destroys.
  bool deleteOnExit = false;

 private:
  static unsigned __stdcall ThreadEntry(void* object);

  // -1 while no thread runs; the thread writes -1 as it ends. The handle
  // itself is owned separately so that a wait never sees it closed.
  std::atomic<std::intptr_t> threadHandle{-1};
  UniqueHandle ownedThread;
  std::string name;
};
