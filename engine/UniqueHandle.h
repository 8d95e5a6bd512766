#pragma once

#include <windows.h>

#include <utility>

// Move-only owner of a Win32 handle that is closed with CloseHandle.
// Both null and INVALID_HANDLE_VALUE count as "no handle".
class UniqueHandle {
 public:
  UniqueHandle() noexcept = default;
  explicit UniqueHandle(HANDLE handle) noexcept : handle(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.handle, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  HANDLE get() const noexcept { return handle; }
  explicit operator bool() const noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  HANDLE release() noexcept { return std::exchange(handle, nullptr); }
  void reset(HANDLE replacement = nullptr) noexcept {
    HANDLE old = std::exchange(handle, replacement);
    if (old != nullptr && old != INVALID_HANDLE_VALUE) CloseHandle(old);
  }

 private:
  HANDLE handle = nullptr;
};
