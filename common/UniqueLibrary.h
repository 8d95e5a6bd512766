#pragma once

#include <windows.h>

#include "common/UniqueOwner.h"

// A loaded module, freed with FreeLibrary.
struct LibraryTraits {
  using Value = HMODULE;
  static HMODULE None() noexcept { return nullptr; }
  static bool Holds(HMODULE module) noexcept { return module != nullptr; }
  static void Release(HMODULE module) noexcept { FreeLibrary(module); }
};
using UniqueLibrary = UniqueOwner<LibraryTraits>;
