#pragma once

#include <windows.h>

// Owner of a Win32 critical section; a scoped guard enters and leaves it.
class CriticalSection {
 public:
  CriticalSection() noexcept { InitializeCriticalSection(&section); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() { DeleteCriticalSection(&section); }

  void Enter() noexcept { EnterCriticalSection(&section); }
  void Leave() noexcept { LeaveCriticalSection(&section); }

 private:
  CRITICAL_SECTION section;
};

class CriticalSectionGuard {
 public:
  explicit CriticalSectionGuard(CriticalSection& section) noexcept : section(section) { section.Enter(); }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;
  ~CriticalSectionGuard() { section.Leave(); }

 private:
  CriticalSection& section;
};
