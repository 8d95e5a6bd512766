#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/UniqueHandle.h"
#include "common/UniqueLibrary.h"

// How worker threads are created: by default the runtime library's
// _beginthreadex, which returns the thread's handle or 0 with errno set.
// Tests install a function that fails, or that hands back a handle with too
// few rights to resume or await the thread; nothing else about the thread is
// replaceable.
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
//
// The thread holds a reference on the module that contains its code and
// lets go of it as its very last act, so a host that frees the module while
// the thread runs (as the final CoUninitialize does) leaves it loaded rather
// than unmapped under the thread.
class CWorkerThread {
 public:
  explicit CWorkerThread(const char* name);
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;
  virtual ~CWorkerThread();

  // 0 on success; 11 (EAGAIN) or 22 (EINVAL) from the runtime library, or
  // E_FAIL for any other failure to create or resume the thread. A thread
  // that was created but could neither be resumed nor be seen to end
  // counts as running.
  std::int32_t Start();
  // 0 once the thread has ended (or never ran), E_FAIL when it has not ended
  // within the time-out or its end cannot be observed.
  std::int32_t Wait(DWORD timeoutMs);

  // Whether a thread was started and has not been seen to end: its handle
  // is not signalled, or cannot be waited on.
  bool IsRunning() const noexcept;

 protected:
  virtual void ThreadMain() = 0;

  // When true the thread destroys the object after ThreadMain; only for
  // objects that nobody waits for or destroys.
  bool deleteOnExit = false;

 private:
  static unsigned __stdcall ThreadEntry(void* object);

  UniqueHandle thread;
  // Taken by Start, handed over to the thread, which frees it on exit.
  UniqueLibrary moduleReference;
  std::string name;
};
