#pragma once

#include <windows.h>

#include "common/UniqueOwner.h"

// An open registry key, closed with RegCloseKey.
struct RegistryKeyTraits {
  using Value = HKEY;
  static HKEY None() noexcept { return nullptr; }
  static bool Holds(HKEY key) noexcept { return key != nullptr; }
  static void Release(HKEY key) noexcept { RegCloseKey(key); }
};
using UniqueRegistryKey = UniqueOwner<RegistryKeyTraits>;
