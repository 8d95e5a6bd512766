#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>
#include <utility>

// Owned automation values for the component's methods. Every failing platform
// operation raises a COM error (RaiseComError) with its result.

// Move-only owner of a BSTR; null stays null.
class UniqueBstr {
 public:
  UniqueBstr() noexcept = default;
  UniqueBstr(UniqueBstr&& other) noexcept : text(std::exchange(other.text, nullptr)) {}
  UniqueBstr& operator=(UniqueBstr&& other) noexcept {
    if (this != &other) reset(std::exchange(other.text, nullptr));
    return *this;
  }
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;
  ~UniqueBstr() { reset(); }

  // A copy of the same length, embedded NULs included.
  static UniqueBstr CopyOf(BSTR source);
  static UniqueBstr Attach(BSTR owned) noexcept {
    UniqueBstr result;
    result.text = owned;
    return result;
  }

  BSTR get() const noexcept { return text; }
  BSTR* put() noexcept {
    reset();
    return &text;
  }
  UINT Length() const noexcept { return SysStringLen(text); }

  // Exact match over the whole length of both, code unit by code unit.
  template <std::size_t N>
  bool Equals(const wchar_t (&literal)[N]) const noexcept {
    return EqualsText(literal, N - 1);
  }
  bool EqualsText(const wchar_t* other, std::size_t length) const noexcept;

  void reset(BSTR replacement = nullptr) noexcept {
    BSTR old = std::exchange(text, replacement);
    if (old != nullptr) SysFreeString(old);
  }

 private:
  BSTR text = nullptr;
};

// Owner of a VARIANT, cleared on destruction.
class UniqueVariant {
 public:
  UniqueVariant() noexcept { VariantInit(&value); }
  UniqueVariant(UniqueVariant&& other) noexcept : value(other.value) { VariantInit(&other.value); }
  UniqueVariant& operator=(UniqueVariant&&) = delete;
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  ~UniqueVariant() { VariantClear(&value); }

  // Platform VariantCopy of the source.
  static UniqueVariant CopyOf(const VARIANT& source);

  const VARIANT& get() const noexcept { return value; }
  VARIANT* put() noexcept {
    VariantClear(&value);
    return &value;
  }

  // The value as a 32-bit signed integer: a VT_I4 unchanged, anything else
  // through VariantChangeType to VT_I4 with no flags.
  std::int32_t ToInt32() const;

 private:
  VARIANT value;
};
