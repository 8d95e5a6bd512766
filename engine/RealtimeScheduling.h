#pragma once

#include <windows.h>

#include "common/UniqueLibrary.h"

// The multimedia class scheduler's two calls, as avrt.dll exports them.
struct AvrtFunctions {
  HANDLE(WINAPI* setMmThreadCharacteristics)(LPCWSTR taskName, LPDWORD taskIndex);
  BOOL(WINAPI* revertMmThreadCharacteristics)(HANDLE task);
};

// Replaces avrt.dll's functions for the scopes made from now on; a null
// member stands for a system without them, a null pointer brings avrt.dll
// back. The functions must outlive every scope made with them. Tests use it;
// nothing else of the scheduling is replaceable.
void SetAvrtFunctions(const AvrtFunctions* functions) noexcept;

// Real-time scheduling of the calling thread for the scope's lifetime: the
// thread joins the class scheduler's "Pro Audio" task, or, where avrt.dll is
// missing or the join fails, runs at time-critical priority. Made and
// destroyed on the thread itself; the destructor leaves the task or
// restores the priority. A failed join is not an error: it is written once
// to the debug output (once per process and per set of functions) and the
// thread goes on at the priority it could get.
class CRealtimeScheduling {
 public:
  CRealtimeScheduling() noexcept;
  CRealtimeScheduling(const CRealtimeScheduling&) = delete;
  CRealtimeScheduling& operator=(const CRealtimeScheduling&) = delete;
  ~CRealtimeScheduling();

 private:
  // Raises the thread's priority; the debug line names why the task was not joined.
  void RaisePriority(const char* reason, DWORD error) noexcept;

  UniqueLibrary avrt;
  AvrtFunctions functions{};
  HANDLE task = nullptr;
  // THREAD_PRIORITY_ERROR_RETURN while the priority was not raised.
  int previousPriority = THREAD_PRIORITY_ERROR_RETURN;
};
