#pragma once

#include <windows.h>

#include <utility>

// Move-only owner of a loaded module, freed with FreeLibrary.
class UniqueLibrary {
 public:
  UniqueLibrary() noexcept = default;
  explicit UniqueLibrary(HMODULE module) noexcept : module(module) {}
  UniqueLibrary(UniqueLibrary&& other) noexcept : module(std::exchange(other.module, nullptr)) {}
  UniqueLibrary& operator=(UniqueLibrary&& other) noexcept {
    if (this != &other) reset(std::exchange(other.module, nullptr));
    return *this;
  }
  UniqueLibrary(const UniqueLibrary&) = delete;
  UniqueLibrary& operator=(const UniqueLibrary&) = delete;
  ~UniqueLibrary() { reset(); }

  HMODULE get() const noexcept { return module; }
  explicit operator bool() const noexcept { return module != nullptr; }
  HMODULE release() noexcept { return std::exchange(module, nullptr); }
  void reset(HMODULE replacement = nullptr) noexcept {
    HMODULE old = std::exchange(module, replacement);
    if (old != nullptr) FreeLibrary(old);
  }

 private:
  HMODULE module = nullptr;
};
