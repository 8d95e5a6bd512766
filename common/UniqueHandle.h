#pragma once

#include <windows.h>

#include "common/UniqueOwner.h"

// A Win32 handle closed with CloseHandle. Both null and INVALID_HANDLE_VALUE
// count as "no handle".
struct HandleTraits {
  using Value = HANDLE;
  static HANDLE None() noexcept { return nullptr; }
  static bool Holds(HANDLE handle) noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Release(HANDLE handle) noexcept { CloseHandle(handle); }
};
using UniqueHandle = UniqueOwner<HandleTraits>;
