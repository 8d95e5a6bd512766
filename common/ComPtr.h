#pragma once

#include <unknwn.h>

#include <utility>

// Move-only owner of one COM reference.
template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(ComPtr&& other) noexcept : ptr(std::exchange(other.ptr, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) reset(std::exchange(other.ptr, nullptr));
    return *this;
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ~ComPtr() { reset(); }

  // Takes over a reference the caller already owns.
  static ComPtr Attach(T* owned) noexcept {
    ComPtr result;
    result.ptr = owned;
    return result;
  }

  T* get() const noexcept { return ptr; }
  T* operator->() const noexcept { return ptr; }
  explicit operator bool() const noexcept { return ptr != nullptr; }

  // Releases what is held and returns the slot for an out-parameter.
  T** put() noexcept {
    reset();
    return &ptr;
  }
  void reset(T* replacement = nullptr) noexcept {
    T* old = std::exchange(ptr, replacement);
    if (old != nullptr) old->Release();
  }
  T* detach() noexcept { return std::exchange(ptr, nullptr); }
  void swap(ComPtr& other) noexcept { std::swap(ptr, other.ptr); }

 private:
  T* ptr = nullptr;
};
