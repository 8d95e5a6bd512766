#pragma once

#include <objbase.h>

// Joins and leaves the single-threaded apartment of a host's main thread.
class ComApartment {
 public:
  ComApartment() : result(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (SUCCEEDED(result)) CoUninitialize();
  }
  HRESULT Result() const noexcept { return result; }

 private:
  HRESULT result;
};
