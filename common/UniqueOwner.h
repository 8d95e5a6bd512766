#pragma once

#include <utility>

// Move-only owner of one platform resource. Traits names the resource's type
// (Value), the value that holds nothing (None), which values hold something
// (Holds) and how a held one is given back (Release).
template <typename Traits>
class UniqueOwner {
 public:
  using Value = typename Traits::Value;

  UniqueOwner() noexcept = default;
  explicit UniqueOwner(Value value) noexcept : value(value) {}
  UniqueOwner(UniqueOwner&& other) noexcept : value(std::exchange(other.value, Traits::None())) {}
  UniqueOwner& operator=(UniqueOwner&& other) noexcept {
    if (this != &other) reset(std::exchange(other.value, Traits::None()));
    return *this;
  }
  UniqueOwner(const UniqueOwner&) = delete;
  UniqueOwner& operator=(const UniqueOwner&) = delete;
  ~UniqueOwner() { reset(); }

  Value get() const noexcept { return value; }
  explicit operator bool() const noexcept { return Traits::Holds(value); }
  // For functions that hand out a new resource through a pointer.
  Value* put() noexcept {
    reset();
    return &value;
  }
  Value release() noexcept { return std::exchange(value, Traits::None()); }
  void reset(Value replacement = Traits::None()) noexcept {
    const Value old = std::exchange(value, replacement);
    if (Traits::Holds(old)) Traits::Release(old);
  }

 private:
  Value value = Traits::None();
};
