#pragma once

// In place of the runtime library's thread start, for as long as it lives:
// starts the thread as asked but hands back a handle with only the given
// access rights, so that resuming or awaiting the thread is refused. The test
// keeps a handle with every right, to see and await the thread itself.

#include <windows.h>
#include <process.h>

#include <cstdint>

#include "common/UniqueHandle.h"
#include "engine/WorkerThread.h"

class RestrictedThreadStart {
 public:
  explicit RestrictedThreadStart(DWORD access) {
    grantedAccess = access;
    SetThreadStartFunction(&Start);
  }
  RestrictedThreadStart(const RestrictedThreadStart&) = delete;
  RestrictedThreadStart& operator=(const RestrictedThreadStart&) = delete;
  ~RestrictedThreadStart() {
    SetThreadStartFunction(nullptr);
    fullHandle.reset();
  }

  // The last thread started, with every right.
  HANDLE Thread() const noexcept { return fullHandle.get(); }

 private:
  static std::uintptr_t Start(void* security, unsigned stackSize, unsigned(__stdcall* entry)(void*), void* argument,
                              unsigned flags, unsigned* threadId) {
    const std::uintptr_t created = _beginthreadex(security, stackSize, entry, argument, flags, threadId);
    if (created == 0) return 0;
    fullHandle.reset(reinterpret_cast<HANDLE>(created));
    HANDLE restricted = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), fullHandle.get(), GetCurrentProcess(), &restricted, grantedAccess, FALSE,
                         0)) {
      return 0;
    }
    return reinterpret_cast<std::uintptr_t>(restricted);
  }

  static inline DWORD grantedAccess = 0;
  static inline UniqueHandle fullHandle;
};
